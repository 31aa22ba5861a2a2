#pragma once
// Whether the world keeps what it freed for reuse (blocks, tasks) instead of giving it back.
// The sanitizer builds give everything back: AddressSanitizer then still catches a use after
// free, and the tsan build (which instruments only the driver: NICSIM_TSAN) does not carry one
// owner's accesses, or the ordering an address stood for, into the next owner's.

namespace host::sim {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(NICSIM_TSAN)
inline constexpr bool kReuseMemory = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kReuseMemory = false;
#else
inline constexpr bool kReuseMemory = true;
#endif
#else
inline constexpr bool kReuseMemory = true;
#endif

}  // namespace host::sim
