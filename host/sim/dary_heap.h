// A min-heap with four children a node: half the levels of a binary heap, with the four
// children of a node side by side in memory, so a pop moves half as many elements and reads
// neighbouring ones. It holds the scheduler's pending events. `Before(a, b)` is a strict weak
// order; with a total order (no two elements equivalent) the pops come out in the same sequence
// as from any other heap.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace host::sim {

template <typename T, typename Before>
class DaryHeap {
public:
    bool empty() const { return items_.empty(); }
    size_t size() const { return items_.size(); }
    const T& top() const { return items_.front(); }

    void push(const T& v) {
        size_t hole = items_.size();
        items_.push_back(v);
        while (hole > 0) {
            const size_t parent = (hole - 1) / kArity;
            if (!Before{}(v, items_[parent])) break;
            items_[hole] = std::move(items_[parent]);
            hole = parent;
        }
        items_[hole] = v;
    }

    [[gnu::always_inline]] void pop() {
        T last = std::move(items_.back());
        items_.pop_back();
        if (!items_.empty()) SiftDown(0, std::move(last));
    }

    // Drops every element `dead(element)` holds for and restores the heap, in time linear in
    // the size: for a caller whose removals leave their elements behind (cancelled events)
    // and who would otherwise pay for them on every push and pop.
    template <typename Dead>
    void erase_if(Dead dead) {
        size_t kept = 0;
        for (size_t i = 0; i < items_.size(); ++i)
            if (!dead(items_[i])) items_[kept++] = std::move(items_[i]);
        items_.resize(kept);
        if (kept < 2) return;
        for (size_t i = (kept - 2) / kArity + 1; i-- > 0;) {
            T v = std::move(items_[i]);
            SiftDown(i, std::move(v));
        }
    }

private:
    static constexpr size_t kArity = 4;

    // Puts `last` into the hole at `hole`, moving smaller children up until it fits.
    [[gnu::always_inline]] void SiftDown(size_t hole, T last) {
        const size_t n = items_.size();
        for (;;) {
            const size_t first = hole * kArity + 1;
            if (first >= n) break;
            size_t best = first;
            if (first + kArity <= n) {
                // All four children, the common case: a tournament of three comparisons.
                const size_t a = Before{}(items_[first + 1], items_[first]) ? first + 1 : first;
                const size_t b =
                    Before{}(items_[first + 3], items_[first + 2]) ? first + 3 : first + 2;
                best = Before{}(items_[b], items_[a]) ? b : a;
            } else {
                for (size_t c = first + 1; c < n; ++c)
                    if (Before{}(items_[c], items_[best])) best = c;
            }
            if (!Before{}(items_[best], last)) break;
            items_[hole] = std::move(items_[best]);
            hole = best;
        }
        items_[hole] = std::move(last);
    }

    std::vector<T> items_;
};

}  // namespace host::sim
