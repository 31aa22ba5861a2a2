// Seeds in the JSON nicsim writes and reads back. A seed is any 64-bit number, but jq and
// JavaScript read every JSON number as a double and round those above 2^53 - 1: such a seed
// would replay another run. Seeds up to 2^53 - 1 stay numbers (nothing changes for the seeds
// people type); larger ones are written as decimal strings, and both forms are read.
#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace nicsim {

// The largest integer a double holds exactly, with every smaller one.
inline constexpr uint64_t kMaxExactSeed = (uint64_t{1} << 53) - 1;

nlohmann::ordered_json SeedJson(uint64_t seed);

// A seed as SeedJson writes it (a number, or a string of decimal digits); nothing otherwise.
std::optional<uint64_t> SeedFromJson(const nlohmann::ordered_json& value);

}  // namespace nicsim
