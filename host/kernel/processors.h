// The processors of a multiprocessor run. Every execution context (a handler NDIS calls, a timer
// routine, a completion routine, a passive handler) is a task on a fiber of its own; each
// processor runs one task at a time. A DPC-level task may interrupt a processor whose task is at
// PASSIVE_LEVEL; a passive task needs a free processor, and gives it up while it blocks. The
// seed picks which task runs next and where a running task is switched out: at the
// synchronisation and shared-state points the kernel, NDIS and the driver's shared-field helpers
// pass through, a bounded number of times per instant of virtual time. Virtual time does not
// advance while any task can run, so interleaving costs no time and a seed gives one trace.
//
// Only the thread's own stack ("main": the scheduler, the scenario, the tests) starts, joins and
// resumes tasks; a task runs until it ends, blocks, spins on a held lock or is preempted, and
// then control comes back to main.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/kernel/export_abi.h"
#include "host/kernel/kernel.h"
#include "host/sim/callback.h"
#include "host/sim/fiber.h"
#include "host/sim/rng.h"

namespace host::kernel {

struct ProcessorOptions {
    unsigned cpus = 1;
    // Preemptions the seed may place per instant of virtual time, and the chance (percent) of
    // one at each point while that budget lasts and another task could run.
    unsigned preemptionsPerInstant = 3;
    unsigned preemptPercent = 25;
};

struct ProcessorStats {
    uint64_t tasks = 0, slices = 0, preemptions = 0, spins = 0, blocks = 0, interrupts = 0;
};

class Processors : public sim::Scheduler::Runner {
public:
    enum class State : uint8_t { Ready, Spinning, Blocked, Ended };
    struct Task {
        uint64_t id = 0;
        // Also the name of the context its work runs in; like a context's, it outlives the task.
        std::string_view name;
        int adapter = -1;
        KIRQL irql = PASSIVE_LEVEL;  // the level it started at
        Kernel::ContextStack frames;
        std::unique_ptr<sim::Fiber> fiber;
        State state = State::Ready;
        int cpu = -1;  // -1 while it waits for a processor
        bool started = false;
        bool joined = false;
        const void* spinLock = nullptr;
        std::function<bool()> wake;
        sim::TimeUs deadline = sim::Scheduler::kNever;
        sim::EventId deadlineEvent = 0;
        bool timedOut = false;
        bool forcedOut = false;  // woken by the deadlock check rather than by its condition
        const char* resumeWhy = "start";
        sim::Callback work;  // runs in a context of the task's name, level and adapter
        // Its neighbours among the live tasks, in spawn order (`next` also links the spares).
        Task* prev = nullptr;
        Task* next = nullptr;
    };

    Processors(Kernel& kernel, sim::Scheduler& scheduler, trace::Trace& trace,
               ProcessorOptions options);
    ~Processors();
    Processors(const Processors&) = delete;
    Processors& operator=(const Processors&) = delete;

    unsigned Count() const { return static_cast<unsigned>(cpus_.size()); }
    const ProcessorOptions& Options() const { return options_; }
    const ProcessorStats& Stats() const { return stats_; }
    sim::Rng& Random() { return rng_; }
    // The task running now; nullptr on main.
    Task* Running() const { return running_; }
    // The processor the running task is on; -1 on main.
    int CurrentCpu() const { return running_ ? running_->cpu : -1; }

    // Starts `work` as a task of its own, in a context named `name` at `irql` for `adapter`; it
    // runs when the seed picks it, at this instant. `name` outlives the task (a literal, mostly).
    Task* Spawn(std::string_view name, KIRQL irql, int adapter, sim::Callback&& work);
    // From main: runs the world until `task` has ended (events due later run meanwhile, as they
    // do while a passive handler blocks).
    void Join(Task* task);

    // ---- the scheduler's side ----
    bool Runnable() override;
    void RunSlice() override;
    bool EventFirst() override;
    // The clock is about to move on: whatever ran before now happens before whatever runs later.
    void ClockAdvances() override;
    // Nothing can run and nothing is due: a task blocked without time-out can never be woken.
    // Reports it, wakes it as timed out, and answers whether there was one.
    bool WakeStuck();

