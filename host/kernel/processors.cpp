#include "host/kernel/processors.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "host/kernel/race_sync.h"
#include "host/sim/reuse.h"

namespace host::kernel {

namespace {

// The interleaving has a random stream of its own, so that the seed's order of events is the
// same whatever the number of processors, and only the interleaving itself depends on it.
constexpr uint64_t kInterleavingStream = 0x9E3779B97F4A7C15ull;

KIRQL TaskIrql(const Processors::Task& task) {
    return task.frames.empty() ? task.irql : task.frames.back().irql;
}

}  // namespace

Processors::Processors(Kernel& kernel, sim::Scheduler& scheduler, trace::Trace& trace,
                       ProcessorOptions options)
    : kernel_(kernel),
      scheduler_(scheduler),
      trace_(trace),
      options_(options),
      rng_(scheduler.Seed() ^ kInterleavingStream),
      cpus_(std::max(1u, options.cpus)) {}

Processors::~Processors() {
    kernel_.pointsLive_ = false;
    // Tasks still alive at the end of the world are abandoned with their stacks.
    for (Task* task = first_; task != nullptr;) {
        if (task->deadlineEvent != 0) scheduler_.Cancel(task->deadlineEvent);
        delete std::exchange(task, task->next);
    }
    for (Task* task = spare_; task != nullptr;) delete std::exchange(task, task->next);
}

Processors::Task* Processors::Spawn(std::string_view name, KIRQL irql, int adapter,
                                    sim::Callback&& work) {
    Task* task = spare_;
    if (task == nullptr) {
        task = new Task;
    } else {
        spare_ = task->next;
        --spares_;
    }
    task->id = nextId_++;
    task->name = name;
    task->adapter = adapter;
    task->irql = irql;
    task->work = std::move(work);
    Task* raw = task;
    // Created now, by the spawning context, so that what it did so far happens before the
    // task's first step (a completion sees what the requester wrote before passing it down).
    // The end is released by the task itself, as its last step on its own fiber: Finish runs on
    // main afterwards, and a release there would carry main's history, not the task's, so that
    // neither its joiner nor the next instant would be ordered after what the task did.
    if (task->fiber) {
        task->fiber->Rewind();  // a spare's, kept from its last run with this same body
    } else {
        task->fiber = std::make_unique<sim::Fiber>(
            [this, raw] {
                kernel_.RunFrame(raw->name, raw->irql, raw->adapter, raw->work);
                raw->work.Reset();
                RaceRelease(&endFence_);
                RaceRelease(raw);
            },
            std::string(raw->name));
    }
    task->prev = last_;
    task->next = nullptr;
    (last_ != nullptr ? last_->next : first_) = task;
    last_ = task;
    ++live_;
    PointsChanged();
    waiting_.push_back(raw);
    ++stats_.tasks;
    return raw;
}

void Processors::Join(Task* task) {
    task->joined = true;
    while (task->state != State::Ended) {
        if (scheduler_.RunOne(sim::Scheduler::kNever)) continue;
        if (!WakeStuck()) {
            std::fprintf(stderr, "nicsim: task '%.*s' can never run again\n",
                         static_cast<int>(task->name.size()), task->name.data());
            std::abort();
        }
    }
    RaceAcquire(task);
    Retire(task);
}

void Processors::Retire(Task* task) {
    (task->prev != nullptr ? task->prev->next : first_) = task->next;
    (task->next != nullptr ? task->next->prev : last_) = task->prev;
    --live_;
    PointsChanged();
    // A task's address orders its end before its joiner: the sanitizer builds take a new one
    // each time (sim::kReuseMemory). A run has a handful alive at once.
    constexpr size_t kSpares = 64;
    if (!sim::kReuseMemory || !task->frames.empty() || spares_ >= kSpares) {
        delete task;
        return;
    }
    // What Spawn does not set again goes back to how a new task starts; the context stack and
    // the ended fiber stay for the next one.
    task->state = State::Ready;
    task->cpu = -1;
    task->started = false;
    task->joined = false;
    task->spinLock = nullptr;
    task->wake = nullptr;
    task->deadline = sim::Scheduler::kNever;
    task->deadlineEvent = 0;
    task->timedOut = false;
    task->forcedOut = false;
    task->resumeWhy = "start";
    task->work.Reset();
    task->next = spare_;
    spare_ = task;
    ++spares_;
}

bool Processors::Eligible(const Cpu& cpu, const Task& task) const {
    if (cpu.stack.empty()) return true;
    // A DPC-level context interrupts one at a lower level; a passive one needs the processor.
    return task.irql >= DISPATCH_LEVEL && TaskIrql(*cpu.stack.back()) < DISPATCH_LEVEL;
}

void Processors::PushOn(int cpu, Task* task) {
    auto& stack = cpus_[cpu].stack;
    if (stack.empty()) ++busy_;
    stack.push_back(task);
    task->cpu = cpu;
}

void Processors::PopOff(Task* task) {
    auto& stack = cpus_[task->cpu].stack;
    if (!stack.empty() && stack.back() == task) {
        stack.pop_back();
        if (stack.empty()) --busy_;
    }
    task->cpu = -1;
}

bool Processors::TaskCanRun(Task& task) {
    switch (task.state) {
        case State::Ready: return true;
        case State::Spinning: return !kernel_.LockHeld(task.spinLock);
        default: return false;
    }
}

void Processors::WakeBlocked() {
    // Called at every processor point: most of the time nothing is blocked.
    if (blocked_ == 0) return;
    for (Task* task = first_; task != nullptr; task = task->next) {
        if (task->state != State::Blocked) continue;
        if (!task->timedOut && !(task->wake && task->wake())) continue;
        --blocked_;
        task->state = State::Ready;
        task->resumeWhy = task->timedOut ? "timed out" : "woken";
        waiting_.push_back(task);
    }
}

bool Processors::OtherCanRunSearch() {
    if (blocked_ != 0) WakeBlocked();
    if (busy_ == 0) return !waiting_.empty();
    for (const Cpu& cpu : cpus_) {
        if (cpu.stack.empty()) continue;
        Task* top = cpu.stack.back();
        if (top != running_ && TaskCanRun(*top)) return true;
    }
    for (Task* task : waiting_)
        for (const Cpu& cpu : cpus_)
            if (Eligible(cpu, *task)) return true;
    return false;
}

bool Processors::OtherCanRunAtPoint() { return OtherCanRunSearch(); }

bool Processors::Runnable() {
    if (running_ != nullptr) return false;
    return OtherCanRun<false>();
}

void Processors::RunSlice() {
    if (blocked_ != 0) WakeBlocked();
    Task* task = nullptr;
    int cpu = -1;
    const size_t count = cpus_.size();
    if (busy_ == 0) {
        // Every processor idle, which is most slices: every waiting task is a candidate, and
        // every processor would take it. The same draws as below.
        if (waiting_.empty()) return;
        const size_t pick = rng_.Below(waiting_.size());
        task = waiting_[pick];
        cpu = static_cast<int>(rng_.Below(count));
        waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(pick));
        PushOn(cpu, task);
    } else {
        // The candidates: every processor's running task that can go on, and every waiting
        // task some processor would take.
        std::vector<std::pair<Task*, int>>& candidates = candidates_;
        candidates.clear();
        for (size_t c = 0; c < count; ++c) {
            if (cpus_[c].stack.empty()) continue;
            Task* top = cpus_[c].stack.back();
            if (TaskCanRun(*top)) candidates.emplace_back(top, static_cast<int>(c));
        }
        for (Task* waiting : waiting_) {
            for (const Cpu& each : cpus_) {
                if (Eligible(each, *waiting)) {
                    candidates.emplace_back(waiting, -1);
                    break;
                }
            }
        }
        if (candidates.empty()) return;
        std::tie(task, cpu) = candidates[rng_.Below(candidates.size())];
        if (cpu < 0) {
            std::vector<int>& free = freeCpus_;
            free.clear();
            for (size_t c = 0; c < count; ++c)
                if (Eligible(cpus_[c], *task)) free.push_back(static_cast<int>(c));
            cpu = free[rng_.Below(free.size())];
            if (!cpus_[cpu].stack.empty()) {
                ++stats_.interrupts;
                task->resumeWhy = "interrupts";
            }
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), task));
            PushOn(cpu, task);
        }
    }
    if (task->state == State::Spinning) {
        task->state = State::Ready;
        task->resumeWhy = "acquired";
    }
    if (trace_.Enabled("switch"))
        trace_.Emit("switch", kernel_.AdapterName(task->adapter),
                {{"cpu", cpu}, {"task", task->id}, {"context", task->name},
                 {"why", task->resumeWhy}});
    task->started = true;
    ++stats_.slices;
    running_ = task;
    PointsChanged();
    kernel_.SetCurrentStack(&task->frames);
    task->fiber->Resume();
    kernel_.SetCurrentStack(&kernel_.MainStack());
    running_ = nullptr;
    PointsChanged();
    if (task->fiber->Ended()) Finish(task);
}

