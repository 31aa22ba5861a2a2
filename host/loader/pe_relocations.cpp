#include "host/loader/pe_relocations.h"

#include <cstring>

#include "host/loader/byte_reader.h"
#include "host/loader/load_error.h"
#include "host/loader/pe_format.h"

namespace host::loader {

namespace {

// Bytes patched by a relocation type, 0 for one the loader does not apply.
uint32_t Width(uint8_t type) {
    switch (type) {
    case pe::kRelBasedHighLow: return 4;
    case pe::kRelBasedDir64: return 8;
    default: return 0;
    }
}

}  // namespace

std::vector<Relocation> ParseRelocations(const Headers& headers, std::span<const uint8_t> file) {
    std::vector<Relocation> relocations;
    const DataDirectory dir = headers.directories[pe::kDirBaseReloc];
    if (dir.size == 0) return relocations;
    const ByteReader r(headers.FileBytesAt(file, dir.rva, dir.size, "base relocation directory"));
    uint32_t offset = 0;
    while (offset < dir.size) {
        const std::string block = "base relocation block at RVA " + Hex(uint64_t{dir.rva} + offset);
        if (dir.size - offset < 8)
            throw LoadError(block + " is truncated: " + Hex(dir.size - offset) +
                            " bytes are left in the directory, a block header takes 8");
        const uint32_t page = r.U32(offset, "relocation block page");
        const uint32_t blockSize = r.U32(offset + 4, "relocation block size");
        if (blockSize < 8 || blockSize % 2 != 0 || blockSize > dir.size - offset)
            throw LoadError(block + " has SizeOfBlock " + Hex(blockSize) +
                            ": it must be even, at least 8, and end inside the directory (" +
                            Hex(dir.size - offset) + " bytes left)");
        for (uint32_t e = offset + 8; e < offset + blockSize; e += 2) {
            const uint16_t entry = r.U16(e, "relocation entry");
            const uint8_t type = static_cast<uint8_t>(entry >> 12);
            if (type == pe::kRelBasedAbsolute) continue;
            const uint64_t place = uint64_t{page} + (entry & 0xfff);
            const uint32_t width = Width(type);
            if (place + (width != 0 ? width : 1) > headers.sizeOfImage)
                throw LoadError(pe::RelocationTypeName(type) + " relocation at RVA " + Hex(place) +
                                " lies outside the image (SizeOfImage " +
                                Hex(headers.sizeOfImage) + ")");
            relocations.push_back({static_cast<uint32_t>(place), type});
        }
        offset += blockSize;
    }
    return relocations;
}

void ApplyRelocations(std::span<const Relocation> relocations, std::span<uint8_t> image,
                      uint64_t delta) {
    for (const Relocation& rel : relocations) {
        const uint32_t width = Width(rel.type);
        if (width == 0)
            throw LoadError("relocation type " + pe::RelocationTypeName(rel.type) + " at RVA " +
                            Hex(rel.rva) + " is not supported");
        if (rel.rva > image.size() || width > image.size() - rel.rva)
            throw LoadError(pe::RelocationTypeName(rel.type) + " relocation at RVA " +
                            Hex(rel.rva) + " lies outside the image");
        uint8_t* place = image.data() + rel.rva;
        // Places need not be aligned, and the image is little-endian like every host this runs on.
        if (width == 8) {
            uint64_t v;
            std::memcpy(&v, place, 8);
            v += delta;
            std::memcpy(place, &v, 8);
        } else {
            uint32_t v;
            std::memcpy(&v, place, 4);
            v += static_cast<uint32_t>(delta);
            std::memcpy(place, &v, 4);
        }
    }
}

}  // namespace host::loader
