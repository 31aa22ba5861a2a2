// Fibers as the emulated processors use them: bodies that hand control back and forth with
// whoever resumed them, nested, and switches that are only a change of stack and registers
// (the thread's signal mask is the thread's, not saved and restored by each switch as
// swapcontext did).
#include <gtest/gtest.h>

#include <signal.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/sim/fiber.h"

namespace {

using host::sim::Fiber;

// The tsan build links ThreadSanitizer, to which each fiber is a thread of its own, switched
// without synchronisation (the processors order their tasks with annotations of their own). Each
// hand-over here is ordered the same way; outside that build the annotations are absent.
extern "C" void __tsan_acquire(void* addr) __attribute__((weak));
extern "C" void __tsan_release(void* addr) __attribute__((weak));
int handOver;
void Acquire() {
    if (__tsan_acquire) __tsan_acquire(&handOver);
}
// The last step of each body: its end is a hand-over too.
void Release() {
    if (__tsan_release) __tsan_release(&handOver);
}
void Resume(Fiber& fiber) {
    Release();
    fiber.Resume();
    Acquire();
}
void Suspend() {
    Release();
    Fiber::Current()->Suspend();
    Acquire();
}
// Resumes `fiber` from further down the thread's stack than the caller, then notes `step`: the
// fiber must come back there, not to where it was resumed from before.
void ResumeFromDeeper(Fiber& fiber, std::vector<std::string>& steps, const char* step) {
    std::function<int(int)> deeper = [&](int depth) {
        volatile char frame[256] = {};
        if (depth > 0) return deeper(depth - 1) + frame[depth];
        Resume(fiber);
        steps.push_back(step);
        return 0;
    };
    EXPECT_EQ(deeper(8), 0);
}

TEST(Fiber, HandsControlBackAndForthAndNests) {
    std::vector<std::string> steps;
    Fiber* inner = nullptr;
    Fiber* self = nullptr;
    Fiber outer([&] {
        Acquire();
        steps.push_back("outer 1");
        EXPECT_EQ(Fiber::Current(), self);
        auto nested = std::make_unique<Fiber>([&] {
            Acquire();
            steps.push_back("inner 1");
            EXPECT_EQ(Fiber::Current(), inner);
            Suspend();  // back to the outer fiber, not to the thread
            steps.push_back("inner 2");
            Release();
        });
        inner = nested.get();
        Resume(*nested);
        steps.push_back("outer 2");
        Suspend();
        steps.push_back("outer 3");
        Resume(*nested);
        EXPECT_TRUE(nested->Ended());
        nested.reset();
        steps.push_back("outer 4");
        Release();
    });
    self = &outer;
    EXPECT_EQ(Fiber::Current(), nullptr);
    Resume(outer);
    EXPECT_EQ(Fiber::Current(), nullptr);
    EXPECT_FALSE(outer.Ended());
    steps.push_back("main");
    ResumeFromDeeper(outer, steps, "main again");
    EXPECT_TRUE(outer.Ended());
    Resume(outer);  // an ended fiber does not run again
    EXPECT_EQ(steps, (std::vector<std::string>{"outer 1", "inner 1", "outer 2", "main", "outer 3",
                                               "inner 2", "outer 4", "main again"}));
}

TEST(Fiber, ARewoundFiberRunsItsBodyAgainAndEndsIntoWhoeverResumedItThisTime) {
    if (!Fiber::Rewinds()) GTEST_SKIP() << "the sanitizer builds give every body a new fiber";
    std::vector<std::string> steps;
    Fiber* self = nullptr;
    Fiber* resumer = nullptr;
    Fiber body([&] {
        Acquire();
        EXPECT_EQ(Fiber::Current(), self);
        steps.push_back("body");
        Release();
    });
    self = &body;
    Resume(body);
    ASSERT_TRUE(body.Ended());
    // Rewound and resumed from inside another fiber: its end comes back there, not to the
    // thread that resumed it the first time.
    body.Rewind();
    Fiber outer([&] {
        Acquire();
        Resume(body);
        EXPECT_TRUE(body.Ended());
        EXPECT_EQ(Fiber::Current(), resumer);
        steps.push_back("outer");
        Release();
    });
    resumer = &outer;
    Resume(outer);
    EXPECT_TRUE(outer.Ended());
    EXPECT_EQ(Fiber::Current(), nullptr);
    // And once more from the thread, deeper in its stack than before.
    body.Rewind();
    ResumeFromDeeper(body, steps, "main");
    EXPECT_TRUE(body.Ended());
    EXPECT_EQ(Fiber::Current(), nullptr);
    EXPECT_EQ(steps, (std::vector<std::string>{"body", "body", "outer", "body", "main"}));
}

TEST(Fiber, SwitchesLeaveTheSignalMaskAlone) {
    sigset_t none, before, inside, after;
    sigemptyset(&none);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &none, &before), 0);
    ASSERT_FALSE(sigismember(&before, SIGUSR2));
    Fiber fiber([&] {
        Acquire();
        sigset_t usr2;
        sigemptyset(&usr2);
        sigaddset(&usr2, SIGUSR2);
        sigprocmask(SIG_BLOCK, &usr2, nullptr);
        Suspend();
        sigprocmask(SIG_BLOCK, &none, &inside);
        Release();
    });
    Resume(fiber);
    // The mask the fiber set is the thread's: no switch saved the thread's mask to restore it.
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &none, &after), 0);
    EXPECT_TRUE(sigismember(&after, SIGUSR2));
    sigprocmask(SIG_SETMASK, &before, nullptr);
    Resume(fiber);
    EXPECT_FALSE(sigismember(&inside, SIGUSR2)) << "the switch into the fiber restored its mask";
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace
