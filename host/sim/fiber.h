// A fiber: a body that runs on a stack of its own and hands control back and forth with the
// thread that started it, without an OS thread, so a seed still decides everything. The
// emulated processors run each execution context on one. Switches are announced to the
// sanitizers (AddressSanitizer's stack bookkeeping, ThreadSanitizer's per-fiber histories), so
// instrumented builds see each fiber as a thread of its own.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "host/sim/callback.h"

namespace boost::context::detail {
struct transfer_t;
}

namespace host::sim {

class Fiber {
public:
    // The body runs at the first Resume() (and again after each Rewind()); the fiber has ended
    // when it returns, and keeps the body until it is destroyed. A fiber that is destroyed
    // before its body ended is abandoned: nothing on its stack is unwound.
    explicit Fiber(Callback body, const std::string& name = {});
    ~Fiber();
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    // From the thread's own stack: runs the fiber until it suspends itself or its body ends.
    void Resume();
    // From inside the fiber: hands control back to whoever resumed it.
    void Suspend();
    bool Ended() const { return ended_; }
    // Makes an ended fiber run its body again from the start at its next Resume(), on the
    // stack it has: a steady stream of short contexts then maps, allocates and builds nothing.
    // Only where memory is reused (reuse.h): the sanitizers see a fiber's stack and context as
    // its own until its end is known to be ordered, so there every body gets a new fiber.
    void Rewind();
    // Whether this build rewinds fibers (Rewind may be called), as the fiber code was compiled:
    // a program that does not see the sanitizer build's definitions asks here, not reuse.h.
    static bool Rewinds();

    // The fiber running now on this thread, nullptr on the thread's own stack.
    static Fiber* Current();
    // Everything the fibers that ended so far did happens before whatever starts a fiber from now
    // on (their contexts' releases have been acquired on the thread's own stack). In the tsan
    // build their stacks, and the sanitizer's contexts kept with them, may then serve new fibers.
    static void EndedFibersOrdered();

    static constexpr size_t kStackBytes = 256 * 1024;

private:
    struct Impl;
    static void Entry(boost::context::detail::transfer_t from);

    Callback body_;
    std::unique_ptr<Impl> impl_;
    bool ended_ = false;
};

}  // namespace host::sim
