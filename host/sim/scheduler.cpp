#include "host/sim/scheduler.h"

namespace host::sim {

Scheduler::Scheduler(uint64_t seed) : seed_(seed), rng_(seed) {}

EventId Scheduler::At(TimeUs at, std::function<void()> fn, Phase phase,
                      std::function<bool()> gate) {
    if (at < now_) at = now_;
    const EventId id = nextId_++;
    const uint8_t p = static_cast<uint8_t>(phase);
    // Internal events due together are ordered by the seed; scenario events keep file order.
    const uint64_t tie = phase == Phase::Internal ? rng_.Next() : 0;
    queue_.push(Key{at, p, tie, id});
    payloads_.emplace(id, Payload{std::move(fn), std::move(gate), p});
    return id;
}

bool Scheduler::Cancel(EventId id) { return payloads_.erase(id) != 0; }

void Scheduler::SkipCancelled() {
    while (!queue_.empty() && payloads_.find(queue_.top().id) == payloads_.end()) queue_.pop();
}

TimeUs Scheduler::NextDueTime() const {
    // The top may be a cancelled event; that only makes the answer early, never late.
    return queue_.empty() ? kNever : queue_.top().time;
}

bool Scheduler::RunOne(TimeUs limit) {
    for (;;) {
        SkipCancelled();
        if (queue_.empty()) return false;
        const Key key = queue_.top();
        if (key.time > limit) return false;
        queue_.pop();
        auto it = payloads_.find(key.id);
        Payload payload = std::move(it->second);
        payloads_.erase(it);
        if (key.time > now_) now_ = key.time;
        if (payload.gate && !payload.gate()) {
            deferred_.emplace_back(key.id, std::move(payload));
            continue;
        }
        ++eventsRun_;
        payload.fn();
        return true;
    }
}

void Scheduler::RunUntil(TimeUs limit) {
    while (RunOne(limit)) {
    }
    if (limit != kNever && limit > now_) now_ = limit;
}

bool Scheduler::RunWhile(const std::function<bool()>& keepWaiting, TimeUs limit) {
    while (keepWaiting()) {
        if (!RunOne(limit)) {
            SkipCancelled();
            if (limit != kNever && limit > now_) {
                now_ = limit;
                return !keepWaiting();
            }
            return false;
        }
    }
    return true;
}

void Scheduler::Drain(TimeUs limit) {
    while (RunOne(limit)) {
    }
}

void Scheduler::ReleaseDeferred() {
    if (deferred_.empty()) return;
    // Re-queue at the current instant with ids below anything scheduled since, so they keep
    // their place ahead of later scenario events due now.
    auto pending = std::move(deferred_);
    deferred_.clear();
    for (auto& [id, payload] : pending) {
        queue_.push(Key{now_, payload.phase, 0, id});
        payloads_.emplace(id, std::move(payload));
    }
}

}  // namespace host::sim
