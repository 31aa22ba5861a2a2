// Generated test traffic: the frame layout (destination, source, EtherType 0x88B5, then stream,
// sequence and size big-endian, then payload byte i = stream*131 + sequence*31 + 7i + i/256,
// modulo 256, i counted from the end of the Ethernet header), and that any changed byte makes
// the frame fail its check.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/wire/frames.h"

namespace {

const host::wire::Mac kDst{0x02, 0, 0, 0, 0, 0x0B};
const host::wire::Mac kSrc{0x02, 0, 0, 0, 0, 0x0A};

std::vector<uint8_t> ByTheLayout(uint32_t stream, uint32_t sequence, size_t size) {
    std::vector<uint8_t> f;
    for (uint8_t b : kDst) f.push_back(b);
    for (uint8_t b : kSrc) f.push_back(b);
    f.push_back(0x88);
    f.push_back(0xB5);
    for (uint32_t v : {stream, sequence, static_cast<uint32_t>(size)})
        for (int s = 24; s >= 0; s -= 8) f.push_back(static_cast<uint8_t>(v >> s));
    for (size_t i = 12; f.size() < size; ++i)
        f.push_back(static_cast<uint8_t>(stream * 131u + sequence * 31u + i * 7u + i / 256));
    return f;
}

TEST(TestFrames, FollowTheLayoutAndEveryAlteredByteIsSeen) {
    for (uint32_t stream : {1u, 2u, 0xDEADBEEFu}) {
        for (uint32_t sequence : {0u, 1u, 65'537u}) {
            for (size_t size : {size_t{26}, size_t{60}, size_t{64}, size_t{269}, size_t{270},
                                size_t{781}, size_t{1514}}) {
                const auto frame = host::wire::TestFrame(kDst, kSrc, stream, sequence, size);
                ASSERT_EQ(frame, ByTheLayout(stream, sequence, size))
                    << "stream " << stream << ", sequence " << sequence << ", size " << size;
                const auto info = host::wire::CheckTestFrame(frame);
                ASSERT_TRUE(info.has_value()) << "size " << size;
                EXPECT_EQ(info->stream, stream);
                EXPECT_EQ(info->sequence, sequence);
                // One byte changed anywhere in the pattern: each 256-byte block, both ends.
                std::vector<size_t> positions;
                for (size_t at = 26; at < frame.size(); at += 37) positions.push_back(at);
                positions.push_back(frame.size() - 1);
                for (size_t at : positions) {
                    auto altered = frame;
                    altered[at] ^= 0x01;
                    EXPECT_FALSE(host::wire::CheckTestFrame(altered).has_value())
                        << "size " << size << ", byte " << at;
                }
            }
        }
    }
    // Written into a buffer that held a longer frame: nothing of that one is left.
    std::vector<uint8_t> reused = host::wire::TestFrame(kDst, kSrc, 9, 9, 1514);
    host::wire::WriteTestFrame(reused, kDst, kSrc, 3, 4, 300);
    EXPECT_EQ(reused, ByTheLayout(3, 4, 300));
    // Shorter than its size field says, or not test traffic at all.
    auto cut = host::wire::TestFrame(kDst, kSrc, 1, 1, 100);
    cut.pop_back();
    EXPECT_FALSE(host::wire::CheckTestFrame(cut).has_value());
    auto arp = host::wire::TestFrame(kDst, kSrc, 1, 1, 100);
    arp[13] = 0x06;
    arp[12] = 0x08;
    EXPECT_FALSE(host::wire::CheckTestFrame(arp).has_value());
}

}  // namespace
