// Readable names for the NDIS and NT status codes and the calls a timeline shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nicsim {

// "NDIS_STATUS_SUCCESS" and the like; the hex form for codes without a name.
std::string StatusName(uint32_t status);
// Parses the trace's "0x%08X" form.
uint32_t ParseStatus(const std::string& text);
// The bytes of a trace line's hex string ("0a1b..."); stops at the first pair that is not hex.
std::vector<uint8_t> FromHex(const std::string& text);

}  // namespace nicsim
