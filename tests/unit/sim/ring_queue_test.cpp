// The ring queue against std::deque, the queue it stands in for: the same pushes at either end,
// pops and removals from the middle, across many wraps of the ring and its growth, leave the same
// elements in the same order.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "host/sim/ring_queue.h"

namespace {

TEST(RingQueue, KeepsTheOrderOfADequeThroughWrapsGrowthAndRemovals) {
    host::sim::RingQueue<std::vector<int>> ring;
    std::deque<std::vector<int>> model;
    std::mt19937 random(7);
    int next = 0;
    for (int step = 0; step < 20'000; ++step) {
        const unsigned op = random() % 12;
        if (op < 5 || model.empty()) {
            // A vector, so that an element left behind by a pop or a removal would show.
            ring.push_back({next, next * 3});
            model.push_back({next, next * 3});
            ++next;
            ASSERT_EQ(ring.back(), model.back()) << "step " << step;
        } else if (op == 10) {
            ring.push_front({-next});
            model.push_front({-next});
            ++next;
        } else if (op < 10) {
            ASSERT_EQ(ring.front(), model.front()) << "step " << step;
            ring.pop_front();
            model.pop_front();
        } else {
            const size_t at = random() % model.size();
            auto it = ring.begin();
            for (size_t i = 0; i < at; ++i) ++it;
            auto after = ring.erase(it);
            model.erase(model.begin() + static_cast<long>(at));
            if (at < model.size()) EXPECT_EQ(*after, model[at]) << "step " << step;
            else EXPECT_TRUE(after == ring.end());
        }
        ASSERT_EQ(ring.size(), model.size());
        if (step % 97 == 0) {
            std::vector<std::vector<int>> walked(ring.begin(), ring.end());
            ASSERT_EQ(walked, std::vector<std::vector<int>>(model.begin(), model.end())) << "step " << step;
        }
    }
    // Taken whole (as an aborted pipe's requests are): the source is left empty and usable.
    auto taken = std::move(ring);
    EXPECT_TRUE(ring.empty());
    EXPECT_EQ(taken.size(), model.size());
    ring.push_back({1});
    EXPECT_EQ(ring.front(), std::vector<int>{1});
}

}  // namespace
