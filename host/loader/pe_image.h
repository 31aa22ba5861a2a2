// A PE image as the loader understands it before anything is mapped: its headers, base
// relocations and imports, parsed from bytes with every structure bounds-checked; the judgement of
// whether this world can run it; and its layout in memory. Nothing here maps, protects or calls
// anything, so all of it can be fed arbitrary bytes (fuzz/pe_image_fuzz.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/loader/pe_headers.h"
#include "host/loader/pe_imports.h"
#include "host/loader/pe_relocations.h"

namespace host::loader {

struct PeImage {
    Headers headers;
    std::vector<Relocation> relocations;
    std::vector<Import> imports;
};

// Parses the headers, the base relocation directory and the import directory of `file`. Throws
// LoadError naming the first fault: truncated or inconsistent headers, a section outside
// SizeOfImage or overlapping another, a directory or name outside the file's data.
PeImage ParseImage(std::span<const uint8_t> file);

// The machine this world runs images of: x64 (0x8664) when it is a 64-bit program, x86 (0x14c)
// when it is built with -m32.
uint16_t WorldMachine();

// Throws LoadError unless a world running `machine` code with pages of `pageSize` bytes can run
// the image: it must be built for that machine, be an executable native-subsystem image with
// relocations kept and no TLS or delay-load imports, enter in an executable section, have no
// section both writable and executable and every section on a page boundary of its own, import
// only by name, and use only the relocation type of its width (HIGHLOW for PE32, DIR64 for PE32+).
void CheckLoadable(const PeImage& image, uint16_t machine, uint32_t pageSize);

// Copies the headers and each section's file data from `file` into `image` (SizeOfImage bytes)
// at their RVAs and zeroes the rest of each section's extent. Bytes outside the headers and the
// sections are left as they are. `headers` must be the ones parsed from `file`.
void LayOut(const Headers& headers, std::span<const uint8_t> file, std::span<uint8_t> image);

}  // namespace host::loader
