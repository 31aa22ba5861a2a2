// Driver images from arbitrary bytes, through everything the loader does before it maps: header,
// section, relocation and import parsing, the judgement for both machines, the layout, relocation
// and binding into plain memory. Whatever the bytes, the loader answers with an image or a
// LoadError, never reads outside its input or the image buffer (AddressSanitizer watches), and
// an image it does accept keeps the promises its headers make.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "host/loader/load_error.h"
#include "host/loader/pe_format.h"
#include "host/loader/pe_image.h"

namespace {

using host::loader::LoadError;

// The loader stands apart from the world, so this target does without fuzz_checks.h (which
// brings the world in); a broken promise aborts the same way, which libFuzzer records as a crash.
void Require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "\n*** invariant broken: %s\n", what);
    std::abort();
}

// Binds names of even length, refuses the others, so both outcomes are reached; the addresses
// alternate between ones a 32-bit slot holds and ones it cannot.
void* Resolve(std::string_view module, std::string_view name) {
    if ((module.size() + name.size()) % 2 != 0) return nullptr;
    const uintptr_t small = 0x1000 + name.size();
    if constexpr (sizeof(uintptr_t) == 8)
        if (name.size() % 4 == 0) return reinterpret_cast<void*>(small | uintptr_t{1} << 40);
    return reinterpret_cast<void*>(small);
}

void CheckPromises(const host::loader::PeImage& image, size_t fileSize) {
    const auto& h = image.headers;
    uint64_t previousEnd = 0;
    for (const auto& s : h.sections) {
        Require(uint64_t{s.rva} + s.extent <= h.sizeOfImage, "a section past SizeOfImage");
        Require(s.rva >= previousEnd, "sections overlap or descend");
        Require(s.fileSize == 0 || uint64_t{s.fileOffset} + s.fileSize <= fileSize,
                      "section data past the end of the input");
        previousEnd = uint64_t{s.rva} + s.extent;
    }
    for (const auto& rel : image.relocations)
        Require(rel.rva < h.sizeOfImage, "a relocation outside the image");
    for (const auto& imp : image.imports) {
        Require(uint64_t{imp.slotRva} + h.PointerSize() <= h.sizeOfImage,
                      "an import slot outside the image");
        Require(!imp.module.empty() && imp.name.empty() == imp.ordinal.has_value(),
                      "an import without a module, or with both a name and an ordinal");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> file(data, size);
    host::loader::PeImage image;
    try {
        image = host::loader::ParseImage(file);
    } catch (const LoadError&) {
        return 0;
    }
    CheckPromises(image, size);
    for (uint16_t machine : {host::loader::pe::kMachineI386, host::loader::pe::kMachineAmd64}) {
        try {
            host::loader::CheckLoadable(image, machine, 0x1000);
        } catch (const LoadError&) {
        }
    }
    // What the loader does in its mapping, in a buffer of the image's size (kept small so each
    // input runs quickly; the headers allow up to 256 MiB).
    if (image.headers.sizeOfImage > (1u << 20)) return 0;
    std::vector<uint8_t> memory(image.headers.sizeOfImage);
    host::loader::LayOut(image.headers, file, memory);
    try {
        host::loader::ApplyRelocations(image.relocations, memory, 0x7f0000001000 - image.headers.imageBase);
    } catch (const LoadError&) {
    }
    try {
        host::loader::BindImports(image.imports, memory, image.headers.PointerSize(), Resolve);
    } catch (const LoadError&) {
    }
    return 0;
}
