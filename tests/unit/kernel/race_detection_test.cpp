// ThreadSanitizer over contexts on several processors (the tsan build; skipped elsewhere): an
// access the driver's instrumented code would make is made here with the runtime's own entry
// point, and the verdict is the verifier's data-race violations. Two writes nothing orders are a
// race; a spin lock, or the clock moving on between them, orders them; a context's stack is its
// own even when an earlier context at the same instant used the same depth of a stack.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "host/kernel/processors.h"
#include "host/world/world.h"

// The runtime's entry for a 4-byte store, as instrumented code calls it; absent outside the tsan
// build.
extern "C" void __tsan_write4(void* addr) __attribute__((weak));

namespace {

using host::verifier::check::kDataRace;

void InstrumentedWrite(void* p) { __tsan_write4(p); }

std::string Races(host::world::World& world) {
    std::string out;
    for (const auto& v : world.Verifier().Violations())
        if (v.check == kDataRace) out += v.detail + "\n";
    return out;
}

// A world with two processors and a tagged block of pool the contexts write into.
struct Rig {
    explicit Rig(uint64_t seed) : world(seed) {
        world.SetProcessors(2);
        block = static_cast<char*>(
            ExAllocatePoolWithTag(NonPagedPool, 32, MAKE_POOL_TAG('R', 'a', 'c', 'e')));
        KeInitializeSpinLock(&lock);
    }
    ~Rig() {
        if (block != nullptr) ExFreePool(block);
    }
    void Dpc(const char* name, std::function<void()> body) {
        world.Kernel().Dispatch(name, DISPATCH_LEVEL, -1, std::move(body));
    }

    host::world::World world;
    char* block = nullptr;
    KSPIN_LOCK lock = 0;
};

class RaceDetection : public ::testing::Test {
protected:
    void SetUp() override {
        if (__tsan_write4 == nullptr) GTEST_SKIP() << "not the tsan build";
    }
};

// In a child process: a report fails the process it happens in at exit (the runtime's exit
// status), and these are meant to happen. The child says what the verifier saw and leaves with a
// status of its own, which the runtime keeps (it only replaces a zero).
constexpr int kChildStatus = 7;

void RunAndTellRaces(const std::function<void(Rig&)>& scenario) {
    Rig rig(1);
    scenario(rig);
    const std::string races = Races(rig.world);
    std::fprintf(stderr, "%zu data race(s): %s", rig.world.Verifier().Count(kDataRace),
                 races.c_str());
    std::fflush(stderr);
    _exit(kChildStatus);
}

constexpr const char* kOneRaceOnTheField =
    "1 data race\\(s\\): ThreadSanitizer: data-race: write of 4 bytes at 'Race'\\+0x8 by "
    "(first|second) dpc, unordered with an earlier write of 4 bytes at 'Race'\\+0x8 by "
    "(first|second) dpc";

TEST_F(RaceDetection, TwoDpcsWritingOneFieldAtTheSameInstantAreARaceNamingTheBlockAndOffset) {
    EXPECT_EXIT(RunAndTellRaces([](Rig& rig) {
                    for (const char* name : {"first dpc", "second dpc"})
                        rig.Dpc(name, [&rig] { InstrumentedWrite(rig.block + 8); });
                    rig.world.Settle();
                }),
                ::testing::ExitedWithCode(kChildStatus), kOneRaceOnTheField);
}

// A context that ended is not ordered before one that starts at the same instant: nothing but
// the clock moving on says the two did not overlap.
TEST_F(RaceDetection, ADpcStartedAfterAnotherEndedAtTheSameInstantIsStillARace) {
    EXPECT_EXIT(RunAndTellRaces([](Rig& rig) {
                    for (const char* name : {"first dpc", "second dpc"}) {
                        rig.Dpc(name, [&rig] { InstrumentedWrite(rig.block + 8); });
                        rig.world.Settle();
                    }
                }),
                ::testing::ExitedWithCode(kChildStatus), kOneRaceOnTheField);
}

// Freeing is the freeing context's last write to every byte of the block.
TEST_F(RaceDetection, ADpcFreeingABlockAnotherWritesAtTheSameInstantIsARace) {
    EXPECT_EXIT(RunAndTellRaces([](Rig& rig) {
                    rig.Dpc("writer dpc", [&rig] { InstrumentedWrite(rig.block + 8); });
                    rig.Dpc("freeing dpc", [&rig] { ExFreePool(rig.block); });
                    rig.world.Settle();
                    rig.block = nullptr;
                }),
                ::testing::ExitedWithCode(kChildStatus),
                "1 data race\\(s\\): ThreadSanitizer: data-race: .* at 'Race'\\+0x8 by "
                "(writer|freeing) dpc, unordered with an earlier .* by (writer|freeing) dpc");
}

TEST_F(RaceDetection, WritesUnderOneSpinLockAreOrdered) {
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        Rig rig(seed);
        for (const char* name : {"first dpc", "second dpc"}) {
            rig.Dpc(name, [&rig] {
                KefAcquireSpinLockAtDpcLevel(&rig.lock);
                InstrumentedWrite(rig.block + 8);
                KefReleaseSpinLockFromDpcLevel(&rig.lock);
            });
        }
        rig.world.Settle();
        EXPECT_EQ(Races(rig.world), "") << "seed " << seed;
    }
}

TEST_F(RaceDetection, ADpcAtALaterInstantIsOrderedAfterOneThatEnded) {
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        Rig rig(seed);
        rig.Dpc("earlier dpc", [&rig] { InstrumentedWrite(rig.block); });
        rig.world.Settle();
        rig.world.RunFor(1000);
        // Started first, this one runs where the earlier one ran; the writer is new to the
        // sanitizer and ordered only by what the earlier one's end said.
        rig.Dpc("other dpc", [] {});
        rig.Dpc("later dpc", [&rig] { InstrumentedWrite(rig.block); });
        rig.world.Settle();
        EXPECT_EQ(Races(rig.world), "") << "seed " << seed;
    }
}

TEST_F(RaceDetection, ContextsOneAfterTheOtherAtOneInstantDoNotShareTheirLocals) {
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        Rig rig(seed);
        for (const char* name : {"first dpc", "second dpc"}) {
            rig.Dpc(name, [] {
                volatile int local = 0;
                InstrumentedWrite(const_cast<int*>(&local));
            });
            rig.world.Settle();  // the first has ended before the second starts
        }
        EXPECT_EQ(Races(rig.world), "") << "seed " << seed;
    }
}

}  // namespace
