#include "host/sim/mapped_code.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace host::sim {

namespace {

struct Registry {
    std::mutex lock;
    std::map<const void*, uint16_t> numbers;
    std::vector<RvaNamer> namers;                                // by number - 1
    std::map<uintptr_t, std::pair<size_t, uint16_t>> mappings;  // base -> size, image
};

Registry& TheRegistry() {
    static Registry* registry = new Registry();  // outlives every world, however they end
    return *registry;
}

}  // namespace

uint16_t MappedImageNumber(const void* identity, RvaNamer namer) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (auto it = r.numbers.find(identity); it != r.numbers.end()) return it->second;
    r.namers.push_back(std::move(namer));
    const auto number = static_cast<uint16_t>(r.namers.size());
    r.numbers.emplace(identity, number);
    return number;
}

void Mapped(uintptr_t base, size_t size, uint16_t image) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.mappings[base] = {size, image};
}

void Unmapped(uintptr_t base) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.mappings.erase(base);
}

CodeLocation LocateCode(uintptr_t pc) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto it = r.mappings.upper_bound(pc);
    if (it != r.mappings.begin()) {
        --it;
        if (pc - it->first < it->second.first)
            return {it->second.second, pc - it->first};
    }
    return {0, pc};
}

std::string NameImageRva(uint16_t image, uint32_t rva) {
    RvaNamer namer;
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> hold(r.lock);
        if (image != 0 && image <= r.namers.size()) namer = r.namers[image - 1];
    }
    if (namer) return namer(rva);
    char buf[48];
    std::snprintf(buf, sizeof buf, "image %u RVA 0x%x", static_cast<unsigned>(image), rva);
    return buf;
}

}  // namespace host::sim
