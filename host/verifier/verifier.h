// The verifier: records what a kernel would punish, each violation under a stable name. Any
// violation fails the test or run that produced it.
//
// It also counts the checks made, passed or not, so that a run can say how much it verified and
// not only what it caught. A check is one evaluation of one rule at one site: every site that may
// call Report calls Checked() each time it decides whether to, before it knows the answer.
// Examples: a spin-lock acquire makes three (its IRQL, recursion, nesting order), a release two
// (held at all, its IRQL), a raise or a lower one, each end of a handler's context two (locks
// still held, IRQL restored). The audits that run when an adapter is halted (or fails its
// initialise) count one per audit, not one per resource examined: a clean halt has nothing to
// examine and still verified that nothing was left. A search of the lock-order graph for a cycle
// counts one per new nesting edge searched. ThreadSanitizer (the tsan build) checks every access
// of the driver itself; its data-race findings are reported here, its checks are not counted. The
// count is a plain increment: it runs on every frame
// sent and received and must cost no more than that.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/trace/trace.h"

namespace host::verifier {

// Stable check names. They appear in traces and in test expectations; never rename one.
namespace check {
inline constexpr std::string_view kLeak = "leak";                        // resource alive at halt
inline constexpr std::string_view kFreeUnknown = "free-unknown";         // free of unknown memory
inline constexpr std::string_view kFreeLength = "free-length";           // free with wrong length
inline constexpr std::string_view kWaitAtDispatch = "wait-at-dispatch";  // blocking at >= DISPATCH
inline constexpr std::string_view kDeadlock = "deadlock";                // wait nothing can end
inline constexpr std::string_view kLockNotHeld = "lock-not-held";        // release of unheld lock
inline constexpr std::string_view kLockIrql = "lock-irql";               // lock call at wrong IRQL
inline constexpr std::string_view kLockRecursive = "lock-recursive";     // lock taken twice
inline constexpr std::string_view kLockOrder = "lock-order";             // forbidden nesting
inline constexpr std::string_view kLockAcrossCall = "lock-across-call";  // held over IofCallDriver
inline constexpr std::string_view kLockAcrossIndication = "lock-across-indication";
inline constexpr std::string_view kLockAtExit = "lock-at-exit";  // context ended holding a lock
inline constexpr std::string_view kIrqlAtExit = "irql-at-exit";  // context ended at another IRQL
inline constexpr std::string_view kIrqlDirection = "irql-direction";  // raise lower / lower higher
inline constexpr std::string_view kIrpDoubleFree = "irp-double-free";
inline constexpr std::string_view kIrpCompletionStatus = "irp-completion-status";
inline constexpr std::string_view kIrpDoubleComplete = "irp-double-complete";  // completed twice
inline constexpr std::string_view kIrpStack = "irp-stack";  // no stack location left
inline constexpr std::string_view kTimerArmedAtFree = "timer-armed-at-free";
inline constexpr std::string_view kRequestOutstandingAtFree = "request-outstanding-at-free";
inline constexpr std::string_view kTimerUninitialized = "timer-uninitialized";
inline constexpr std::string_view kSendCompleteForeign = "send-complete-foreign";
inline constexpr std::string_view kPoolBusyAtFree = "pool-busy-at-free";
inline constexpr std::string_view kOverrun = "overrun";  // a read past the end of a buffer
inline constexpr std::string_view kBadHandle = "bad-handle";  // unknown NDIS/USB handle
// A received packet's length as NdisQueryPacket tells it differs from the bytes its buffers hold
// or from the frame the bus put in its buffer.
inline constexpr std::string_view kReceiveLength = "receive-length";
inline constexpr std::string_view kReceiveRunt = "receive-runt";  // shorter than its header size
// NdisMIndicateReceivePacket before MiniportInitialize returned (NDIS drops the packets).
inline constexpr std::string_view kReceiveBeforeInit = "receive-before-init";
// ThreadSanitizer (tsan build) saw two contexts touch driver memory unordered, one of them writing.
inline constexpr std::string_view kDataRace = "data-race";
// NdisMoveMemory between overlapping ranges (the move is a plain block copy, as on Windows).
inline constexpr std::string_view kMoveOverlap = "move-overlap";
// A routine reached memory the driver had freed (a spin lock, field, timer, completion context
// or transfer buffer in its freed adapter record or descriptors).
inline constexpr std::string_view kUseAfterFree = "use-after-free";
// The code the world ran took a fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE): the run ends there.
inline constexpr std::string_view kCrash = "crash";
// Code of a driver image ran after its loader discarded it (INIT, once DriverEntry has returned).
inline constexpr std::string_view kDiscardedCode = "discarded-code";
// A routine the world called through an NTAPI pointer (a handler, timer or completion routine)
// returned with the stack pointer elsewhere than __stdcall leaves it (the 32-bit world only).
inline constexpr std::string_view kCallingConvention = "calling-convention";
}  // namespace check

struct Violation {
    uint64_t t_us;
    std::string check;
    std::string detail;
    std::string adapter;
};

class Verifier {
public:
    Verifier(trace::Trace& trace, std::function<uint64_t()> clock)
        : trace_(trace), clock_(std::move(clock)) {}

    void Report(std::string_view check, std::string detail, std::string_view adapter = {});

    // One more check made (see the top of this file); `n` for a site that evaluates several
    // rules at once. Checks() is the count since the verifier was made.
    void Checked(uint64_t n = 1) { checks_ += n; }
    uint64_t Checks() const { return checks_; }

    // Findings made where nothing may be allocated (ThreadSanitizer's report hook) wait in their
    // source; `pending` reports them, and runs before every look at the violations so that none
    // is missed. It must not look at the violations itself.
    void SetPending(std::function<void()> pending) { pending_ = std::move(pending); }

    const std::vector<Violation>& Violations() const {
        Pull();
        return violations_;
    }
    size_t Count() const {
        Pull();
        return violations_.size();
    }
    size_t Count(std::string_view check) const;
    std::string Describe() const;  // one line per violation, for failure messages

private:
    void Pull() const {
        if (pending_) pending_();
    }

    trace::Trace& trace_;
    std::function<uint64_t()> clock_;
    std::vector<Violation> violations_;
    std::function<void()> pending_;
    uint64_t checks_ = 0;
};

}  // namespace host::verifier
