// Every call the world makes into the driver through a routine pointer the driver handed it
// (DriverEntry, the miniport handlers, the shutdown handler, timer and completion routines) goes
// through CallDriver. The pointer's type says NTAPI, the convention the DDK declares for each of
// them. On x86 that is __stdcall: the routine pops its own arguments. A routine built __cdecl
// instead returns with its arguments still on the stack, and the caller, which trusts the type,
// goes on with its stack pointer off by that many bytes: at best a crash somewhere later, at worst
// a quiet corruption of its frame. In the 32-bit world the call is therefore made by a small
// routine of its own (driver_call.cpp) that measures the stack pointer across it, puts it back
// and reports a `calling-convention` violation naming the routine and the bytes left behind; the
// run then goes on as if the routine had been right. On x64 a routine pointer is called directly:
// there is one convention there, and the caller, not the routine, owns the argument space.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "driver/platform/nt.h"

namespace host::kernel {

class Kernel;

#if defined(__i386__)

// The routine that makes the call: copies `count` 32-bit argument words onto a fresh 16-byte
// aligned stack area, calls `routine`, puts the stack pointer back, and stores in `leftBytes`
// how many argument bytes the routine did not pop (0 for a __stdcall routine). Returns EDX:EAX.
extern "C" uint64_t nicsim_call_stdcall(const void* routine, const uint32_t* words, uint32_t count,
                                        int32_t* leftBytes);

// A `calling-convention` violation for `routine`, called as `role`, that left `leftBytes` of its
// `argumentBytes` on the stack (negative: it popped more than it was given).
void ReportUnbalancedCall(Kernel& kernel, std::string_view role, const void* routine,
                          uint32_t argumentBytes, int32_t leftBytes);

namespace detail {

template <typename F>
struct NtapiRoutine;  // only NTAPI routine pointers: anything else does not compile
template <typename R, typename... A>
struct NtapiRoutine<R(NTAPI*)(A...)> {
    using Result = R;
};

// A __stdcall argument takes whole 32-bit words on the stack, each in the low bytes of the first.
template <typename T>
constexpr uint32_t WordsOf() {
    static_assert(std::is_trivially_copyable_v<T> && !std::is_floating_point_v<T> && sizeof(T) <= 8,
                  "a driver routine argument the call cannot pass");
    return (sizeof(T) + 3) / 4;
}

template <typename T>
void PutArgument(uint32_t* words, uint32_t& at, const T& value) {
    std::memcpy(words + at, &value, sizeof(T));
    at += WordsOf<T>();
}

template <typename R, typename... A, typename... P>
R CallStdcall(Kernel& kernel, std::string_view role, R(NTAPI* routine)(A...), P&&... args) {
    constexpr uint32_t kWords = (WordsOf<A>() + ... + 0);
    uint32_t words[kWords + 1] = {};
    uint32_t at = 0;
    (PutArgument<A>(words, at, static_cast<A>(std::forward<P>(args))), ...);
    int32_t left = 0;
    const uint64_t result = nicsim_call_stdcall(reinterpret_cast<const void*>(routine), words, kWords, &left);
    if (left != 0) ReportUnbalancedCall(kernel, role, reinterpret_cast<const void*>(routine), kWords * 4, left);
    if constexpr (!std::is_void_v<R>) {
        static_assert(std::is_trivially_copyable_v<R> && sizeof(R) <= 8, "a result the call cannot return");
        R value;
        std::memcpy(&value, &result, sizeof(R));
        return value;
    }
}

}  // namespace detail

template <typename F, typename... P>
typename detail::NtapiRoutine<F>::Result CallDriver(Kernel& kernel, std::string_view role, F routine,
                                                    P&&... args) {
    return detail::CallStdcall(kernel, role, routine, std::forward<P>(args)...);
}

#else

template <typename F, typename... P>
decltype(auto) CallDriver(Kernel& kernel, std::string_view role, F routine, P&&... args) {
    (void)kernel;
    (void)role;
    return routine(std::forward<P>(args)...);
}

#endif

}  // namespace host::kernel
