// The happens-before edges of the emulated synchronisation, told to ThreadSanitizer in the tsan
// build (empty elsewhere). The world itself runs on one OS thread and is not instrumented; the
// driver is, and each of its execution contexts runs on a fiber the sanitizer sees as a thread.
// What orders two contexts on a real system is said here: a spin lock handed over, an
// interlocked operation, an IRP passed down and completed, a timer set and fired, a handler
// call NDIS orders after another.
#pragma once

#include <cstddef>

#if defined(NICSIM_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace host::kernel {

#if defined(NICSIM_TSAN)
extern "C" void __tsan_write_range(void* addr, unsigned long size);

inline void RaceAcquire(const void* sync) { __tsan_acquire(const_cast<void*>(sync)); }
inline void RaceRelease(const void* sync) { __tsan_release(const_cast<void*>(sync)); }
// A block of driver memory the running context frees, told as that context's write of all of
// it: an access another context made, or makes later, that nothing orders before the free is a
// race. The runtime does not check frees itself here: the world's allocations and copies are its
// own bookkeeping, so the accesses of intercepted C library calls are ignored (world.cpp).
inline void RaceFree(const void* block, size_t size) {
    if (size != 0) __tsan_write_range(const_cast<void*>(block), size);
}
#else
inline void RaceAcquire(const void*) {}
inline void RaceRelease(const void*) {}
inline void RaceFree(const void*, size_t) {}
#endif

}  // namespace host::kernel
