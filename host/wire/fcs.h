// The Ethernet frame check sequence: CRC-32 of polynomial 0x04C11DB7, reflected, started at
// all ones and inverted at the end (the value zlib's crc32 gives).
#pragma once

#include <cstddef>
#include <cstdint>

namespace host::wire {

uint32_t FrameCheckSequence(const uint8_t* data, size_t length);

}  // namespace host::wire
