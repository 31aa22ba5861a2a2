// The one clock and event queue of the emulated world. Virtual time is an integer count of
// microseconds. Events are ordered by (time, phase, tie-break, sequence): scenario events
// (phase 0) run before internal events (phase 1) due at the same instant; among internal events
// due together the seed decides the order; among scenario events the file order stands.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "host/sim/callback.h"
#include "host/sim/dary_heap.h"
#include "host/sim/rng.h"

namespace host::sim {

using TimeUs = uint64_t;
using EventId = uint64_t;

enum class Phase : uint8_t { Scenario = 0, Internal = 1 };

class Scheduler {
    // What At and After take besides a Callback: anything a Callback is made from.
    template <typename F>
    static constexpr bool kCallable =
        !std::is_same_v<std::decay_t<F>, Callback> && std::is_invocable_r_v<void, std::decay_t<F>&>;

public:
    // Work that runs at the current instant ahead of any event: the tasks of the emulated
    // processors. While it has something runnable, the clock stands still.
    class Runner {
    public:
        virtual ~Runner() = default;
        virtual bool Runnable() = 0;
        virtual void RunSlice() = 0;
        // Asked when an event is due at this instant too: whether it runs before the next slice.
        virtual bool EventFirst() = 0;
        // The clock is about to move past the current instant.
        virtual void ClockAdvances() = 0;
    };

    explicit Scheduler(uint64_t seed);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;
    void SetRunner(Runner* runner) { runner_ = runner; }

    TimeUs Now() const { return now_; }
    Rng& Random() { return rng_; }
    uint64_t Seed() const { return seed_; }

    // Schedules `fn` at absolute time `at` (never earlier than now). A gate, when given, is asked
    // when the event falls due; while it answers false the event waits, in order, until
    // ReleaseDeferred() is called (the emulated world calls it when a passive handler returns).
    EventId At(TimeUs at, Callback fn, Phase phase = Phase::Internal) {
        Slot& slot = Schedule(at, phase);
        slot.payload.fn = std::move(fn);
        return slot.id;
    }
    // The same for a callable of any type, built straight into the event's slot.
    template <typename F, typename = std::enable_if_t<kCallable<F>>>
    EventId At(TimeUs at, F&& fn, Phase phase = Phase::Internal) {
        Slot& slot = Schedule(at, phase);
        slot.payload.fn.Emplace(std::forward<F>(fn));
        return slot.id;
    }
    EventId At(TimeUs at, Callback fn, Phase phase, std::function<bool()> gate);
    EventId After(TimeUs delay, Callback fn, Phase phase = Phase::Internal) {
        return At(now_ + delay, std::move(fn), phase);
    }
    template <typename F, typename = std::enable_if_t<kCallable<F>>>
    EventId After(TimeUs delay, F&& fn, Phase phase = Phase::Internal) {
        return At(now_ + delay, std::forward<F>(fn), phase);
    }
    // For work that schedules its events one at a time but must be ordered as if all had been
    // scheduled now: takes the next `count` tie-breaks of the stream (as `count` At calls would)
    // and returns a generator that yields them in order, for AtWithTie.
    Rng ReserveTies(uint64_t count);
    // Schedules an internal event with a tie-break from ReserveTies.
    EventId AtWithTie(TimeUs at, uint64_t tie, Callback fn);
    // Returns true when the event was still pending.
    bool Cancel(EventId id);
    bool Pending(EventId id) const { return Queued(id) != nullptr; }

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

    bool Empty() const { return queued_ == 0 && deferred_.empty(); }
    size_t PendingCount() const { return queued_; }
    TimeUs NextDueTime() const;  // UINT64_MAX when nothing is queued
    uint64_t EventsRun() const { return eventsRun_; }

    static constexpr TimeUs kNever = UINT64_MAX;

