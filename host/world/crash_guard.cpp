#include "host/world/crash_guard.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

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
struct sigaction g_previous[kSignalCount];
stack_t g_previousStack;
std::vector<char>* g_altStack = nullptr;
volatile sig_atomic_t g_ending = 0;
std::string* g_lastCrash = nullptr;

void Say(const char* text) {
    const ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

void OnFault(int sig, siginfo_t* info, void*) {
    if (g_ending != 0 || g_innermost == nullptr) {
        Say("nicsim: a second fault while ending a crashed run\n");
        _exit(1);
    }
    g_ending = 1;
    char text[96];
    const char* name = sigabbrev_np(sig);
    std::snprintf(text, sizeof text, "SIG%s at address %p", name != nullptr ? name : "?",
                  info != nullptr ? info->si_addr : nullptr);
    *g_lastCrash = text;
    // Named under the context it happened in, as every other violation of the world is.
    if (World* world = CurrentOrNull()) world->Kernel().Report(verifier::check::kCrash, text);
    g_innermost->epilogue();
    _exit(1);
}

}  // namespace

CrashGuard::CrashGuard(std::function<void()> epilogue) {
    auto* installed = new Installed{std::move(epilogue), g_innermost};
    if (g_innermost == nullptr) {
        if (g_altStack == nullptr) {
            g_altStack = new std::vector<char>(kAltStackBytes);
            g_lastCrash = new std::string;
        }
        stack_t stack{};
        stack.ss_sp = g_altStack->data();
        stack.ss_size = g_altStack->size();
        sigaltstack(&stack, &g_previousStack);
        struct sigaction action{};
        action.sa_sigaction = &OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
    }
    g_innermost = installed;
}

CrashGuard::~CrashGuard() {
    Installed* mine = g_innermost;
    g_innermost = mine->outer;
    delete mine;
    if (g_innermost == nullptr) {
        for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
        sigaltstack(&g_previousStack, nullptr);
    }
}

const std::string& CrashGuard::LastCrash() {
    static const std::string none;
    return g_lastCrash != nullptr ? *g_lastCrash : none;
}

}  // namespace host::world
