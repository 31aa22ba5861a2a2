#include "host/loader/loaded_image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "host/loader/load_error.h"

namespace host::loader {

namespace {

uint32_t PageSize() {
    static const uint32_t size = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    return size;
}

size_t RoundUpToPage(uint64_t bytes) {
    return static_cast<size_t>((bytes + PageSize() - 1) / PageSize() * PageSize());
}

std::string Errno() { return std::strerror(errno); }

uint8_t* MapAnywhere(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw LoadError("cannot reserve " + Hex(size) + " bytes for the image: " + Errno());
    return static_cast<uint8_t*>(p);
}

// Readable, writable, zeroed memory of `size` bytes anywhere but at `preferred`: an image the
// world loads is always relocated, so relocations are exercised on every load, not only when
// the address space happens to be crowded.
uint8_t* ReserveAwayFrom(uint64_t preferred, size_t size) {
    uint8_t* first = MapAnywhere(size);
    if (reinterpret_cast<uintptr_t>(first) != preferred) return first;
    // Keep the preferred range taken while asking again, so the second answer differs.
    uint8_t* second = nullptr;
    try {
        second = MapAnywhere(size);
    } catch (...) {
        munmap(first, size);
        throw;
    }
    munmap(first, size);
    return second;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string LinkMapPathFor(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + ".map";
    return path.substr(0, dot) + ".map";
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = Errno();
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "read error";
        return std::nullopt;
    }
    return bytes;
}

LoadedImage LoadedImage::Load(std::span<const uint8_t> file, const Resolver& resolve,
                              std::string name) {
    LoadedImage loaded;
    loaded.name_ = std::move(name);
    try {
        loaded.image_ = ParseImage(file);
        CheckLoadable(loaded.image_, WorldMachine(), PageSize());
        const Headers& h = loaded.image_.headers;
        loaded.mappedSize_ = RoundUpToPage(h.sizeOfImage);
        loaded.base_ = ReserveAwayFrom(h.imageBase, loaded.mappedSize_);
        const std::span<uint8_t> memory(loaded.base_, loaded.mappedSize_);
        LayOut(h, file, memory);
        ApplyRelocations(loaded.image_.relocations, memory, uint64_t{loaded.Base()} - h.imageBase);
        BindImports(loaded.image_.imports, memory, h.PointerSize(), resolve);
        loaded.Protect();
    } catch (const LoadError& e) {
        // `loaded` unmaps whatever was mapped as it goes.
        throw LoadError(loaded.name_ + ": " + e.what());
    }
    return loaded;
}

LoadedImage LoadedImage::LoadFile(const std::string& path, const Resolver& resolve) {
    std::string error;
    const auto bytes = ReadWholeFile(path, error);
    if (!bytes) throw LoadError(path + ": cannot read the image: " + error);
    LoadedImage loaded = Load(*bytes, resolve, path);
    loaded.name_ = BaseName(path);

    const std::string mapPath = LinkMapPathFor(path);
    const auto text = ReadWholeFile(mapPath, error);
    if (!text) {
        loaded.symbolSource_ = "no link map: " + mapPath + ": " + error;
        return loaded;
    }
    try {
        LinkMap map = LinkMap::Parse(
            std::string_view(reinterpret_cast<const char*>(text->data()), text->size()));
        map.CheckDescribes(loaded.image_.headers);
        loaded.symbols_ = std::move(map);
        loaded.symbolSource_ = mapPath;
    } catch (const LoadError& e) {
        loaded.symbolSource_ = "link map " + mapPath + " not used: " + e.what();
    }
    return loaded;
}

void LoadedImage::AttachSymbols(const LinkMap& map, const std::string& source) {
    try {
        map.CheckDescribes(image_.headers);
        symbols_ = map;
        symbolSource_ = source;
    } catch (const LoadError& e) {
        symbols_.reset();
        symbolSource_ = "link map " + source + " not used: " + e.what();
    }
}

LoadedImage::LoadedImage(LoadedImage&& other) noexcept { *this = std::move(other); }

LoadedImage& LoadedImage::operator=(LoadedImage&& other) noexcept {
    if (this != &other) {
        Unmap();
        name_ = std::move(other.name_);
        image_ = std::move(other.image_);
        base_ = std::exchange(other.base_, nullptr);
        mappedSize_ = std::exchange(other.mappedSize_, 0);
        symbols_ = std::move(other.symbols_);
        symbolSource_ = std::move(other.symbolSource_);
    }
    return *this;
}

LoadedImage::~LoadedImage() { Unmap(); }

void LoadedImage::Unmap() {
    if (base_ != nullptr) munmap(base_, mappedSize_);
    base_ = nullptr;
    mappedSize_ = 0;
}

void LoadedImage::Protect() {
    // Everything starts inaccessible (the gaps between sections stay so), then the headers
    // become readable and each section gets what its characteristics ask for. CheckLoadable has
    // made sure each section starts on a page of its own and none is writable and executable.
    const Headers& h = image_.headers;
    auto protect = [&](uint64_t rva, uint64_t size, int prot, const std::string& what) {
        if (size == 0) return;
        if (mprotect(base_ + rva, RoundUpToPage(size), prot) != 0)
            throw LoadError("cannot protect " + what + ": " + Errno());
    };
    protect(0, mappedSize_, PROT_NONE, "the image");
    protect(0, h.sizeOfHeaders, PROT_READ, "the headers");
    for (const Section& s : h.sections) {
        const int prot = s.Writable()     ? PROT_READ | PROT_WRITE
                         : s.Executable() ? PROT_READ | PROT_EXEC
                                          : PROT_READ;
        protect(s.rva, s.extent, prot, "section " + s.name);
    }
}

void* LoadedImage::AddressOf(uint32_t rva) const {
    if (rva >= image_.headers.sizeOfImage)
        throw LoadError(name_ + ": RVA " + Hex(rva) + " is outside the image (SizeOfImage " +
                        Hex(image_.headers.sizeOfImage) + ")");
    return base_ + rva;
}

std::optional<uint32_t> LoadedImage::RvaOf(const void* address) const {
    const uintptr_t a = reinterpret_cast<uintptr_t>(address);
    if (a < Base() || a - Base() >= image_.headers.sizeOfImage) return std::nullopt;
    return static_cast<uint32_t>(a - Base());
}

const Section* LoadedImage::SectionOf(const void* address) const {
    const auto rva = RvaOf(address);
    return rva ? image_.headers.SectionAt(*rva) : nullptr;
}

void LoadedImage::Discard(std::string_view section) {
    bool found = false;
    for (const Section& s : image_.headers.sections) {
        if (s.name != section) continue;
        if (!s.Discardable())
            throw LoadError(name_ + ": section " + s.name +
                            " is not marked discardable (IMAGE_SCN_MEM_DISCARDABLE)");
        if (s.extent != 0 && mprotect(base_ + s.rva, RoundUpToPage(s.extent), PROT_NONE) != 0)
            throw LoadError(name_ + ": cannot discard section " + s.name + ": " + Errno());
        found = true;
    }
    if (!found)
        throw LoadError(name_ + ": no section called " + std::string(section) + " to discard");
}

std::string LoadedImage::DescribeRva(uint32_t rva) const {
    const Headers& h = image_.headers;
    std::string where = symbols_ ? symbols_->Nearest(rva) : std::string();
    if (where.empty()) {
        if (const Section* s = h.SectionAt(rva))
            where = rva == s->rva ? s->name : s->name + "+" + Hex(rva - s->rva);
        else if (rva < h.sizeOfHeaders)
            where = "headers";
        else if (rva < h.sizeOfImage)
            where = "outside every section";
        else
            where = "outside the image";
    }
    return "RVA " + Hex(rva) + " (" + where + ")";
}

std::string LoadedImage::DescribeAddress(const void* address) const {
    if (const auto rva = RvaOf(address)) return name_ + " " + DescribeRva(*rva);
    return Hex(reinterpret_cast<uintptr_t>(address)) + ", not in " + name_;
}

}  // namespace host::loader
