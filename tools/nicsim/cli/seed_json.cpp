#include "tools/nicsim/cli/seed_json.h"

#include <string>

#include "tools/nicsim/cli/input.h"

namespace nicsim {

nlohmann::ordered_json SeedJson(uint64_t seed) {
    if (seed <= kMaxExactSeed) return seed;
    return std::to_string(seed);
}

std::optional<uint64_t> SeedFromJson(const nlohmann::ordered_json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_string()) return ParseUint64(value.get<std::string>());
    return std::nullopt;
}

}  // namespace nicsim
