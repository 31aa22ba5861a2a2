// Small queries over recorded trace lines.
#pragma once

#include <string>
#include <vector>

#include "host/trace/trace.h"

namespace testing_support {

using host::trace::Json;

// Control transfers, optionally only those of one request (bRequest) and register (wIndex).
inline std::vector<Json> Controls(const host::trace::Recorder& r, int bRequest = -1,
                                  int wIndex = -1) {
    return r.Where([&](const Json& l) {
        return l["ev"] == "control" && (bRequest < 0 || l["bRequest"] == bRequest) &&
               (wIndex < 0 || l["wIndex"] == wIndex);
    });
}

inline std::vector<Json> Mdio(const host::trace::Recorder& r, const std::string& op, int phy = -1,
                              int reg = -1) {
    return r.Where([&](const Json& l) {
        return l["ev"] == "mdio" && l["op"] == op && (phy < 0 || l["phy"] == phy) &&
               (reg < 0 || l["reg"] == reg);
    });
}

// The data stage of every register write to `reg`, in order.
inline std::vector<std::string> RegisterWrites(const host::trace::Recorder& r, int reg) {
    std::vector<std::string> out;
    for (const Json& l : Controls(r, 0xF1, reg)) out.push_back(l["data"].get<std::string>());
    return out;
}

}  // namespace testing_support
