#include "host/sim/faults.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

#include "host/sim/mapped_code.h"

namespace host::sim {

namespace {
constexpr std::string_view kNames[kAllocKinds] = {"memory",      "irp",    "packet-pool",
                                                  "buffer-pool", "packet", "buffer",
                                                  "request-block"};
}

std::string_view AllocKindName(AllocKind kind) { return kNames[static_cast<size_t>(kind)]; }

bool ParseAllocKind(std::string_view name, std::optional<AllocKind>& kind) {
    if (name == "any") {
        kind.reset();
        return true;
    }
    for (size_t i = 0; i < kAllocKinds; ++i) {
        if (kNames[i] == name) {
            kind = static_cast<AllocKind>(i);
            return true;
        }
    }
    return false;
}

std::optional<AllocSite> SiteOfCaller(const AllocFaults& faults, AllocKind kind) {
    if (!faults.TrackingSites()) return std::nullopt;
    // [0] this routine, [1] the exported allocator, [2] and on: its caller's stack.
    void* frames[2 + AllocSite::kDepth] = {};
    const int n = backtrace(frames, static_cast<int>(2 + AllocSite::kDepth));
    AllocSite site;
    site.kind = kind;
    for (int i = 2; i < n; ++i) {
        const CodeLocation at = LocateCode(reinterpret_cast<uintptr_t>(frames[i]));
        site.frames[i - 2] = at.address;
        site.images[i - 2] = at.image;
        if (at.image != 0) break;
    }
    return site;
}

std::string DescribeSite(const AllocSite& site) {
    std::string out(AllocKindName(site.kind));
    for (size_t i = 0; i < AllocSite::kDepth; ++i) {
        const uintptr_t pc = site.frames[i];
        if (pc == 0) break;
        out += " <- ";
        if (site.images[i] != 0) {
            out += NameImageRva(site.images[i], static_cast<uint32_t>(pc));
            continue;
        }
        Dl_info info{};
        char buf[64];
        if (dladdr(reinterpret_cast<void*>(pc), &info) != 0 && info.dli_sname != nullptr) {
            int demangled = -1;
            char* name = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &demangled);
            std::string text = demangled == 0 && name ? name : info.dli_sname;
            std::free(name);
            // Parameter lists make a long line longer without telling sites apart.
            if (const size_t paren = text.find('('); paren != std::string::npos)
                text.resize(paren);
            std::snprintf(buf, sizeof buf, "+0x%zx",
                          static_cast<size_t>(pc - reinterpret_cast<uintptr_t>(info.dli_saddr)));
            out += text + buf;
        } else {
            const uintptr_t base =
                info.dli_fbase ? reinterpret_cast<uintptr_t>(info.dli_fbase) : 0;
            std::snprintf(buf, sizeof buf, "exe+0x%zx", static_cast<size_t>(pc - base));
            out += buf;
        }
    }
    return out;
}

void AllocFaults::Arm(std::optional<AllocKind> kind, uint64_t nth, int adapter) {
    plans_.push_back(Plan{kind, nth == 0 ? 1 : nth, adapter, std::nullopt});
}

void AllocFaults::ArmSite(const AllocSite& site, uint64_t nth) {
    trackSites_ = true;
    plans_.push_back(Plan{site.kind, nth == 0 ? 1 : nth, -1, site});
}

bool AllocFaults::ShouldFail(AllocKind kind, int adapter, const AllocSite* site) {
    ++counts_[static_cast<size_t>(kind)];
    ++total_;
    SiteCount* counted = nullptr;
    if (site != nullptr) {
        for (SiteCount& c : sites_)
            if (c.site == *site) counted = &c;
        if (counted == nullptr) counted = &sites_.emplace_back(SiteCount{*site, 0, 0});
        ++counted->reached;
    }
    bool fail = false;
    for (auto it = plans_.begin(); it != plans_.end();) {
        const bool matches = (!it->kind || *it->kind == kind) &&
                             (it->adapter < 0 || it->adapter == adapter) &&
                             (!it->site || (site != nullptr && *it->site == *site));
        if (matches && --it->remaining == 0) {
            fail = true;
            it = plans_.erase(it);
            continue;
        }
        ++it;
    }
    if (fail) {
        ++injected_;
        if (counted != nullptr) ++counted->failed;
        if (onInjected) onInjected(kind, site);
    }
    return fail;
}

}  // namespace host::sim
