// Several processors as the kernel's routines meet them: spin locks that spin while another
// processor holds them, and the deadlocks a seed's interleaving can run into, reported with the
// locks each side holds.
#include <gtest/gtest.h>

#include <string>

#include "host/kernel/processors.h"
#include "host/world/world.h"

namespace {

using host::verifier::check::kDeadlock;

// Every point is a switch while another task can run: the seed still picks which one.
host::kernel::ProcessorOptions Eager(unsigned cpus) {
    host::kernel::ProcessorOptions o;
    o.cpus = cpus;
    o.preemptionsPerInstant = 1000;
    o.preemptPercent = 100;
    return o;
}

std::string Deadlocks(host::world::World& world) {
    std::string out;
    for (const auto& v : world.Verifier().Violations())
        if (v.check == kDeadlock) out += v.detail + "\n";
    return out;
}

PKSPIN_LOCK Locks(int n) {
    auto* locks = static_cast<PKSPIN_LOCK>(
        ExAllocatePoolWithTag(NonPagedPool, n * sizeof(KSPIN_LOCK), MAKE_POOL_TAG('L', 'o', 'c', 'k')));
    for (int i = 0; i < n; ++i) KeInitializeSpinLock(&locks[i]);
    return locks;
}
PKSPIN_LOCK TwoLocks() { return Locks(2); }

TEST(Processors, TwoContextsTakingTwoLocksInOppositeOrdersAreADeadlockWithBothLockStacks) {
    int spinDeadlocks = 0;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        host::world::World world(seed);
        world.Kernel().SetProcessors(Eager(2));
        PKSPIN_LOCK locks = TwoLocks();
        auto takeBoth = [locks](int first) {
            KefAcquireSpinLockAtDpcLevel(&locks[first]);
            KefAcquireSpinLockAtDpcLevel(&locks[1 - first]);
            KefReleaseSpinLockFromDpcLevel(&locks[1 - first]);
            KefReleaseSpinLockFromDpcLevel(&locks[first]);
        };
        world.Kernel().Dispatch("A", DISPATCH_LEVEL, -1, [&] { takeBoth(0); });
        world.Kernel().Dispatch("B", DISPATCH_LEVEL, -1, [&] { takeBoth(1); });
        world.Settle();
        const std::string found = Deadlocks(world);
        // Whichever order the seed gave, the two orders of taking are a deadlock: at once, when
        // both spin, or as a cycle in the order locks were taken when one finished first.
        EXPECT_NE(found, "") << "seed " << seed;
        if (found.find("lock-order deadlock: ") != std::string::npos) {
            ++spinDeadlocks;
            EXPECT_NE(found.find("holding ['Lock'+0x0]"), std::string::npos) << found;
            EXPECT_NE(found.find("holding ['Lock'+0x8]"), std::string::npos) << found;
        } else {
            EXPECT_NE(found.find("lock-order cycle: "), std::string::npos) << found;
        }
        ExFreePool(locks);
    }
    EXPECT_GT(spinDeadlocks, 0) << "no seed had both contexts spin";
}

// Nestings seen before are answered from memory; a nesting new for a lock that is already
// known inside another must still be learnt, or the cycle it closes later goes unseen.
TEST(Processors, ACycleThroughALockKnownInsideAnotherIsStillFound) {
    host::world::World world(1);
    PKSPIN_LOCK locks = Locks(3);
    auto nest = [locks](int outer, int inner) {
        KefAcquireSpinLockAtDpcLevel(&locks[outer]);
        KefAcquireSpinLockAtDpcLevel(&locks[inner]);
        KefReleaseSpinLockFromDpcLevel(&locks[inner]);
        KefReleaseSpinLockFromDpcLevel(&locks[outer]);
    };
    world.Kernel().Dispatch("nesting", DISPATCH_LEVEL, -1, [&] {
        nest(0, 1);
        nest(0, 1);
        nest(2, 1);
        nest(1, 2);
    });
    world.Settle();
    EXPECT_EQ(Deadlocks(world),
              "lock-order cycle: 'Lock'+0x10 taken while holding 'Lock'+0x8 (held: 'Lock'+0x8), "
              "and another context took 'Lock'+0x8 after 'Lock'+0x10 (in nesting)\n");
    ExFreePool(locks);
}

TEST(Processors, ADpcSpinningOnALockTheContextItInterruptedHoldsIsADeadlock) {
    int ownProcessor = 0, otherProcessor = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        host::world::World world(seed);
        world.Kernel().SetProcessors(Eager(2));
        PKSPIN_LOCK locks = TwoLocks();
        LONG counter = 0;
        // A passive context that takes a spin lock without raising (a fault of its own the
        // verifier reports): a DPC may then interrupt it on its processor.
        world.Kernel().Dispatch("passive", PASSIVE_LEVEL, -1, [&] {
            KefAcquireSpinLockAtDpcLevel(&locks[0]);
            InterlockedIncrement(&counter);
            InterlockedIncrement(&counter);
            KefReleaseSpinLockFromDpcLevel(&locks[0]);
        });
        world.Kernel().Dispatch("dpc", DISPATCH_LEVEL, -1, [&] {
            InterlockedIncrement(&counter);
            KefAcquireSpinLockAtDpcLevel(&locks[0]);
            KefReleaseSpinLockFromDpcLevel(&locks[0]);
        });
        world.Settle();
        const std::string found = Deadlocks(world);
        if (found.find("spinning on a lock its own processor holds") != std::string::npos) {
            ++ownProcessor;
            EXPECT_NE(found.find("dpc on processor"), std::string::npos) << found;
            EXPECT_NE(found.find("passive on processor"), std::string::npos) << found;
        } else {
            EXPECT_EQ(found, "") << "seed " << seed;
            ++otherProcessor;
        }
        ExFreePool(locks);
    }
    EXPECT_GT(ownProcessor, 0);
    EXPECT_GT(otherProcessor, 0) << "on the other processor the DPC only spins a while";
}

TEST(Processors, AWaitWithoutTimeOutThatNothingCanEndIsReportedAndGivenUp) {
    host::world::World world(1);
    world.Kernel().SetProcessors(Eager(2));
    NTSTATUS status = STATUS_SUCCESS;
    world.Kernel().RunInContext("waiter", PASSIVE_LEVEL, -1, [&] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_NE(Deadlocks(world).find("without time-out, and nothing left that could signal it (in "
                                    "waiter)"),
              std::string::npos)
        << Deadlocks(world);
}

}  // namespace
