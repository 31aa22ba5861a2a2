// The import directory: for each module the image imports from, the names (or ordinals) it
// imports and the import address table slot each one's address goes into.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/loader/exports.h"
#include "host/loader/pe_headers.h"

namespace host::loader {

struct Import {
    std::string module;               // as the image writes it, e.g. "NDIS.SYS"
    std::string name;                 // empty for an import by ordinal
    std::optional<uint16_t> ordinal;  // set for an import by ordinal
    uint32_t slotRva = 0;             // the IAT slot (PointerSize() bytes) that receives it

    // "NDIS.SYS!NdisMSetTimer", or "NDIS.SYS!#12" for an ordinal.
    std::string Qualified() const;
};

// Every import of every descriptor, in directory order. Module and import names must be
// NUL-terminated printable ASCII inside the file's data; each lookup table must end (with a zero
// entry) inside its section; each slot must lie inside SizeOfImage.
std::vector<Import> ParseImports(const Headers& headers, std::span<const uint8_t> file);

// Asks `resolve` for every import and writes each address into its slot in `image`, a writable
// copy of the whole image (SizeOfImage bytes) whose slots are `pointerSize` bytes wide. When any
// import is unknown to the resolver, throws a LoadError that names every one (module!name) and
// writes nothing. An import by ordinal, a slot outside `image` or an address too wide for the slot
// is refused too.
void BindImports(std::span<const Import> imports, std::span<uint8_t> image, uint32_t pointerSize,
                 const Resolver& resolve);

}  // namespace host::loader