bool Processors::EventFirst() { return rng_.Chance(1, 2); }

void Processors::Finish(Task* task) {
    PopOff(task);
    task->state = State::Ended;
    // Where memory is reused the ended fiber stays with the task, for Spawn to rewind.
    if (!sim::kReuseMemory) task->fiber.reset();
    if (task->joined) return;
    Retire(task);
}

void Processors::ClockAdvances() {
    RaceAcquire(&endFence_);
    // Main, which starts every task, is now ordered after each task that ended. Only the
    // sanitizer builds hold ended fibers' stacks back until then.
    if (!sim::kReuseMemory) sim::Fiber::EndedFibersOrdered();
    RaceRelease(&timeFence_);
    instantPreemptions_ = 0;
    PointsChanged();
}

bool Processors::WakeStuck() {
    // One check: nothing is left to run, so no blocked task without a time-out may remain.
    kernel_.Checked();
    bool any = false;
    for (Task* task = first_; task != nullptr; task = task->next) {
        if (task->state != State::Blocked || task->deadline != sim::Scheduler::kNever) continue;
        kernel_.Verifier().Report(
            verifier::check::kDeadlock,
            "KeWaitForSingleObject without time-out, and nothing left that could signal it (in " +
                std::string(task->name) + ")",
            kernel_.AdapterName(task->adapter));
        task->forcedOut = true;
        task->timedOut = true;
        any = true;
    }
    if (any) WakeBlocked();
    return any;
}

