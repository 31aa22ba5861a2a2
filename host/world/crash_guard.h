// A fault of the code a world runs (the driver dereferencing poison, jumping nowhere, dividing by
// zero) must end the run the way every other fault does: a violation with a stable name, what
// was written so far kept, and a verdict. While a CrashGuard lives, SIGSEGV, SIGBUS, SIGILL and
// SIGFPE become a violation in the world current on this thread, naming the signal, the faulting
// address and the context it happened under (the handler, timer routine or completion, from the
// kernel's context stack), and, when the fault is in a driver image the world loaded, where in
// it ("usbnic.sys RVA 0x1234 (MiniportSend+0x56)"): `crash`, or `discarded-code` for a call into
// code the image's loader discarded after DriverEntry. Then the guard's epilogue runs, which
// finishes the run's outputs and ends the process. The handler runs on an alternate signal stack
// of its own, so a fault on a fiber's stack (or an overflow of it) is still reported.
//
// Before any of that, the fault traps registered (FaultTrap) may take the fault and resume the
// code that took it: the image's accesses to the IRQL register are emulated that way.
//
// The world is not resumed after a crash: the epilogue may read it (counters, the verifier) but
// must not run it. A second fault while the epilogue runs ends the process at once with status 1
// and one line on standard error.
#pragma once

#include <signal.h>
#include <ucontext.h>

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

// Takes a fault the code can go on from: true when it has (the context adjusted to resume),
// false to leave it to the next trap or to the crash report. Runs in the signal handler, on the
// alternate stack: it may read the world and change the context, never run the world.
using FaultTrap = bool (*)(int signal, siginfo_t* info, ucontext_t* context);

// Registers `trap` for as long as the registration lives (the signal handler with it). Traps run
// newest first.
class FaultTrapRegistration {
public:
    explicit FaultTrapRegistration(FaultTrap trap);
    ~FaultTrapRegistration();
    FaultTrapRegistration(const FaultTrapRegistration&) = delete;
    FaultTrapRegistration& operator=(const FaultTrapRegistration&) = delete;

private:
    FaultTrap trap_;
};

}  // namespace host::world
