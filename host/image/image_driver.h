// The driver a world runs when it is given the shipped image instead of the driver built into the
// program (nicsim --image usbnic.sys): the bytes of the file and its link map, read once and
// shared, and each world's own mapping of them, its imports bound to the world's exports
// (image_exports.h), entered at DriverEntry. Every world maps a fresh copy, so the image's own
// data starts as the file has it, as it would on a machine that loads the driver.
//
// Windows' discipline: once DriverEntry has returned, the image's discardable INIT code is made
// inaccessible, so a later call into it is a `discarded-code` violation (crash_guard.h) rather
// than a quiet success.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/platform/nt.h"
#include "host/loader/link_map.h"
#include "host/loader/loaded_image.h"

namespace host::image {

// A driver image file as read from disk, with its link map when one lies beside it.
class ImageFile {
public:
    // Reads and checks `path`: nullptr, with `error` naming the file and what is wrong with it
    // (unreadable, not a PE image, the wrong machine for this world, not a native driver, an
    // import the world does not export, ...), when this world cannot run it.
    static std::shared_ptr<const ImageFile> Read(const std::string& path, std::string& error);

    const std::string& Path() const { return path_; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    const loader::LinkMap* Symbols() const { return symbols_ ? &*symbols_ : nullptr; }
    const std::string& SymbolSource() const { return symbolSource_; }

private:
    std::string path_;
    std::vector<uint8_t> bytes_;
    std::optional<loader::LinkMap> symbols_;
    std::string symbolSource_;
};

using DriverEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);

// One world's mapping of an image file.
class ImageDriver {
public:
    // Maps `file` with its imports bound; the file was checked when it was read. Allocation
    // sites inside this copy are known by their RVA in `file` (sim/mapped_code.h) from now on.
    explicit ImageDriver(std::shared_ptr<const ImageFile> file);
    ~ImageDriver();
    ImageDriver(const ImageDriver&) = delete;
    ImageDriver& operator=(const ImageDriver&) = delete;

    DriverEntryRoutine Entry() const;
    // DriverEntry has returned: its INIT code goes.
    void Initialised();

    // Whether `address` lies in one of the image's executable sections (INIT included, discarded
    // or not).
    bool IsCode(const void* address) const;
    // "usbnic.sys RVA 0x1234 (MiniportSend+0x56)" for an address inside the image, with
    // `discarded` set when it lies in a section discarded since; empty when it is not inside.
    std::string Describe(const void* address, bool& discarded) const;
    const loader::LoadedImage& Loaded() const { return loaded_; }

private:
    loader::LoadedImage loaded_;
    bool initDiscarded_ = false;
};

}  // namespace host::image
