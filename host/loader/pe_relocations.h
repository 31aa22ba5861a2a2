// Base relocations: the places in an image that hold an absolute address computed for the
// preferred ImageBase, and that must move by the difference when the image lies elsewhere. The
// world never maps an image at its preferred base, so every load applies them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/loader/pe_headers.h"

namespace host::loader {

struct Relocation {
    uint32_t rva = 0;  // the place to patch
    uint8_t type = 0;  // IMAGE_REL_BASED_*; ABSOLUTE (padding) entries are not listed
};

// Every relocation of the base relocation directory, in directory order. Checks the block
// structure and that each place of a type the loader knows lies inside SizeOfImage; the types
// themselves are judged by CheckLoadable (pe_image.h).
std::vector<Relocation> ParseRelocations(const Headers& headers, std::span<const uint8_t> file);

// Adds `delta` (the mapped base minus the preferred one, modulo 2^64) to each place in `image`,
// a writable copy of the whole image (SizeOfImage bytes): DIR64 as 64 bits, HIGHLOW as 32 bits.
// Throws LoadError for any other type or a place outside `image`.
void ApplyRelocations(std::span<const Relocation> relocations, std::span<uint8_t> image,
                      uint64_t delta);

}  // namespace host::loader
