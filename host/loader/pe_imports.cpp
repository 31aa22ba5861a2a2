#include "host/loader/pe_imports.h"

#include <cstring>

#include "host/loader/byte_reader.h"
#include "host/loader/load_error.h"
#include "host/loader/pe_format.h"

namespace host::loader {

namespace {

// Far beyond any driver; bounds the work a hostile directory of overlapping tables can ask for.
constexpr size_t kMaxImports = 1u << 16;
constexpr size_t kMaxNameLength = 1024;

std::string ReadName(const Headers& headers, std::span<const uint8_t> file, uint64_t rva,
                     const std::string& what) {
    const auto bytes = headers.FileBytesAt(file, rva, 1, what);
    std::string name;
    for (uint8_t c : bytes) {
        if (c == 0) {
            if (name.empty()) throw LoadError(what + " at RVA " + Hex(rva) + " is empty");
            return name;
        }
        if (c <= 0x20 || c > 0x7e)
            throw LoadError(what + " at RVA " + Hex(rva) + " holds byte " + Hex(c) +
                            ", which is not printable ASCII");
        if (name.size() == kMaxNameLength)
            throw LoadError(what + " at RVA " + Hex(rva) + " is longer than " +
                            std::to_string(kMaxNameLength) + " characters");
        name.push_back(static_cast<char>(c));
    }
    throw LoadError(what + " at RVA " + Hex(rva) + " has no terminating NUL inside its section");
}

}  // namespace

std::string Import::Qualified() const {
    return module + "!" + (ordinal ? "#" + std::to_string(*ordinal) : name);
}

std::vector<Import> ParseImports(const Headers& headers, std::span<const uint8_t> file) {
    std::vector<Import> imports;
    const DataDirectory dir = headers.directories[pe::kDirImport];
    if (dir.size == 0) return imports;
    // The descriptor array ends with an all-zero descriptor; linkers do not agree on whether the
    // directory's Size counts it, so the array is read up to that descriptor, within its section.
    const ByteReader descriptors(
        headers.FileBytesAt(file, dir.rva, pe::kImportDescriptorSize, "import directory"));
    const uint32_t width = headers.PointerSize();
    const uint64_t ordinalFlag = uint64_t{1} << (width * 8 - 1);
    for (uint64_t at = 0;; at += pe::kImportDescriptorSize) {
        const std::string which = "import descriptor at RVA " + Hex(dir.rva + at);
        const auto raw = descriptors.Bytes(at, pe::kImportDescriptorSize,
                                           which + " (the array has no all-zero descriptor)");
        const ByteReader d(raw);
        const uint32_t lookupRva = d.U32(0, "OriginalFirstThunk");
        const uint32_t nameRva = d.U32(12, "Name");
        const uint32_t slotsRva = d.U32(16, "FirstThunk");
        if (lookupRva == 0 && nameRva == 0 && slotsRva == 0 && d.U32(4, "") == 0 &&
            d.U32(8, "") == 0)
            break;
        const std::string module = ReadName(headers, file, nameRva, "module name of the " + which);
        if (slotsRva == 0)
            throw LoadError("imports from " + module + ": FirstThunk (the address table) is 0");
        // Without a separate lookup table the address table lists the names itself.
        const uint32_t tableRva = lookupRva != 0 ? lookupRva : slotsRva;
        const std::string table = "import lookup table of " + module;
        const ByteReader lookup(headers.FileBytesAt(file, tableRva, width, table));
        for (uint64_t i = 0;; ++i) {
            const uint64_t entry = width == 8 ? lookup.U64(i * 8, table + " (no zero entry ends it)")
                                              : lookup.U32(i * 4, table + " (no zero entry ends it)");
            if (entry == 0) break;
            if (imports.size() == kMaxImports)
                throw LoadError("the image imports more than " + std::to_string(kMaxImports) +
                                " names");
            Import imp;
            imp.module = module;
            const uint64_t slot = slotsRva + i * width;
            if (slot + width > headers.sizeOfImage)
                throw LoadError("import address table slot " + std::to_string(i) + " of " + module +
                                " at RVA " + Hex(slot) + " lies outside the image");
            imp.slotRva = static_cast<uint32_t>(slot);
            if (entry & ordinalFlag) {
                imp.ordinal = static_cast<uint16_t>(entry & 0xffff);
            } else {
                if (entry >> 31 != 0)
                    throw LoadError(table + ": entry " + std::to_string(i) + " (" + Hex(entry) +
                                    ") sets bits the format reserves");
                // A hint/name entry: a two-byte export hint (ignored), then the name.
                headers.FileBytesAt(file, entry, 2, "hint of import " + std::to_string(i) +
                                                        " from " + module);
                imp.name = ReadName(headers, file, entry + 2,
                                    "name of import " + std::to_string(i) + " from " + module);
            }
            imports.push_back(std::move(imp));
        }
    }
    return imports;
}

void BindImports(std::span<const Import> imports, std::span<uint8_t> image, uint32_t pointerSize,
                 const Resolver& resolve) {
    std::vector<uint64_t> addresses;
    std::string unknown;
    size_t unknownCount = 0;
    for (const Import& imp : imports) {
        if (imp.ordinal)
            throw LoadError("import " + imp.Qualified() +
                            " is by ordinal: the world binds imports by name only");
        void* address = resolve(imp.module, imp.name);
        if (address == nullptr) {
            unknown += (unknownCount++ ? ", " : "") + imp.Qualified();
            continue;
        }
        const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address));
        if (pointerSize == 4 && value > UINT32_MAX)
            throw LoadError("import " + imp.Qualified() + " resolves to " + Hex(value) +
                            ", which does not fit the image's 32-bit import slot");
        if (imp.slotRva > image.size() || pointerSize > image.size() - imp.slotRva)
            throw LoadError("import address table slot of " + imp.Qualified() + " at RVA " +
                            Hex(imp.slotRva) + " lies outside the image");
        addresses.push_back(value);
    }
    if (unknownCount != 0)
        throw LoadError(std::string(unknownCount == 1 ? "an import is" : "imports are") +
                        " not provided by this world: " + unknown);
    for (size_t i = 0; i < imports.size(); ++i)
        std::memcpy(image.data() + imports[i].slotRva, &addresses[i], pointerSize);
}

}  // namespace host::loader
