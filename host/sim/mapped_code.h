// Code a world maps at run time (a shipped driver image), known to the allocation-site tracker.
// Each world maps its own copy of an image at its own address, so a site inside one is kept as
// the image and the offset into it (RVA): the same call in the next world's copy is then the same
// site, and the site can still be named from the image's symbols after its world is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace host::sim {

// Names an RVA of one image: "usbnic.sys RVA 0x1234 (AllocateTracked+0xbb)".
using RvaNamer = std::function<std::string(uint32_t rva)>;

// A number for the image `identity` (any address unique to it for the process's life, such as
// its file record), given on first use; `namer` names its RVAs from then on. Never 0.
uint16_t MappedImageNumber(const void* identity, RvaNamer namer);

// [base, base + size) holds a copy of image `image` until Unmapped(base).
void Mapped(uintptr_t base, size_t size, uint16_t image);
void Unmapped(uintptr_t base);

// Where `pc` lies: the image's number and the RVA, or image 0 and `pc` itself for the
// program's own code.
struct CodeLocation {
    uint16_t image = 0;
    uintptr_t address = 0;
};
CodeLocation LocateCode(uintptr_t pc);

// The name of `rva` in image `image` (a number MappedImageNumber gave).
std::string NameImageRva(uint16_t image, uint32_t rva);

}  // namespace host::sim
