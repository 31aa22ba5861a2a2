// OID names as scenarios and timelines write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nicsim {

std::optional<uint32_t> OidByName(const std::string& name);
// Every name OidByName knows, in table order (for suggestions when a name is mistyped).
std::vector<std::string> OidNames();
std::string OidName(uint32_t oid);  // the hex form for OIDs without a name
// The size of the adapter's answer to a query of `oid`, for the OIDs it answers with a fixed
// size; nothing for the others (a query then learns the size from the miniport).
std::optional<uint32_t> AnswerSize(uint32_t oid);
// A query's answer as a person reads it: numbers in decimal (the link speed in Mb/s),
// addresses as aa:bb:cc:dd:ee:ff, strings as text, the supported-OID list by name; the hex bytes
// for what it does not know.
std::string DecodeAnswer(uint32_t oid, const std::vector<uint8_t>& data);

}  // namespace nicsim