    // ---- real-time pacing ----
    // Watches `fd`: `interest` is asked before every poll for the poll(2) events wanted now (0:
    // not watched this time, which is how a reader applies back-pressure), and `onReady` runs
    // with the returned events, at the current time, after every event due by then has run.
    void WatchFd(int fd, std::function<short()> interest, std::function<void(short)> onReady);
    void UnwatchFd(int fd);
    // Runs events with virtual time paced to the wall clock until `keepRunning()` answers false
    // (it is asked at least every `maxSleepUs` of wall time, and after any signal). When a
    // blocking call has carried the clock ahead of the wall clock, the pacing restarts from
    // there rather than letting the world stand still to wait for the wall to catch up.
    void RunRealTime(const std::function<bool()>& keepRunning, TimeUs maxSleepUs = 50'000);
    bool RealTime() const { return realTime_; }
    // The wall clock the pacing follows, in microseconds; tests may substitute their own.
    void SetWallClock(std::function<uint64_t()> clock) { wallClock_ = std::move(clock); }

private:
    // An event's place in the queue, 24 bytes: the time and the phase share a word (a time past
    // 2^63 us, never reached, counts as 2^63 - 1), so most comparisons decide on one.
    struct Key {
        uint64_t when;  // time << 1 | phase
        uint64_t tie;
        EventId id;
        static Key Make(TimeUs time, uint8_t phase, uint64_t tie, EventId id) {
            constexpr TimeUs kLatest = (TimeUs{1} << 63) - 1;
            return Key{(time < kLatest ? time : kLatest) << 1 | phase, tie, id};
        }
        TimeUs Time() const { return when >> 1; }
    };
    // Earlier time first; at one time the scenario's events, then by the tie drawn, then by id
    // (unique): a total order, so a seed replays whatever the heap's shape.
    struct KeyBefore {
        bool operator()(const Key& a, const Key& b) const {
            if (a.when != b.when) return a.when < b.when;
            if (a.tie != b.tie) return a.tie < b.tie;
            return a.id < b.id;
        }
    };
    struct Payload {
        Callback fn;
        std::function<bool()> gate;
        uint8_t phase = 0;
    };
    // An event's payload lives in a slot, found from its id without hashing: the low bits of an
    // id name the slot, the high bits count events, so ids still order events by creation and a
    // slot used again never answers to an old id.
    static constexpr unsigned kSlotBits = 26;
    static constexpr uint64_t kSlotMask = (uint64_t{1} << kSlotBits) - 1;
    enum class SlotState : uint8_t { Free, Queued, Deferred, Running };
    struct Slot {
        EventId id = 0;
        SlotState state = SlotState::Free;
        Payload payload;
    };
    // The slot of a queued (not deferred, not running) event; nullptr when `id` is not one.
    Slot* Queued(EventId id) {
        const uint64_t index = id & kSlotMask;
        if (index >= slotCount_) return nullptr;
        Slot& slot = SlotAt(index);
        return slot.id == id && slot.state == SlotState::Queued ? &slot : nullptr;
    }
    const Slot* Queued(EventId id) const { return const_cast<Scheduler*>(this)->Queued(id); }
    // A slot for a new queued event (its callable still empty), with the id it answers to.
    Slot& NewEvent(uint8_t phase);
    // The tie drawn, a new event's slot, its place in the queue: At without the callable.
    Slot& Schedule(TimeUs at, Phase phase) {
        if (at < now_) at = now_;
        const uint8_t p = static_cast<uint8_t>(phase);
        // Internal events due together are ordered by the seed; scenario events keep file order.
        const uint64_t tie = phase == Phase::Internal ? rng_.Next() : 0;
        Slot& slot = NewEvent(p);
        queue_.push(Key::Make(at, p, tie, slot.id));
        return slot;
    }
    Slot& SlotAt(uint64_t index) {
        unsigned char* at = chunks_[index >> kChunkBits]->bytes + (index & kChunkMask) * sizeof(Slot);
        return *std::launder(reinterpret_cast<Slot*>(at));
    }
    [[gnu::always_inline]] inline void FreeSlot(Slot& slot);

    [[gnu::always_inline]] inline void SkipCancelled();
    // RunOne's body, in line in the loops that run events one after another.
    [[gnu::always_inline]] inline bool RunNext(TimeUs limit);
    // Cancelled events the queue may carry before Cancel drops them all (a pass over the
    // queue every so many cancels, against a deeper queue for every event in between).
    static constexpr size_t kCompactSlack = 16;
    void AdvanceTo(TimeUs t);
    uint64_t WallUs() const;
    // Waits at most `us` of wall time for a watched descriptor; runs the handlers of the ready
    // ones after bringing the clock up to `pace()`.
    void PollOnce(TimeUs us, const std::function<TimeUs()>& pace);

    struct Watch {
        std::function<short()> interest;
        std::function<void(short)> onReady;
    };

    uint64_t seed_;
    Rng rng_;
    TimeUs now_ = 0;
    uint64_t nextSeq_ = 1;
    uint64_t eventsRun_ = 0;
    DaryHeap<Key, KeyBefore> queue_;
    // Slots in fixed chunks: a running event's slot stays put while it schedules others. A
    // chunk's storage is left untouched until its slots are handed out, one by one in order, so
    // a run that keeps a few events pending faults in a page of slots, not the chunk.
    static constexpr unsigned kChunkBits = 8;
    static constexpr uint64_t kChunkMask = (uint64_t{1} << kChunkBits) - 1;
    struct SlotChunk {
        alignas(Slot) unsigned char bytes[sizeof(Slot) * (kChunkMask + 1)];
    };
    std::vector<std::unique_ptr<SlotChunk>> chunks_;  // slots [0, slotCount_) constructed
    uint64_t slotCount_ = 0;
    std::vector<uint32_t> freeSlots_;
    size_t queued_ = 0;
    std::deque<EventId> deferred_;  // gated events that fell due while their gate was closed
    std::map<int, Watch> watches_;
    std::function<uint64_t()> wallClock_;
    bool realTime_ = false;
    Runner* runner_ = nullptr;
};

}  // namespace host::sim
