#include "host/sim/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host/sim/reuse.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NICSIM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define NICSIM_ASAN 1
#endif
// NICSIM_TSAN comes from the build: the tsan build instruments the driver, not this file.

#ifdef NICSIM_ASAN
#include <sanitizer/common_interface_defs.h>
#endif
#ifdef NICSIM_TSAN
#include <sanitizer/tsan_interface.h>
// ThreadSanitizer's dynamic annotation for memory that starts a new life; no header declares it.
extern "C" void AnnotateNewMemory(const char* file, int line, const volatile void* mem,
                                  size_t size);
#endif

namespace host::sim {

namespace {

// The switch is Boost.Context's fcontext: it saves and restores the callee-saved registers and
// the stack pointer and nothing else. swapcontext also saved and restored the signal mask, a
// system call per switch, and nothing here changes the mask on a fiber.
namespace fc = boost::context::detail;

// Stacks are mapped once and reused: a run starts many short contexts. Each has a guard page
// below it, so an overflow faults instead of writing over a neighbour.
//
// In the tsan build a stack keeps the sanitizer's context of the fiber that ran on it: creating
// one costs the runtime the best part of a megabyte, mapped, cleared and unmapped, and a run
// starts tens of thousands. A later fiber runs in the same context, which carries the history of
// the earlier one: that is only true once everything the earlier fiber did happens before
// whatever starts a fiber now (the caller says when: EndedFibersOrdered). Until then an ended
// fiber's stack waits apart.
class StackPool {
public:
    struct Slot {
        void* mapping = nullptr;
        void* tsanFiber = nullptr;  // the context that ran on it last; tsan build only
    };