    // ---- the running task's side ----
    // A point where the seed may switch the running task out for another.
    WORLD_ABI void Point(const char* what);
    // The running task spins until `lock` is free (it is then to try again). Returns false when
    // it never could be: the spin was reported as a deadlock and the task goes on as if it had
    // the lock.
    bool Spin(const void* lock);
    // Blocks the running task (it gives up its processor) until `wake()` answers true or the
    // clock reaches `deadline`. Returns false on time-out.
    bool Block(std::function<bool()> wake, sim::TimeUs deadline);

private:
    struct Cpu {
        std::vector<Task*> stack;  // the top runs; the ones below were interrupted
    };

    WORLD_OUTLINE void SwitchOut();
    // Switches the running task out at `what`, the seed having chosen to.
    WORLD_OUTLINE void Preempt(const char* what);
    // Asks each blocked task's wake condition (the C++ library's function: out of the world's
    // convention, so the processor points reach it only through OtherCanRunAtPoint).
    [[gnu::noinline]] void WakeBlocked();
    void Place();
    // Tells the kernel whether its processor points can do anything (Kernel::Point); called
    // wherever the running task, the live tasks or the instant's preemptions change.
    void PointsChanged() {
        kernel_.pointsLive_ = running_ != nullptr && live_ > 1 &&
                              instantPreemptions_ < options_.preemptionsPerInstant;
    }
    bool Eligible(const Cpu& cpu, const Task& task) const;
    // Puts `task` on top of `cpu`'s stack, and takes it off the top again.
    [[gnu::always_inline]] inline void PushOn(int cpu, Task* task);
    [[gnu::always_inline]] inline void PopOff(Task* task);
    bool TaskCanRun(Task& task);
    // Whether a task other than the running one could run now. Asked at every processor
    // point and before every event: the common answers come in line, without the register
    // saves of a call that leaves the world's convention. The rest of the answer is a search
    // that the points (in the world's convention, kAtPoint) and the scheduler (in the host's)
    // each call in their own, so that neither saves registers for it.
    template <bool kAtPoint>
    bool OtherCanRun() {
        if (live_ == 0 || (live_ == 1 && first_ == running_)) return false;
        if (blocked_ == 0 && busy_ == 0) return !waiting_.empty();  // any would be taken
        if constexpr (kAtPoint) return OtherCanRunAtPoint();
        return OtherCanRunSearch();
    }
    [[gnu::noinline]] bool OtherCanRunSearch();
    WORLD_OUTLINE bool OtherCanRunAtPoint();
    [[gnu::always_inline]] inline void Finish(Task* task);
    // Drops the ended `task` from the live ones; kept for the next Spawn where memory is reused.
    [[gnu::always_inline]] inline void Retire(Task* task);
    void ReportSpinDeadlock(const Task& spinner, const Task& holder, const void* lock,
                            const std::string& why);
    std::string LockStack(const Task& task) const;

    Kernel& kernel_;
    sim::Scheduler& scheduler_;
    trace::Trace& trace_;
    ProcessorOptions options_;
    sim::Rng rng_;
    std::vector<Cpu> cpus_;
    unsigned busy_ = 0;  // processors whose stack holds a task
    // The live tasks, in spawn order, owned through this list: an ended task leaves it without
    // a search.
    Task* first_ = nullptr;
    Task* last_ = nullptr;
    size_t live_ = 0;
    std::vector<Task*> waiting_;                // ready, not yet on a processor, in order
    // Ended tasks for Spawn to reuse, linked through `next` and owned here: their context
    // stacks keep their slots and lock lists, so a steady stream of contexts allocates nothing.
    Task* spare_ = nullptr;
    size_t spares_ = 0;
    size_t blocked_ = 0;                        // tasks in State::Blocked
    // RunSlice's scratch, kept so a slice allocates nothing: the tasks it may run (with the
    // processor each is on, -1 when waiting) and the processors that would take a waiting one.
    std::vector<std::pair<Task*, int>> candidates_;
    std::vector<int> freeCpus_;
    Task* running_ = nullptr;
    uint64_t nextId_ = 1;
    unsigned instantPreemptions_ = 0;
    ProcessorStats stats_;
    // Happens-before fences of the tsan build: what ended or blocked before the clock moved on,
    // and what main passes on to tasks that resume later.
    char endFence_ = 0;
    char timeFence_ = 0;
};

}  // namespace host::kernel
