#include "host/world/crash_guard.h"

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/world/current.h"
#include "host/world/world.h"

namespace host::world {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
// The epilogue formats JSON and writes files on this stack.
constexpr size_t kAltStackBytes = 1u << 20;

struct Installed {
    std::function<void()> epilogue;
    Installed* outer;  // the guard this one nests in, restored when it ends
};

Installed* g_innermost = nullptr;
std::vector<FaultTrap>* g_traps = nullptr;
int g_users = 0;  // guards and trap registrations: the handler is installed while any lives
struct sigaction g_previous[kSignalCount];
stack_t g_previousStack;
// Mapped, not zeroed: its pages are touched only if a signal ever runs on it (zero-filling the
// megabyte cost every run a quarter of a millisecond in page faults).
void* g_altStack = nullptr;
volatile sig_atomic_t g_ending = 0;
std::string* g_lastCrash = nullptr;

void Say(const char* text) {
    const ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

// The faulting instruction's address, from the context the kernel saved.
const void* FaultPc(const ucontext_t* context) {
#if defined(__x86_64__)
    return reinterpret_cast<const void*>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return reinterpret_cast<const void*>(context->uc_mcontext.gregs[REG_EIP]);
#else
    (void)context;
    return nullptr;
#endif
}

void OnFault(int sig, siginfo_t* info, void* raw) {
    auto* context = static_cast<ucontext_t*>(raw);
    if (g_ending == 0 && g_traps != nullptr)
        for (auto it = g_traps->rbegin(); it != g_traps->rend(); ++it)
            if ((*it)(sig, info, context)) return;
    if (g_ending != 0 || g_innermost == nullptr) {
        Say(g_ending != 0 ? "nicsim: a second fault while ending a crashed run\n"
                          : "nicsim: a fault outside any run\n");
        _exit(1);
    }
    g_ending = 1;
    char text[96];
    const char* name = sigabbrev_np(sig);
    std::snprintf(text, sizeof text, "SIG%s at address %p", name != nullptr ? name : "?",
                  info != nullptr ? info->si_addr : nullptr);
    std::string detail = text;
    World* world = CurrentOrNull();
    bool discarded = false;
    if (world != nullptr) {
        const std::string where = world->DescribeCode(FaultPc(context), discarded);
        if (!where.empty()) detail += ", in " + where;
    }
    *g_lastCrash = detail;
    // Named under the context it happened in, as every other violation of the world is.
    if (world != nullptr)
        world->Kernel().Report(discarded ? verifier::check::kDiscardedCode : verifier::check::kCrash,
                               detail);
    g_innermost->epilogue();
    _exit(1);
}

void Install() {
    if (g_users++ > 0) return;
    if (g_altStack == nullptr) {
        g_altStack = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (g_altStack == MAP_FAILED) {
            Say("nicsim: no memory for the crash handler's stack\n");
            std::abort();
        }
        g_lastCrash = new std::string;
        g_traps = new std::vector<FaultTrap>;
    }
    stack_t stack{};
    stack.ss_sp = g_altStack;
    stack.ss_size = kAltStackBytes;
    sigaltstack(&stack, &g_previousStack);
    struct sigaction action{};
    action.sa_sigaction = &OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
}

void Uninstall() {
    if (--g_users > 0) return;
    for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
    sigaltstack(&g_previousStack, nullptr);
}

}  // namespace

CrashGuard::CrashGuard(std::function<void()> epilogue) {
    Install();
    g_innermost = new Installed{std::move(epilogue), g_innermost};
}

CrashGuard::~CrashGuard() {
    Installed* mine = g_innermost;
    g_innermost = mine->outer;
    delete mine;
    Uninstall();
}

const std::string& CrashGuard::LastCrash() {
    static const std::string none;
    return g_lastCrash != nullptr ? *g_lastCrash : none;
}

FaultTrapRegistration::FaultTrapRegistration(FaultTrap trap) : trap_(trap) {
    Install();
    g_traps->push_back(trap);
}

FaultTrapRegistration::~FaultTrapRegistration() {
    auto it = std::find(g_traps->rbegin(), g_traps->rend(), trap_);
    if (it != g_traps->rend()) g_traps->erase(std::next(it).base());
    Uninstall();
}

}  // namespace host::world