void Processors::SwitchOut() { running_->fiber->Suspend(); }

void Processors::Point(const char* what) {
    if (running_ == nullptr) return;
    if (instantPreemptions_ >= options_.preemptionsPerInstant) return;
    if (!OtherCanRun<true>()) return;
    if (!rng_.Chance(options_.preemptPercent, 100)) return;
    Preempt(what);
}

void Processors::Preempt(const char* what) {
    ++instantPreemptions_;
    PointsChanged();
    ++stats_.preemptions;
    if (trace_.Enabled("preempt"))
        trace_.Emit("preempt", kernel_.AdapterName(running_->adapter),
                {{"cpu", running_->cpu}, {"task", running_->id}, {"context", running_->name},
                 {"at", what}});
    running_->resumeWhy = "resumes";
    SwitchOut();
}

std::string Processors::LockStack(const Task& task) const {
    std::string out = std::string(task.name) + " on processor " + std::to_string(task.cpu) +
                      " holding [" + kernel_.LocksHeldBy(task.frames) + "]";
    if (task.spinLock != nullptr) out += ", spinning on " + kernel_.LockName(task.spinLock);
    return out;
}

void Processors::ReportSpinDeadlock(const Task& spinner, const Task& holder, const void* lock,
                                    const std::string& why) {
    kernel_.Verifier().Report(verifier::check::kDeadlock,
                              why + ": " + LockStack(spinner) + " spins on " +
                                  kernel_.LockName(lock) + "; " + LockStack(holder),
                              kernel_.AdapterName(spinner.adapter));
}

bool Processors::Spin(const void* lock) {
    Task* self = running_;
    if (self == nullptr) return false;
    // The holder runs on a processor, not this one, and does not wait (through others) for us.
    kernel_.Checked(3);
    auto holderOf = [this](const void* l) -> Task* {
        const Kernel::ContextStack* owner = kernel_.LockOwner(l);
        for (Task* t = first_; t != nullptr; t = t->next)
            if (&t->frames == owner) return t;
        return nullptr;
    };
    Task* holder = holderOf(lock);
    if (holder == nullptr) {
        kernel_.Verifier().Report(verifier::check::kDeadlock,
                                  "spin lock " + kernel_.LockName(lock) +
                                      " is held outside any processor (in " +
                                      std::string(self->name) + ")",
                                  kernel_.AdapterName(self->adapter));
        return false;
    }
    if (holder->cpu == self->cpu) {
        self->spinLock = lock;
        ReportSpinDeadlock(*self, *holder, lock,
                           "spinning on a lock its own processor holds (the holder was "
                           "interrupted)");
        self->spinLock = nullptr;
        return false;
    }
    // Follow who the holder waits for: back to this task is a cycle none of them leaves.
    for (Task* at = holder; at != nullptr && at->state == State::Spinning;) {
        Task* next = holderOf(at->spinLock);
        if (next == self) {
            self->spinLock = lock;
            ReportSpinDeadlock(*self, *holder, lock, "lock-order deadlock");
            self->spinLock = nullptr;
            return false;
        }
        if (next == holder) break;
        at = next;
    }
    self->state = State::Spinning;
    self->spinLock = lock;
    ++stats_.spins;
    SwitchOut();
    self->spinLock = nullptr;
    return true;
}

bool Processors::Block(std::function<bool()> wake, sim::TimeUs deadline) {
    Task* self = running_;
    PopOff(self);
    self->state = State::Blocked;
    ++blocked_;
    self->wake = std::move(wake);
    self->deadline = deadline;
    self->timedOut = false;
    self->forcedOut = false;
    if (deadline != sim::Scheduler::kNever) {
        self->deadlineEvent = scheduler_.At(deadline, [self] {
            self->deadlineEvent = 0;
            self->timedOut = true;
        });
    }
    ++stats_.blocks;
    RaceRelease(&endFence_);
    SwitchOut();
    RaceAcquire(&timeFence_);
    if (self->deadlineEvent != 0) {
        scheduler_.Cancel(self->deadlineEvent);
        self->deadlineEvent = 0;
    }
    self->wake = nullptr;
    return !self->timedOut;
}

}  // namespace host::kernel
