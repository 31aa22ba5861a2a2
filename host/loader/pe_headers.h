// The headers of a PE32 or PE32+ image: the DOS stub's pointer, the COFF file header, the
// optional header with its data directories, and the section table. Parsing checks that every
// structure lies inside the input and that the layout is consistent (alignments, sections in
// ascending order inside SizeOfImage, section data inside the file); what the world will or will
// not run is judged later (pe_image.h).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace host::loader {

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Section {
    std::string name;              // the header's eight bytes up to the first NUL
    uint32_t rva = 0;              // VirtualAddress
    uint32_t extent = 0;           // bytes in memory: VirtualSize, or SizeOfRawData when that is 0
    uint32_t fileOffset = 0;       // PointerToRawData
    uint32_t fileSize = 0;         // SizeOfRawData, all of it inside the file
    uint32_t characteristics = 0;

    // The bytes copied from the file; the rest of `extent` is zero.
    uint32_t CopiedSize() const { return fileSize < extent ? fileSize : extent; }
    bool Contains(uint64_t rva_) const { return rva_ >= rva && rva_ - rva < extent; }
    bool Executable() const;
    bool Writable() const;
    bool Discardable() const;
};

struct Headers {
    uint16_t machine = 0;
    uint16_t fileCharacteristics = 0;
    bool pe32Plus = false;
    uint64_t imageBase = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t entryRva = 0;
    uint16_t subsystem = 0;
    std::array<DataDirectory, 16> directories{};  // absent ones are zero
    std::vector<Section> sections;                // in ascending RVA order

    // Bytes of an address (and of an import slot) in this image: 8 for PE32+, 4 for PE32.
    uint32_t PointerSize() const { return pe32Plus ? 8 : 4; }
    // The section whose extent holds `rva`, or nullptr.
    const Section* SectionAt(uint64_t rva) const;

    // The bytes of `file` that the image holds at `rva`, from there to the end of the file data
    // of the headers or of the section holding it. At least `minimum` bytes, or a LoadError
    // naming `what` (an RVA outside every section, or in the zero-filled part of one, has no
    // bytes in the file).
    std::span<const uint8_t> FileBytesAt(std::span<const uint8_t> file, uint64_t rva,
                                         uint64_t minimum, const std::string& what) const;
};

// Parses and checks the headers of `file`. Throws LoadError naming the first fault.
Headers ParseHeaders(std::span<const uint8_t> file);

}  // namespace host::loader
