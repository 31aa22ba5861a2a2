#include "host/sim/scheduler.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace host::sim {

Scheduler::Scheduler(uint64_t seed) : seed_(seed), rng_(seed) {}

Scheduler::~Scheduler() {
    for (uint64_t i = 0; i < slotCount_; ++i) SlotAt(i).~Slot();
}

Scheduler::Slot& Scheduler::NewEvent(uint8_t phase) {
    uint64_t index;
    if (!freeSlots_.empty()) {
        index = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        if (slotCount_ > kSlotMask) {
            std::fprintf(stderr, "scheduler: more than %llu events pending at once\n",
                         static_cast<unsigned long long>(kSlotMask));
            std::abort();
        }
        index = slotCount_;
        if ((index >> kChunkBits) == chunks_.size())
            chunks_.push_back(std::unique_ptr<SlotChunk>(new SlotChunk));  // not zeroed
        new (chunks_.back()->bytes + (index & kChunkMask) * sizeof(Slot)) Slot{};
        ++slotCount_;
    }
    if (nextSeq_ >> (64 - kSlotBits) != 0) {
        std::fprintf(stderr, "scheduler: event ids exhausted\n");
        std::abort();
    }
    Slot& slot = SlotAt(index);
    slot.id = (nextSeq_++ << kSlotBits) | index;
    slot.state = SlotState::Queued;
    slot.payload.phase = phase;
    ++queued_;
    return slot;
}

void Scheduler::FreeSlot(Slot& slot) {
    slot.state = SlotState::Free;
    slot.payload.fn.Reset();
    if (slot.payload.gate) slot.payload.gate = nullptr;
    freeSlots_.push_back(static_cast<uint32_t>(slot.id & kSlotMask));
}

EventId Scheduler::At(TimeUs at, Callback fn, Phase phase, std::function<bool()> gate) {
    const EventId id = At(at, std::move(fn), phase);
    if (gate) SlotAt(id & kSlotMask).payload.gate = std::move(gate);
    return id;
}

Rng Scheduler::ReserveTies(uint64_t count) {
    Rng reserved = rng_;
    for (uint64_t i = 0; i < count; ++i) rng_.Next();
    return reserved;
}

EventId Scheduler::AtWithTie(TimeUs at, uint64_t tie, Callback fn) {
    if (at < now_) at = now_;
    const uint8_t p = static_cast<uint8_t>(Phase::Internal);
    Slot& slot = NewEvent(p);
    slot.payload.fn = std::move(fn);
    queue_.push(Key::Make(at, p, tie, slot.id));
    return slot.id;
}

bool Scheduler::Cancel(EventId id) {
    Slot* slot = Queued(id);
    if (slot == nullptr) return false;
    --queued_;
    FreeSlot(*slot);
    // A cancelled event stays in the queue until it reaches the top, and one cancelled far
    // ahead (a wait's time-out) would stay for long, deepening every push and pop meanwhile:
    // once there are kCompactSlack of them they go all at once. Keys are all distinct, so what
    // remains comes out in the same order.
    if (queue_.size() > queued_ + kCompactSlack)
        queue_.erase_if([this](const Key& key) { return Queued(key.id) == nullptr; });
    return true;
}

void Scheduler::SkipCancelled() {
    while (!queue_.empty() && Queued(queue_.top().id) == nullptr) queue_.pop();
}

TimeUs Scheduler::NextDueTime() const {
    // The top may be a cancelled event; that only makes the answer early, never late.
    return queue_.empty() ? kNever : queue_.top().Time();
}

void Scheduler::AdvanceTo(TimeUs t) {
    if (t <= now_) return;
    if (runner_) runner_->ClockAdvances();
    now_ = t;
}

bool Scheduler::RunOne(TimeUs limit) { return RunNext(limit); }

