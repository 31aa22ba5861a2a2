#include "host/loader/pe_headers.h"

#include <algorithm>

#include "host/loader/byte_reader.h"
#include "host/loader/load_error.h"
#include "host/loader/pe_format.h"

namespace host::loader {

namespace {

// No driver comes near it; a header that claims more is nonsense, and the loader would reserve
// (and the fuzz target allocate) that much.
constexpr uint32_t kMaxImageSize = 256u << 20;

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t RoundUp(uint64_t v, uint32_t alignment) {
    return (v + alignment - 1) / alignment * alignment;
}

std::string SectionName(std::span<const uint8_t> raw, unsigned index) {
    std::string name;
    for (uint8_t c : raw) {
        if (c == 0) break;
        if (c < 0x20 || c > 0x7e)
            throw LoadError("section header " + std::to_string(index) + ": its name holds byte " +
                            Hex(c) + ", which is not printable ASCII");
        name.push_back(static_cast<char>(c));
    }
    return name;
}

}  // namespace

bool Section::Executable() const { return characteristics & pe::kScnMemExecute; }
bool Section::Writable() const { return characteristics & pe::kScnMemWrite; }
bool Section::Discardable() const { return characteristics & pe::kScnMemDiscardable; }

const Section* Headers::SectionAt(uint64_t rva) const {
    for (const Section& s : sections)
        if (s.Contains(rva)) return &s;
    return nullptr;
}

std::span<const uint8_t> Headers::FileBytesAt(std::span<const uint8_t> file, uint64_t rva,
                                              uint64_t minimum, const std::string& what) const {
    std::span<const uint8_t> bytes;
    std::string where;
    if (rva < sizeOfHeaders) {
        bytes = file.subspan(static_cast<size_t>(rva), static_cast<size_t>(sizeOfHeaders - rva));
        where = "the headers";
    } else if (const Section* s = SectionAt(rva)) {
        const uint32_t into = static_cast<uint32_t>(rva - s->rva);
        if (into >= s->CopiedSize())
            throw LoadError(what + " at RVA " + Hex(rva) + " lies in the zero-filled part of section " +
                            s->name + ", not in data the file holds");
        bytes = file.subspan(s->fileOffset + into, s->CopiedSize() - into);
        where = "section " + s->name;
    } else {
        throw LoadError(what + " at RVA " + Hex(rva) + " is outside every section of the image");
    }
    if (bytes.size() < minimum)
        throw LoadError(what + " at RVA " + Hex(rva) + " needs " + Hex(minimum) + " bytes, " +
                        where + " holds only " + Hex(bytes.size()) + " from there");
    return bytes;
}

Headers ParseHeaders(std::span<const uint8_t> file) {
    const ByteReader r(file);
    if (file.size() < pe::kDosHeaderSize)
        throw LoadError("truncated DOS header: the input has " + Hex(file.size()) +
                        " bytes, a PE image starts with a DOS header of 0x40");
    if (file[0] != 'M' || file[1] != 'Z')
        throw LoadError("not a PE image: no \"MZ\" signature at offset 0");
    const uint32_t peOffset = r.U32(0x3c, "e_lfanew");
    const auto signature = r.Bytes(peOffset, 4, "PE signature at e_lfanew");
    if (!std::equal(signature.begin(), signature.end(), "PE\0\0"))
        throw LoadError("not a PE image: no \"PE\\0\\0\" signature at e_lfanew (offset " +
                        Hex(peOffset) + ")");

    Headers h;
    const uint64_t fileHeader = peOffset + 4ull;
    r.Bytes(fileHeader, pe::kFileHeaderSize, "COFF file header");
    h.machine = r.U16(fileHeader, "Machine");
    const uint16_t sectionCount = r.U16(fileHeader + 2, "NumberOfSections");
    const uint16_t optionalSize = r.U16(fileHeader + 16, "SizeOfOptionalHeader");
    h.fileCharacteristics = r.U16(fileHeader + 18, "Characteristics");

    const uint64_t opt = fileHeader + pe::kFileHeaderSize;
    r.Bytes(opt, optionalSize, "optional header (SizeOfOptionalHeader " + Hex(optionalSize) + ")");
    const uint16_t magic = r.U16(opt, "optional header magic");
    uint32_t fixed = 0;
    if (magic == pe::kMagicPe32) {
        fixed = pe::kOptionalFixedPe32;
    } else if (magic == pe::kMagicPe32Plus) {
        fixed = pe::kOptionalFixedPe32Plus;
        h.pe32Plus = true;
    } else {
        throw LoadError("optional header magic " + Hex(magic) +
                        " is neither PE32 (0x10b) nor PE32+ (0x20b)");
    }
    if ((h.machine == pe::kMachineI386 && h.pe32Plus) ||
        (h.machine == pe::kMachineAmd64 && !h.pe32Plus))
        throw LoadError("inconsistent headers: " + pe::MachineName(h.machine) + " with a " +
                        (h.pe32Plus ? "PE32+" : "PE32") + " optional header");
    if (optionalSize < fixed)
        throw LoadError("SizeOfOptionalHeader " + Hex(optionalSize) + " is smaller than the " +
                        Hex(fixed) + " bytes of a " + (h.pe32Plus ? "PE32+" : "PE32") +
                        " optional header's fixed fields");

    h.entryRva = r.U32(opt + 16, "AddressOfEntryPoint");
    h.imageBase = h.pe32Plus ? r.U64(opt + 24, "ImageBase") : r.U32(opt + 28, "ImageBase");
    h.sectionAlignment = r.U32(opt + 32, "SectionAlignment");
    h.fileAlignment = r.U32(opt + 36, "FileAlignment");
    h.sizeOfImage = r.U32(opt + 56, "SizeOfImage");
    h.sizeOfHeaders = r.U32(opt + 60, "SizeOfHeaders");
    h.subsystem = r.U16(opt + 68, "Subsystem");
    const uint32_t dirCount = r.U32(opt + fixed - 4, "NumberOfRvaAndSizes");
    if (dirCount > (optionalSize - fixed) / 8)
        throw LoadError("NumberOfRvaAndSizes " + std::to_string(dirCount) +
                        " does not fit in SizeOfOptionalHeader " + Hex(optionalSize));
    for (uint32_t i = 0; i < dirCount && i < pe::kDirCount; ++i)
        h.directories[i] = {r.U32(opt + fixed + 8 * i, "data directory"),
                            r.U32(opt + fixed + 8 * i + 4, "data directory")};

    if (!PowerOfTwo(h.sectionAlignment) || !PowerOfTwo(h.fileAlignment))
        throw LoadError("SectionAlignment " + Hex(h.sectionAlignment) + " and FileAlignment " +
                        Hex(h.fileAlignment) + " must both be powers of two");
    if (h.fileAlignment > h.sectionAlignment)
        throw LoadError("FileAlignment " + Hex(h.fileAlignment) + " is larger than SectionAlignment " +
                        Hex(h.sectionAlignment));
    if (h.sizeOfImage == 0 || h.sizeOfImage % h.sectionAlignment != 0)
        throw LoadError("SizeOfImage " + Hex(h.sizeOfImage) +
                        " is not a non-zero multiple of SectionAlignment " +
                        Hex(h.sectionAlignment));
    if (h.sizeOfImage > kMaxImageSize)
        throw LoadError("SizeOfImage " + Hex(h.sizeOfImage) + " is larger than the " +
                        Hex(kMaxImageSize) + " bytes the loader accepts for a driver");

    if (sectionCount == 0) throw LoadError("the image has no sections");
    if (sectionCount > pe::kMaxSections)
        throw LoadError("NumberOfSections " + std::to_string(sectionCount) +
                        " is more than the 96 the format allows an image");
    const uint64_t table = opt + optionalSize;
    const uint64_t tableEnd = table + uint64_t{sectionCount} * pe::kSectionHeaderSize;
    r.Bytes(table, tableEnd - table, "section table (" + std::to_string(sectionCount) + " sections)");
    if (h.sizeOfHeaders < tableEnd)
        throw LoadError("SizeOfHeaders " + Hex(h.sizeOfHeaders) +
                        " does not cover the section table, which ends at " + Hex(tableEnd));
    if (h.sizeOfHeaders > file.size() || h.sizeOfHeaders > h.sizeOfImage)
        throw LoadError("SizeOfHeaders " + Hex(h.sizeOfHeaders) +
                        " is larger than the file (" + Hex(file.size()) +
                        " bytes) or SizeOfImage (" + Hex(h.sizeOfImage) + ")");

    uint64_t free = RoundUp(h.sizeOfHeaders, h.sectionAlignment);  // the first RVA not yet taken
    std::string previous = "the headers";
    for (unsigned i = 0; i < sectionCount; ++i) {
        const uint64_t at = table + uint64_t{i} * pe::kSectionHeaderSize;
        Section s;
        s.name = SectionName(r.Bytes(at, 8, "section name"), i);
        const uint32_t virtualSize = r.U32(at + 8, "VirtualSize");
        s.rva = r.U32(at + 12, "VirtualAddress");
        s.fileSize = r.U32(at + 16, "SizeOfRawData");
        s.fileOffset = r.U32(at + 20, "PointerToRawData");
        s.characteristics = r.U32(at + 36, "section Characteristics");
        s.extent = virtualSize != 0 ? virtualSize : s.fileSize;
        const std::string named = "section " + (s.name.empty() ? std::to_string(i) : s.name);

        if (s.rva % h.sectionAlignment != 0)
            throw LoadError(named + ": VirtualAddress " + Hex(s.rva) +
                            " is not a multiple of SectionAlignment " + Hex(h.sectionAlignment));
        if (s.rva < free)
            throw LoadError(named + " at RVA " + Hex(s.rva) + " overlaps " + previous +
                            " (sections must ascend, each after the one before)");
        if (uint64_t{s.rva} + s.extent > h.sizeOfImage)
            throw LoadError(named + " (RVA " + Hex(s.rva) + ", " + Hex(s.extent) +
                            " bytes) extends past SizeOfImage " + Hex(h.sizeOfImage));
        if (s.fileSize != 0 && uint64_t{s.fileOffset} + s.fileSize > file.size())
            throw LoadError(named + ": its file data (" + Hex(s.fileSize) + " bytes at offset " +
                            Hex(s.fileOffset) + ") extends past the end of the file (" +
                            Hex(file.size()) + " bytes)");
        free = s.rva + RoundUp(s.extent, h.sectionAlignment);
        previous = named;
        h.sections.push_back(std::move(s));
    }
    return h;
}

}  // namespace host::loader
