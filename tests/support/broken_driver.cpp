// The deliberately broken driver of the explore and crash tests (target nicsim_broken, never
// shipped): the same driver and tool, linked with --wrap=NdisFreeMemory and
// --wrap=NdisMSetAttributesEx, so that
// - in a world whose seed is a multiple of 7 the driver's first NdisFreeMemory is lost: those
//   seeds end with a leak the verifier names;
// - in a world whose seed is a multiple of 97, initialise releases a spin lock it never took (a
//   violation the verifier names) and then writes through a null pointer: the run crashes.
// Every other seed runs as the real driver does. Nothing in the driver knows.
#include <cstdint>
#include <utility>

#include "driver/platform/ndis.h"
#include "host/world/current.h"
#include "host/world/world.h"

extern "C" VOID NTAPI __real_NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);
extern "C" VOID NTAPI __real_NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                                  NDIS_HANDLE MiniportAdapterContext,
                                                  UINT CheckForHangTimeInSeconds,
                                                  ULONG AttributeFlags,
                                                  NDIS_INTERFACE_TYPE AdapterType);

extern "C" VOID NTAPI __wrap_NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
    // The world (and its seed) that already lost its free: one per run.
    static std::pair<const host::world::World*, uint64_t> lost{nullptr, 0};
    const host::world::World& world = host::world::Current();
    const std::pair<const host::world::World*, uint64_t> now{&world, world.Seed()};
    if (world.Seed() % 7 == 0 && lost != now) {
        lost = now;
        return;
    }
    __real_NdisFreeMemory(VirtualAddress, Length, MemoryFlags);
}

// The null write is the crash this driver is for: the undefined-behaviour sanitizer must let it
// reach the processor (a fault the world catches) rather than end the process itself first.
extern "C" __attribute__((no_sanitize("undefined"))) VOID NTAPI
__wrap_NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                            UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                            NDIS_INTERFACE_TYPE AdapterType) {
    if (host::world::Current().Seed() % 97 == 0) {
        NDIS_SPIN_LOCK never;
        NdisAllocateSpinLock(&never);
        NdisReleaseSpinLock(&never);
        *static_cast<volatile ULONG*>(nullptr) = 0;
    }
    __real_NdisMSetAttributesEx(MiniportAdapterHandle, MiniportAdapterContext,
                                CheckForHangTimeInSeconds, AttributeFlags, AdapterType);
}
