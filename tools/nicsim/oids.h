// OID names as scenarios and timelines write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nicsim {

std::optional<uint32_t> OidByName(const std::string& name);
std::string OidName(uint32_t oid);  // the hex form for OIDs without a name

}  // namespace nicsim
