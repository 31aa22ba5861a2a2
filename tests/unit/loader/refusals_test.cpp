// Images the world must not run, made from the real one by changing the bytes the PE format says
// hold the fault: each is refused before anything runs, with a message that names the image and
// what is wrong. No prefix of the file loads, and none crashes the loader.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "host/loader/exports.h"
#include "host/loader/load_error.h"
#include "host/loader/loaded_image.h"
#include "tests/unit/loader/driver_image.h"

namespace {

using host::loader::ExportTable;
using host::loader::LoadedImage;
using host::loader::LoadError;
using loader_test::DriverImage;

// A world that exports what windows/imports/ allows and nothing else; module names in upper
// case (the image writes "ntoskrnl.exe" and "HAL.dll").
const ExportTable& AllowedExports() {
    static const ExportTable table = [] {
        static char stubs[128];
        ExportTable exports;
        size_t next = 0;
        for (auto [module, name] : loader_test::AllowedImports()) {
            for (char& c : module) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            exports.Add(module, name, &stubs[next++ % sizeof stubs]);
        }
        return exports;
    }();
    return table;
}

// The message Load gives `bytes`, or "loaded".
std::string Refusal(const std::vector<uint8_t>& bytes, const ExportTable& exports = AllowedExports()) {
    try {
        LoadedImage::Load(bytes, exports.AsResolver(), "usbnic.sys");
        return "loaded";
    } catch (const LoadError& e) {
        return e.what();
    }
}

std::string Hex(uint64_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

TEST(LoaderRefusals, EachFaultIsRefusedWithItsName) {
    const DriverImage real(loader_test::NativeImagePath());
    LOADER_TEST_NEED(real);
    ASSERT_EQ(Refusal(real.bytes), "loaded");
    const std::string world = sizeof(void*) == 8 ? "x64 (machine 0x8664)" : "x86 (machine 0x14c)";
    const auto section = [&](const std::string& name) { return real.SectionHeader(real.SectionIndex(name)); };
    const uint32_t firstDescriptor = static_cast<uint32_t>(real.Get(real.Directory(1), 4));
    const uint32_t relocations = static_cast<uint32_t>(real.Get(real.Directory(5), 4));
    const size_t firstRelocation = real.FileOffset(relocations) + 8;
    const uint64_t sizeOfImage = real.Get(real.OptionalHeader() + 56, 4);

    struct Case {
        const char* what;
        std::function<void(DriverImage&)> mutate;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"another machine", [](DriverImage& i) { i.Put(i.Machine(), 2, 0xaa64); },
         "usbnic.sys: the image is for ARM64 (machine 0xaa64), but this world runs " + world +
             " images (x64 in a 64-bit build of the world, x86 in a -m32 build)"},
        {"a console program", [](DriverImage& i) { i.Put(i.Subsystem(), 2, 3); },
         "usbnic.sys: not a native-subsystem driver: the image's subsystem is 3 (Windows "
         "console), a driver's is 1 (native)"},
        {"an import nobody exports",
         [](DriverImage& i) { i.bytes[i.Find("NdisMSetTimer") + 12] = 'X'; },
         "usbnic.sys: an import is not provided by this world: NDIS.SYS!NdisMSetTimeX"},
        {"an import by ordinal",
         [&](DriverImage& i) {
             const size_t lookup = i.FileOffset(static_cast<uint32_t>(i.Get(i.FileOffset(firstDescriptor), 4)));
             const size_t width = i.Pe32Plus() ? 8 : 4;
             i.Put(lookup, width, (uint64_t{1} << (width * 8 - 1)) | 7);
         },
         "usbnic.sys: import " +
             std::string(reinterpret_cast<const char*>(real.bytes.data()) +
                         real.FileOffset(static_cast<uint32_t>(real.Get(real.FileOffset(firstDescriptor) + 12, 4)))) +
             "!#7 is by ordinal: the world binds imports by name only"},
        {"a relocation of a type the loader does not apply",
         [&](DriverImage& i) { i.Put(firstRelocation, 2, 0x4000 | (i.Get(firstRelocation, 2) & 0xfff)); },
         "usbnic.sys: relocation type HIGHADJ (4) at RVA " +
             Hex(real.Get(real.FileOffset(relocations), 4) + (real.Get(firstRelocation, 2) & 0xfff)) +
             " is not supported in a " + (real.Pe32Plus() ? "PE32+ image (only DIR64 (10) is)" : "PE32 image (only HIGHLOW (3) is)")},
        {"writable code", [&](DriverImage& i) { i.Put(section(".text") + 36, 4, i.Get(section(".text") + 36, 4) | 0x80000000); },
         "usbnic.sys: section .text is both writable and executable: the world never maps memory W+X"},
        {"overlapping sections", [&](DriverImage& i) { i.Put(section("PAGE") + 12, 4, i.Get(section(".text") + 12, 4)); },
         "usbnic.sys: section PAGE at RVA " + Hex(real.Get(section(".text") + 12, 4)) +
             " overlaps section .text (sections must ascend, each after the one before)"},
        {"a section past SizeOfImage", [&](DriverImage& i) { i.Put(section(".reloc") + 8, 4, 0x10000); },
         "usbnic.sys: section .reloc (RVA " + Hex(real.Get(section(".reloc") + 12, 4)) +
             ", 0x10000 bytes) extends past SizeOfImage " + Hex(sizeOfImage)},
        {"a DOS header cut short", [](DriverImage& i) { i.bytes.resize(0x20); },
         "usbnic.sys: truncated DOS header: the input has 0x20 bytes, a PE image starts with a DOS "
         "header of 0x40"},
        {"a section table cut short", [&](DriverImage& i) { i.bytes.resize(section(".text") + 20); },
         "usbnic.sys: truncated section table (" + std::to_string(real.SectionCount()) +
             " sections): needs " + Hex(real.SectionCount() * 40) + " bytes at offset " +
             Hex(section(".text")) + ", the input has " + Hex(section(".text") + 20)},
        {"the last byte missing", [](DriverImage& i) { i.bytes.pop_back(); },
         "usbnic.sys: section .reloc: its file data (" + Hex(real.Get(section(".reloc") + 16, 4)) +
             " bytes at offset " + Hex(real.Get(section(".reloc") + 20, 4)) +
             ") extends past the end of the file (" + Hex(real.bytes.size() - 1) + " bytes)"},
    };
    for (const Case& c : cases) {
        DriverImage image = real;
        c.mutate(image);
        EXPECT_EQ(Refusal(image.bytes), c.message) << c.what;
    }
}

TEST(LoaderRefusals, NoPrefixOfTheImageLoads) {
    const DriverImage real(loader_test::NativeImagePath());
    LOADER_TEST_NEED(real);
    // Every cut inside the headers, then one every 16 bytes: past the headers, any cut leaves the
    // last section's data short.
    const size_t headers = real.Get(real.OptionalHeader() + 60, 4);
    for (size_t size = 0; size < real.bytes.size(); size += size < headers ? 1 : 16) {
        const std::vector<uint8_t> cut(real.bytes.begin(), real.bytes.begin() + static_cast<ptrdiff_t>(size));
        const std::string refusal = Refusal(cut);
        ASSERT_EQ(refusal.rfind("usbnic.sys: ", 0), 0u) << size << " bytes: " << refusal;
    }
}

TEST(LoaderRefusals, TheOtherArchitecturesImageIsRefusedByMachine) {
    const DriverImage foreign(loader_test::ForeignImagePath());
    LOADER_TEST_NEED(foreign);
    EXPECT_EQ(Refusal(foreign.bytes),
              sizeof(void*) == 8
                  ? "usbnic.sys: the image is for x86 (machine 0x14c), but this world runs x64 "
                    "(machine 0x8664) images (x64 in a 64-bit build of the world, x86 in a -m32 build)"
                  : "usbnic.sys: the image is for x64 (machine 0x8664), but this world runs x86 "
                    "(machine 0x14c) images (x64 in a 64-bit build of the world, x86 in a -m32 build)");
}

TEST(LoaderRefusals, ModulesMatchInAnyCaseAndEveryMissingImportIsNamed) {
    const DriverImage real(loader_test::NativeImagePath());
    LOADER_TEST_NEED(real);
    // The module names differ in case from the image's: the first load binds them all. Without
    // USBD.SYS, every import from it is named.
    ASSERT_EQ(Refusal(real.bytes), "loaded");
    ExportTable exports;
    for (const auto& [module, name] : loader_test::AllowedImports())
        if (module != "USBD.SYS") exports.Add(module, name, &exports);
    EXPECT_EQ(Refusal(real.bytes, exports),
              "usbnic.sys: imports are not provided by this world: "
              "USBD.SYS!USBD_CreateConfigurationRequestEx, USBD.SYS!USBD_ParseConfigurationDescriptorEx");
    exports.Add("usbd.sys", "USBD_CreateConfigurationRequestEx", &exports);
    exports.Add("Usbd.Sys", "USBD_ParseConfigurationDescriptorEx", &exports);
    EXPECT_EQ(Refusal(real.bytes, exports), "loaded");
}

}  // namespace
