// The happens-before edges of the emulated synchronisation, told to ThreadSanitizer in the tsan
// build (empty elsewhere). The world itself runs on one OS thread and is not instrumented; the
// driver is, and each of its execution contexts runs on a fiber the sanitizer sees as a thread.
// What orders two contexts on a real system is said here: a spin lock handed over, an
// interlocked operation, an IRP passed down and completed, a timer set and fired, a handler
// call NDIS orders after another.
#pragma once

#if defined(NICSIM_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace host::kernel {

#if defined(NICSIM_TSAN)
inline void RaceAcquire(const void* sync) { __tsan_acquire(const_cast<void*>(sync)); }
inline void RaceRelease(const void* sync) { __tsan_release(const_cast<void*>(sync)); }
#else
inline void RaceAcquire(const void*) {}
inline void RaceRelease(const void*) {}
#endif

}  // namespace host::kernel