    ~StackPool() {
        for (const Slot& slot : free_) munmap(slot.mapping, Mapping());
        for (const Slot& slot : ended_) munmap(slot.mapping, Mapping());
    }
    Slot Take() {
        if (!free_.empty()) {
            Slot slot = free_.back();
            free_.pop_back();
            return slot;
        }
        void* base = mmap(nullptr, Mapping(), PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) {
            std::fprintf(stderr, "no memory for a fiber stack\n");
            std::abort();
        }
        mprotect(base, Page(), PROT_NONE);
        return Slot{base, nullptr};
    }
    // The stack of a fiber whose body returned.
    void GiveEnded(Slot slot) {
#ifdef NICSIM_TSAN
        ended_.push_back(slot);
#else
        free_.push_back(slot);
#endif
    }
    // The stack of a fiber abandoned before its body returned: its context goes with it.
    void GiveAbandoned(Slot slot) {
#ifdef NICSIM_TSAN
        __tsan_destroy_fiber(slot.tsanFiber);
        slot.tsanFiber = nullptr;
        // The next context on this stack is another thread to the sanitizer, and must not meet
        // the abandoned fiber's frames at the same addresses.
        AnnotateNewMemory(__FILE__, __LINE__, static_cast<char*>(slot.mapping) + Page(),
                          Fiber::kStackBytes);
#endif
        free_.push_back(slot);
    }
    void EndedOrdered() {
        if (ended_.empty()) return;  // always, but in the tsan build
        free_.insert(free_.end(), ended_.begin(), ended_.end());
        ended_.clear();
    }
    static size_t Page() {
        static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        return page;
    }
    static size_t Mapping() { return Fiber::kStackBytes + Page(); }

private:
    std::vector<Slot> free_;
    std::vector<Slot> ended_;  // not yet known to be ordered before what starts now
};

thread_local StackPool t_stacks;
thread_local Fiber* t_current = nullptr;

}  // namespace

struct Fiber::Impl {
    // Where each side continues: `self` while the fiber is suspended (and, before its first
    // Resume, its entry), `resumer` while the fiber runs. Each jump hands back the context of the
    // side it left, which is where the other side continues next time.
    fc::fcontext_t self = nullptr;
    fc::fcontext_t resumer = nullptr;
    void* mapping = nullptr;
    void* stackBottom = nullptr;  // lowest usable address
    size_t stackSize = Fiber::kStackBytes;
    Fiber* outer = nullptr;  // the fiber current before Resume (none: the thread's stack)
#ifdef NICSIM_ASAN
    void* fakeStack = nullptr;        // the fiber's own, while it is suspended
    void* resumerFakeStack = nullptr;  // the resumer's, while the fiber runs
    const void* resumerBottom = nullptr;
    size_t resumerSize = 0;
#endif
#ifdef NICSIM_TSAN
    void* tsanFiber = nullptr;
    void* tsanResumer = nullptr;
#endif
};

Fiber::Fiber(Callback body, const std::string& name)
    : body_(std::move(body)), impl_(std::make_unique<Impl>()) {
    (void)name;
    const StackPool::Slot slot = t_stacks.Take();
    impl_->mapping = slot.mapping;
    impl_->stackBottom = static_cast<char*>(impl_->mapping) + StackPool::Page();
    // The stack grows down from its top; Entry receives this fiber at the first jump.
    impl_->self = fc::make_fcontext(static_cast<char*>(impl_->stackBottom) + impl_->stackSize,
                                    impl_->stackSize, &Fiber::Entry);
#ifdef NICSIM_TSAN
    impl_->tsanFiber = slot.tsanFiber != nullptr ? slot.tsanFiber : __tsan_create_fiber(0);
    if (!name.empty()) __tsan_set_fiber_name(impl_->tsanFiber, name.c_str());
    // What the creator did before happens before the fiber's first step (Entry acquires). A new
    // context gets that from its creation too; one that served an earlier fiber does not.
    __tsan_release(impl_.get());
#endif
}

void Fiber::Rewind() {
    if (!kReuseMemory || !ended_) {
        std::fprintf(stderr, "Fiber::Rewind of a fiber that %s\n",
                     ended_ ? "the sanitizers still watch" : "has not ended");
        std::abort();
    }
    // The ended body waits in Entry's loop: the next Resume runs it again from there.
    ended_ = false;
}

Fiber::~Fiber() {
    StackPool::Slot slot;
    slot.mapping = impl_->mapping;
#ifdef NICSIM_TSAN
    slot.tsanFiber = impl_->tsanFiber;
#endif
    if (ended_)
        t_stacks.GiveEnded(slot);
    else
        t_stacks.GiveAbandoned(slot);
}

void Fiber::EndedFibersOrdered() { t_stacks.EndedOrdered(); }

bool Fiber::Rewinds() { return kReuseMemory; }

Fiber* Fiber::Current() { return t_current; }

void Fiber::Entry(fc::transfer_t from) {
    auto* fiber = static_cast<Fiber*>(from.data);
    Impl& impl = *fiber->impl_;
    impl.resumer = from.fctx;
#ifdef NICSIM_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &impl.resumerBottom, &impl.resumerSize);
#endif
#ifdef NICSIM_TSAN
    __tsan_acquire(&impl);
#endif
    if constexpr (kReuseMemory) {
        // A fiber that may be rewound keeps its first frame: each run of the body ends in a
        // switch back like a suspension, and Rewind's next Resume starts the body here again.
        // No sanitizer watches these builds, so the end needs no announcement.
        for (;;) {
            fiber->body_();
            fiber->ended_ = true;
            t_current = impl.outer;
            impl.resumer = fc::jump_fcontext(impl.resumer, nullptr).fctx;
        }
    }
    fiber->body_();
    fiber->ended_ = true;
    // The last switch: the stack is not used again until another fiber takes it.
#ifdef NICSIM_ASAN
    __sanitizer_start_switch_fiber(nullptr, impl.resumerBottom, impl.resumerSize);
#endif
#ifdef NICSIM_TSAN
    __tsan_switch_to_fiber(impl.tsanResumer, __tsan_switch_to_fiber_no_sync);
#endif
    t_current = impl.outer;
    fc::jump_fcontext(impl.resumer, nullptr);
    std::abort();  // never comes back
}

void Fiber::Resume() {
    if (ended_) return;
    Impl& impl = *impl_;
    impl.outer = t_current;
    t_current = this;
#ifdef NICSIM_TSAN
    impl.tsanResumer = __tsan_get_current_fiber();
    __tsan_switch_to_fiber(impl.tsanFiber, __tsan_switch_to_fiber_no_sync);
#endif
#ifdef NICSIM_ASAN
    __sanitizer_start_switch_fiber(&impl.resumerFakeStack, impl.stackBottom, impl.stackSize);
#endif
    impl.self = fc::jump_fcontext(impl.self, this).fctx;
#ifdef NICSIM_ASAN
    __sanitizer_finish_switch_fiber(impl.resumerFakeStack, nullptr, nullptr);
#endif
}

void Fiber::Suspend() {
    Impl& impl = *impl_;
#ifdef NICSIM_ASAN
    __sanitizer_start_switch_fiber(&impl.fakeStack, impl.resumerBottom, impl.resumerSize);
#endif
#ifdef NICSIM_TSAN
    __tsan_switch_to_fiber(impl.tsanResumer, __tsan_switch_to_fiber_no_sync);
#endif
    t_current = impl.outer;
    impl.resumer = fc::jump_fcontext(impl.resumer, nullptr).fctx;
#ifdef NICSIM_ASAN
    __sanitizer_finish_switch_fiber(impl.fakeStack, &impl.resumerBottom, &impl.resumerSize);
#endif
}

}  // namespace host::sim
