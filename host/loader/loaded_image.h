// A driver image mapped into the world's address space, ready to be entered: headers and
// sections copied to a reservation of SizeOfImage bytes that is never at the preferred ImageBase
// (so base relocations are applied on every load), relocated, its imports bound through a
// resolver, then each section protected as its characteristics say (read-only, read-write or
// read-execute; never writable and executable at once) and everything else inaccessible.
//
// Ownership: a LoadedImage owns its mapping and unmaps it when destroyed; it is movable, not
// copyable. Code of the image must not run, nor pointers into it be used, after that.
// Thread-safety: the queries (addresses, sections, symbols) may run concurrently with each other
// and with the image's own code; Discard changes protections and must not race with code that
// touches the section it discards.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/loader/exports.h"
#include "host/loader/link_map.h"
#include "host/loader/pe_image.h"

namespace host::loader {

// The link map GNU ld writes beside an image: usbnic.sys -> usbnic.map.
std::string LinkMapPathFor(const std::string& imagePath);
// The whole file at `path`, or nullopt with `error` saying why.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, std::string& error);

class LoadedImage {
public:
    // Parses `file`, checks that this world can run it (pe_image.h, CheckLoadable), resolves every
    // import through `resolve`, and maps it. `name` prefixes every message ("usbnic.sys: ...").
    // Throws LoadError, with nothing left mapped, when the image is refused.
    static LoadedImage Load(std::span<const uint8_t> file, const Resolver& resolve,
                            std::string name = "image");
    // Load() of the file at `path`, with the link map beside it (the same name ending in .map)
    // when there is one and it describes this image (see Symbols, SymbolSource).
    static LoadedImage LoadFile(const std::string& path, const Resolver& resolve);

    LoadedImage(LoadedImage&& other) noexcept;
    LoadedImage& operator=(LoadedImage&& other) noexcept;
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;
    ~LoadedImage();

    const std::string& Name() const { return name_; }
    const PeImage& Image() const { return image_; }
    uintptr_t Base() const { return reinterpret_cast<uintptr_t>(base_); }
    // The ImageBase the image was linked for; never Base().
    uint64_t PreferredBase() const { return image_.headers.imageBase; }
    // AddressOfEntryPoint in the mapped image: DriverEntry, for a driver.
    void* EntryPoint() const { return AddressOf(image_.headers.entryRva); }

    // The address of `rva`; throws LoadError when it is not inside SizeOfImage.
    void* AddressOf(uint32_t rva) const;
    // The RVA of `address`, or nullopt when it is not inside the image.
    std::optional<uint32_t> RvaOf(const void* address) const;
    // The section holding `address`, or nullptr (the headers, a gap, or outside the image).
    const Section* SectionOf(const void* address) const;

    // Makes every section called `section` inaccessible, as a kernel frees discardable code once
    // the driver is initialised (INIT, after DriverEntry). Throws LoadError when the image has no
    // such section or it is not marked discardable.
    void Discard(std::string_view section);

    // "RVA 0x1234 (MiniportSend+0x56)": the nearest symbol from the link map, or else the
    // section ("RVA 0x1234 (.text+0x234)"), or "(headers)" or "(outside every section)".
    std::string DescribeRva(uint32_t rva) const;
    // "usbnic.sys RVA 0x1234 (MiniportSend+0x56)" for an address inside the image, else the
    // address alone ("0x7f0012345678, not in usbnic.sys").
    std::string DescribeAddress(const void* address) const;

    // Uses `map` (read from `source`) for symbols when it describes this image; otherwise keeps
    // none and SymbolSource says why. For a caller that maps one file many times and parses its
    // map once.
    void AttachSymbols(const LinkMap& map, const std::string& source);

    // The link map in use, or nullptr; SymbolSource says which file it is or why there is none.
    const LinkMap* Symbols() const { return symbols_ ? &*symbols_ : nullptr; }
    const std::string& SymbolSource() const { return symbolSource_; }

private:
    LoadedImage() = default;
    void Protect();
    void Unmap();

    std::string name_;
    PeImage image_;
    uint8_t* base_ = nullptr;
    size_t mappedSize_ = 0;
    std::optional<LinkMap> symbols_;
    std::string symbolSource_ = "no link map";
};

}  // namespace host::loader
