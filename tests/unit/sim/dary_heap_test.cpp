// The scheduler's heap against an ordered set: with a total order, interleaved pushes, pops and
// bulk removals through growth and shrinking give the same elements in the same sequence, which
// is what lets a seed replay the same run.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <random>
#include <utility>
#include <vector>

#include "host/sim/dary_heap.h"

namespace {

// (time, sequence): times repeat often, the sequence makes the order total.
using Item = std::pair<uint32_t, uint32_t>;
struct ItemBefore {
    bool operator()(const Item& a, const Item& b) const { return a < b; }
};

TEST(DaryHeap, PopsInTheOrderOfAnOrderedSet) {
    host::sim::DaryHeap<Item, ItemBefore> heap;
    std::set<Item> model;
    std::mt19937 random(11);
    uint32_t sequence = 0;
    for (int step = 0; step < 50'000; ++step) {
        // Phases that grow the heap to a few thousand and drain it to empty again.
        const bool growing = (step / 5'000) % 2 == 0;
        if (model.empty() || random() % 10 < (growing ? 7u : 3u)) {
            const Item item{static_cast<uint32_t>(random() % 64), sequence++};
            heap.push(item);
            model.insert(item);
        } else {
            ASSERT_EQ(heap.top(), *model.begin()) << "step " << step;
            heap.pop();
            model.erase(model.begin());
        }
        if (step % 997 == 0) {
            // A third of what is queued dies at once (cancelled events), wherever it sits.
            auto dead = [step](const Item& item) { return (item.second + step) % 3 == 0; };
            heap.erase_if(dead);
            std::erase_if(model, dead);
        }
        ASSERT_EQ(heap.size(), model.size());
    }
}

}  // namespace
