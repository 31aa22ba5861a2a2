// A fault of the code a world runs (the driver dereferencing poison, jumping nowhere, dividing by
// zero) must end the run the way every other fault does: a violation with a stable name, what
// was written so far kept, and a verdict. While a CrashGuard lives, SIGSEGV, SIGBUS, SIGILL and
// SIGFPE become a `crash` violation in the world current on this thread, naming the signal, the
// faulting address and the context it happened under (the handler, timer routine or completion,
// from the kernel's context stack); then the guard's epilogue runs, which finishes the run's
// outputs and ends the process. The handler runs on an alternate signal stack of its own, so a
// fault on a fiber's stack (or an overflow of it) is still reported.
//
// The world is not resumed after a crash: the epilogue may read it (counters, the verifier) but
// must not run it. A second fault while the epilogue runs ends the process at once with status 1
// and one line on standard error.
#pragma once

#include <functional>
#include <string>

namespace host::world {

class CrashGuard {
public:
    // `epilogue` must not return; if it does, the process exits with status 1.
    explicit CrashGuard(std::function<void()> epilogue);
    ~CrashGuard();
    CrashGuard(const CrashGuard&) = delete;
    CrashGuard& operator=(const CrashGuard&) = delete;

    // What the last crash was, as the violation's detail says it (for the epilogue's own lines).
    static const std::string& LastCrash();
};

}  // namespace host::world
