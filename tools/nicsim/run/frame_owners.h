// Which burst each packet id in flight belongs to, held as spans of consecutive ids: a burst's
// packets take consecutive ids, so a backlog of a million of them is one span, not a million
// entries. Setting an id overwrites its owner; taking it removes it (a second take finds none).
// Ids are one sender's: two senders that number their packets alike each need their own.
// A removed span's node is kept for the next one, so a steady stream of frames (each set, then
// taken) allocates nothing once it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

namespace nicsim {

template <class Owner>
class FrameOwners {
public:
    void Set(uint64_t id, Owner* owner) {
        if (auto it = Containing(id); it != spans_.end()) {
            if (it->second.owner == owner) return;
            Remove(it, id);
        }
        auto next = spans_.lower_bound(id);
        auto prev = next == spans_.begin() ? spans_.end() : std::prev(next);
        const bool joinPrev = prev != spans_.end() && prev->second.last + 1 == id && prev->second.owner == owner;
        const bool joinNext = next != spans_.end() && next->first == id + 1 && next->second.owner == owner;
        if (joinPrev && joinNext) {
            prev->second.last = next->second.last;
            spans_.erase(next);
        } else if (joinPrev) {
            prev->second.last = id;
        } else if (joinNext) {
            Rekey(next, id);
        } else {
            Insert(next, id, Span{id, owner});
        }
    }

    // The owner of `id`, now forgotten; null when it has none.
    Owner* Take(uint64_t id) {
        auto it = Containing(id);
        if (it == spans_.end()) return nullptr;
        Owner* owner = it->second.owner;
        Remove(it, id);
        return owner;
    }

    size_t Spans() const { return spans_.size(); }

private:
    struct Span {
        uint64_t last;  // the span is [key, last]
        Owner* owner;
    };
    using Map = std::map<uint64_t, Span>;

    typename Map::iterator Containing(uint64_t id) {
        auto it = spans_.upper_bound(id);
        if (it == spans_.begin()) return spans_.end();
        --it;
        return it->second.last >= id ? it : spans_.end();
    }
    // Takes `id` out of the span at `it`, which holds it. No allocation unless it splits a span.
    void Remove(typename Map::iterator it, uint64_t id) {
        const uint64_t first = it->first, last = it->second.last;
        if (first == last) {
            if (spare_.size() < kSpares) spare_.push_back(spans_.extract(it));
            else spans_.erase(it);
        } else if (id == first) {
            Rekey(it, id + 1);
        } else if (id == last) {
            it->second.last = id - 1;
        } else {
            it->second.last = id - 1;
            Insert(std::next(it), id + 1, Span{last, it->second.owner});
        }
    }
    void Insert(typename Map::iterator hint, uint64_t first, Span span) {
        if (spare_.empty()) {
            spans_.emplace_hint(hint, first, span);
            return;
        }
        auto node = std::move(spare_.back());
        spare_.pop_back();
        node.key() = first;
        node.mapped() = span;
        spans_.insert(hint, std::move(node));
    }
    // Moves the span at `it` to start at `first`, reusing its node.
    void Rekey(typename Map::iterator it, uint64_t first) {
        auto node = spans_.extract(it);
        node.key() = first;
        spans_.insert(std::move(node));
    }

    static constexpr size_t kSpares = 16;

    Map spans_;
    std::vector<typename Map::node_type> spare_;
};

}  // namespace nicsim