bool Scheduler::RunNext(TimeUs limit) {
    // Tasks that can run hold the clock: an event due now may still go first when the runner
    // says so (it then runs beside them), a later one waits until they are done.
    const bool busy = runner_ && runner_->Runnable();
    if (busy) {
        SkipCancelled();
        const bool dueNow = !queue_.empty() && queue_.top().Time() <= now_;
        if (!dueNow || !runner_->EventFirst()) {
            runner_->RunSlice();
            return true;
        }
    }
    for (;;) {
        SkipCancelled();
        if (queue_.empty() || (busy && queue_.top().Time() > now_)) {
            if (!busy) return false;
            runner_->RunSlice();
            return true;
        }
        const Key key = queue_.top();
        if (key.Time() > limit) return false;
        queue_.pop();
        Slot& slot = SlotAt(key.id & kSlotMask);
        --queued_;
        AdvanceTo(key.Time());
        // Not pending from here on: a cancel of a running or deferred event finds nothing.
        slot.state = SlotState::Running;
        if (slot.payload.gate && !slot.payload.gate()) {
            slot.state = SlotState::Deferred;
            deferred_.push_back(key.id);
            continue;
        }
        ++eventsRun_;
        slot.payload.fn();
        FreeSlot(slot);
        return true;
    }
}

void Scheduler::RunUntil(TimeUs limit) {
    while (RunNext(limit)) {
    }
    if (limit != kNever) AdvanceTo(limit);
}

bool Scheduler::RunWhile(const std::function<bool()>& keepWaiting, TimeUs limit) {
    while (keepWaiting()) {
        if (!RunOne(limit)) {
            SkipCancelled();
            if (limit != kNever && limit > now_) {
                AdvanceTo(limit);
                return !keepWaiting();
            }
            return false;
        }
    }
    return true;
}

void Scheduler::Drain(TimeUs limit) {
    while (RunNext(limit)) {
    }
}

void Scheduler::ReleaseDeferred() {
    if (deferred_.empty()) return;
    // Re-queue at the current instant with ids below anything scheduled since, so they keep
    // their place ahead of later scenario events due now.
    auto pending = std::move(deferred_);
    deferred_.clear();
    for (const EventId id : pending) {
        Slot& slot = SlotAt(id & kSlotMask);
        slot.state = SlotState::Queued;
        ++queued_;
        queue_.push(Key::Make(now_, slot.payload.phase, 0, id));
    }
}

void Scheduler::WatchFd(int fd, std::function<short()> interest,
                        std::function<void(short)> onReady) {
    watches_[fd] = Watch{std::move(interest), std::move(onReady)};
}

void Scheduler::UnwatchFd(int fd) { watches_.erase(fd); }

uint64_t Scheduler::WallUs() const {
    if (wallClock_) return wallClock_();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void Scheduler::RunRealTime(const std::function<bool()>& keepRunning, TimeUs maxSleepUs) {
    realTime_ = true;
    // Virtual time v0 corresponds to wall time w0; both move when the pacing restarts.
    TimeUs v0 = now_;
    uint64_t w0 = WallUs();
    auto pace = [&]() -> TimeUs {
        const uint64_t wall = WallUs();
        const TimeUs target = v0 + (wall - w0);
        if (target < now_) {
            v0 = now_;
            w0 = wall;
            return now_;
        }
        return target;
    };
    while (keepRunning()) {
        RunUntil(pace());
        if (!keepRunning()) break;
        const TimeUs next = NextDueTime();
        const TimeUs at = pace();
        TimeUs wait = maxSleepUs;
        if (next != kNever) wait = std::min(wait, next > at ? next - at : 0);
        PollOnce(wait, pace);
    }
    realTime_ = false;
}

void Scheduler::PollOnce(TimeUs us, const std::function<TimeUs()>& pace) {
    std::vector<pollfd> fds;
    fds.reserve(watches_.size());
    for (auto& [fd, w] : watches_) {
        const short events = w.interest ? w.interest() : POLLIN;
        if (events != 0) fds.push_back(pollfd{fd, events, 0});
    }
    timespec ts{static_cast<time_t>(us / 1'000'000), static_cast<long>((us % 1'000'000) * 1000)};
    const int n = ppoll(fds.data(), fds.size(), &ts, nullptr);
    if (n <= 0) return;  // time-out, or a signal for keepRunning() to look at
    // Frames that arrived during the wait enter the world at the time they are read, after
    // everything that fell due before it.
    RunUntil(pace());
    for (const pollfd& p : fds) {
        if (p.revents == 0) continue;
        auto it = watches_.find(p.fd);  // a handler may have dropped another watch
        if (it == watches_.end()) continue;
        auto onReady = it->second.onReady;
        onReady(p.revents);
    }
}

}  // namespace host::sim
