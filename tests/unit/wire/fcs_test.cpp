// The Ethernet frame check sequence against the published CRC-32 definition, computed here a bit
// at a time: polynomial 0x04C11DB7 reflected (0xEDB88320), started at all ones, inverted.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "host/wire/fcs.h"

namespace {

uint32_t BitwiseCrc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

TEST(FrameCheckSequence, MatchesTheBitwiseDefinitionAtEveryLengthAndAlignment) {
    // The published check value of CRC-32.
    const char* check = "123456789";
    EXPECT_EQ(host::wire::FrameCheckSequence(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);

    std::mt19937 random(977);
    std::vector<uint8_t> bytes(1600 + 16);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    // Every length up to past a full frame, from an aligned and an unaligned start: the folded
    // blocks, the bytes left over after them, and frames too short to fold.
    for (size_t offset : {size_t{0}, size_t{5}}) {
        for (size_t length = 0; length <= 1600; ++length) {
            const uint8_t* at = bytes.data() + offset;
            ASSERT_EQ(host::wire::FrameCheckSequence(at, length), BitwiseCrc32(at, length))
                << "length " << length << ", offset " << offset;
        }
    }
    // A frame of all ones and of all zeros, where an inversion left out shows.
    const std::vector<uint8_t> ones(1514, 0xFF), zeros(1514, 0x00);
    EXPECT_EQ(host::wire::FrameCheckSequence(ones.data(), ones.size()), BitwiseCrc32(ones.data(), ones.size()));
    EXPECT_EQ(host::wire::FrameCheckSequence(zeros.data(), zeros.size()), BitwiseCrc32(zeros.data(), zeros.size()));
}

}  // namespace
