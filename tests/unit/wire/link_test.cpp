// Frames across a link with several sides: every receiving side reads the frame as it was sent,
// and only the last may keep its bytes, leaving the link a buffer of its own to reuse.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/sim/scheduler.h"
#include "host/wire/link.h"

namespace {

using host::wire::Frame;
using host::wire::Link;

TEST(Link, EveryReceiverReadsTheFrameAndOnlyTheLastKeepsItsBytes) {
    host::sim::Scheduler scheduler(1);
    Link link("hub", host::wire::MediumKind::Ethernet, {});
    link.Connect(&scheduler, nullptr);
    std::vector<std::vector<Frame>> read(4), kept(4);
    auto side = [&](int i, bool keeps) {
        Link::Side s{"S:" + std::to_string(i), [&read, i](const Frame& f) { read[i].push_back(f); },
                     nullptr, nullptr};
        if (keeps) {
            s.take = [&kept, i](Frame& f) {
                kept[i].push_back(Frame(1600, 0xEE));  // what a receiver's spare buffer holds
                f.swap(kept[i].back());
            };
        }
        return link.AddSide(std::move(s));
    };
    const int sender = side(0, false);
    side(1, true);
    side(2, false);
    side(3, true);

    const Frame first(60, 0x11), second(1514, 0x22);
    link.Send(sender, first.data(), first.size(), 100);
    scheduler.RunUntil(host::sim::Scheduler::kNever);
    // Into the buffer the last receiver left behind.
    link.Send(sender, second.data(), second.size(), 100);
    scheduler.RunUntil(host::sim::Scheduler::kNever);

    const std::vector<Frame> both{first, second};
    EXPECT_EQ(read[1], both);  // not the last: reads
    EXPECT_TRUE(kept[1].empty());
    EXPECT_EQ(read[2], both);
    EXPECT_TRUE(read[3].empty());  // the last: keeps
    EXPECT_EQ(kept[3], both);
    EXPECT_TRUE(read[0].empty() && kept[0].empty());
}

}  // namespace
