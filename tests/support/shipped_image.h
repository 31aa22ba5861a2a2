// The shipped driver image for this world's machine (the x64 image in a 64-bit build), read once
// for the whole test program, for tests that run it in place of the built-in driver.
// scripts/build-windows.sh builds it; a test that needs it is skipped, saying so, when it is
// absent.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/image/image_driver.h"

namespace testing_support {

struct ShippedImageFile {
    std::shared_ptr<const host::image::ImageFile> file;
    std::string why;  // why there is none
};

inline const ShippedImageFile& ShippedImage() {
    static const ShippedImageFile image = [] {
        ShippedImageFile out;
        out.file = host::image::ImageFile::Read(NICSIM_DRIVER_IMAGE, out.why);
        return out;
    }();
    return image;
}

}  // namespace testing_support

// Skips the test when the shipped image cannot be run here.
#define NEED_SHIPPED_IMAGE()                                                                    \
    if (!testing_support::ShippedImage().file)                                                 \
    GTEST_SKIP() << "no shipped image to run (" << testing_support::ShippedImage().why         \
                 << "): scripts/build-windows.sh builds it"
