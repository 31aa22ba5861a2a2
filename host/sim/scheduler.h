// The one clock and event queue of the emulated world. Virtual time is an integer count of
// microseconds. Events are ordered by (time, phase, tie-break, sequence): scenario events
// (phase 0) run before internal events (phase 1) due at the same instant; among internal events
// due together the seed decides the order; among scenario events the file order stands.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <queue>
#include <unordered_map>
#include <vector>

#include "host/sim/rng.h"

namespace host::sim {

using TimeUs = uint64_t;
using EventId = uint64_t;

enum class Phase : uint8_t { Scenario = 0, Internal = 1 };

class Scheduler {
public:
    explicit Scheduler(uint64_t seed);

    TimeUs Now() const { return now_; }
    Rng& Random() { return rng_; }
    uint64_t Seed() const { return seed_; }

    // Schedules `fn` at absolute time `at` (never earlier than now). A gate, when given, is asked
    // when the event falls due; while it answers false the event waits, in order, until
    // ReleaseDeferred() is called (the emulated world calls it when a passive handler returns).
    EventId At(TimeUs at, std::function<void()> fn, Phase phase = Phase::Internal,
               std::function<bool()> gate = {});
    EventId After(TimeUs delay, std::function<void()> fn, Phase phase = Phase::Internal) {
        return At(now_ + delay, std::move(fn), phase);
    }
    // Returns true when the event was still pending.
    bool Cancel(EventId id);
    bool Pending(EventId id) const { return payloads_.count(id) != 0; }

    // Runs the earliest runnable event due at or before `limit`; advances the clock to it.
    // Returns false when there is none.
    bool RunOne(TimeUs limit);
    // Runs every event due up to `limit`, then sets the clock to `limit`.
    void RunUntil(TimeUs limit);
    // Runs events while `keepWaiting()` holds and the next event is due at or before `limit`.
    // Returns true when `keepWaiting()` became false, false when the limit was reached (the clock
    // then reads `limit`) or nothing is left to run (the clock is left where it was).
    bool RunWhile(const std::function<bool()>& keepWaiting, TimeUs limit);
    // Runs until the queue is empty or `limit`, whichever is first.
    void Drain(TimeUs limit);

    // Gated events that fell due while their gate was closed are queued again at the current
    // time, ahead of anything scheduled later, in their original order.
    void ReleaseDeferred();

    bool Empty() const { return payloads_.empty() && deferred_.empty(); }
    size_t PendingCount() const { return payloads_.size(); }
    TimeUs NextDueTime() const;  // UINT64_MAX when nothing is queued
    uint64_t EventsRun() const { return eventsRun_; }

    static constexpr TimeUs kNever = UINT64_MAX;

private:
    struct Key {
        TimeUs time;
        uint8_t phase;
        uint64_t tie;
        EventId id;
        bool operator>(const Key& o) const {
            if (time != o.time) return time > o.time;
            if (phase != o.phase) return phase > o.phase;
            if (tie != o.tie) return tie > o.tie;
            return id > o.id;
        }
    };
    struct Payload {
        std::function<void()> fn;
        std::function<bool()> gate;
        uint8_t phase;
    };

    void SkipCancelled();

    uint64_t seed_;
    Rng rng_;
    TimeUs now_ = 0;
    EventId nextId_ = 1;
    uint64_t eventsRun_ = 0;
    std::priority_queue<Key, std::vector<Key>, std::greater<Key>> queue_;
    std::unordered_map<EventId, Payload> payloads_;
    std::deque<std::pair<EventId, Payload>> deferred_;
};

}  // namespace host::sim
