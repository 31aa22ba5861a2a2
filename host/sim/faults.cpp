#include "host/sim/faults.h"

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

void AllocFaults::Arm(std::optional<AllocKind> kind, uint64_t nth, int adapter) {
    plans_.push_back(Plan{kind, nth == 0 ? 1 : nth, adapter});
}

bool AllocFaults::ShouldFail(AllocKind kind, int adapter) {
    ++counts_[static_cast<size_t>(kind)];
    ++total_;
    bool fail = false;
    for (auto it = plans_.begin(); it != plans_.end();) {
        const bool matches = (!it->kind || *it->kind == kind) &&
                             (it->adapter < 0 || it->adapter == adapter);
        if (matches && --it->remaining == 0) {
            fail = true;
            it = plans_.erase(it);
            continue;
        }
        ++it;
    }
    if (fail) ++injected_;
    return fail;
}

}  // namespace host::sim
