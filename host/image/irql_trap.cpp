#include "host/image/irql_trap.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstring>

#include "driver/platform/nt.h"
#include "host/image/image_driver.h"
#include "host/kernel/kernel.h"
#include "host/world/crash_guard.h"
#include "host/world/current.h"
#include "host/world/world.h"

namespace host::image {

namespace {

std::atomic<uint64_t> g_reads{0};
std::atomic<uint64_t> g_writes{0};
#if defined(__x86_64__)
// The DDK's inline KeRaiseIrql reads the register and then writes it; KeLowerIrql only writes.
// Nothing runs between the two accesses of one raise, so a write right after a read is a raise.
bool g_readBefore = false;
#endif

}  // namespace

IrqlTrapCounts IrqlTraps() { return IrqlTrapCounts{g_reads.load(), g_writes.load()}; }

}  // namespace host::image

#if defined(__x86_64__)

// Called by the trampoline, on the image's own stack and context, with the IRQL the image wrote
// and whether it read the register just before (a raise). A raise or a lower as the host build's
// KeRaiseIrql and KeLowerIrql make them.
// Kept by name (used): only the trampoline's assembly calls it.
extern "C" [[gnu::used]] void NicsimWriteIrql(uint64_t level, uint64_t raise) {
    const auto irql = static_cast<KIRQL>(level & 0xF);
    if (raise != 0) KfRaiseIrql(irql);
    else KfLowerIrql(irql);
}

// The trampoline a trapped `mov cr8, reg` resumes in. The handler leaves on the image's stack the
// level written, with bit 63 set for a raise ([rsp]), above the address of the instruction after
// the write ([rsp+8]). Every
// register the C++ call may change is kept (the image's code around an inline mov expects all of
// them intact), the stack is aligned for the call, and the trampoline returns to that address
// with the level popped.
asm(R"(
    .text
    .globl nicsim_irql_write_trampoline
    .type nicsim_irql_write_trampoline, @function
nicsim_irql_write_trampoline:
    pushfq
    push %rax
    push %rcx
    push %rdx
    push %rsi
    push %rdi
    push %r8
    push %r9
    push %r10
    push %r11
    push %rbp
    mov %rsp, %rbp
    and $-16, %rsp
    sub $256, %rsp
    movdqu %xmm0, 0(%rsp)
    movdqu %xmm1, 16(%rsp)
    movdqu %xmm2, 32(%rsp)
    movdqu %xmm3, 48(%rsp)
    movdqu %xmm4, 64(%rsp)
    movdqu %xmm5, 80(%rsp)
    movdqu %xmm6, 96(%rsp)
    movdqu %xmm7, 112(%rsp)
    movdqu %xmm8, 128(%rsp)
    movdqu %xmm9, 144(%rsp)
    movdqu %xmm10, 160(%rsp)
    movdqu %xmm11, 176(%rsp)
    movdqu %xmm12, 192(%rsp)
    movdqu %xmm13, 208(%rsp)
    movdqu %xmm14, 224(%rsp)
    movdqu %xmm15, 240(%rsp)
    mov 88(%rbp), %rdi
    mov %rdi, %rsi
    shr $63, %rsi
    cld
    call NicsimWriteIrql
    movdqu 0(%rsp), %xmm0
    movdqu 16(%rsp), %xmm1
    movdqu 32(%rsp), %xmm2
    movdqu 48(%rsp), %xmm3
    movdqu 64(%rsp), %xmm4
    movdqu 80(%rsp), %xmm5
    movdqu 96(%rsp), %xmm6
    movdqu 112(%rsp), %xmm7
    movdqu 128(%rsp), %xmm8
    movdqu 144(%rsp), %xmm9
    movdqu 160(%rsp), %xmm10
    movdqu 176(%rsp), %xmm11
    movdqu 192(%rsp), %xmm12
    movdqu 208(%rsp), %xmm13
    movdqu 224(%rsp), %xmm14
    movdqu 240(%rsp), %xmm15
    mov %rbp, %rsp
    pop %rbp
    pop %r11
    pop %r10
    pop %r9
    pop %r8
    pop %rdi
    pop %rsi
    pop %rdx
    pop %rcx
    pop %rax
    popfq
    lea 8(%rsp), %rsp
    ret
    .size nicsim_irql_write_trampoline, .-nicsim_irql_write_trampoline
)");

extern "C" void nicsim_irql_write_trampoline();

namespace host::image {

namespace {

// The general registers by their encoding (rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8..r15) as
// the kernel saves them in the signal context.
constexpr int kGregOf[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                             REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// `mov reg, cr8` is [REX with R] 0F 20 /r and `mov cr8, reg` [REX with R] 0F 22 /r, the ModRM byte
// naming the register (mod 11, reg 000 with REX.R: CR8). Four bytes each.
bool TrapIrqlAccess(int signal, siginfo_t* info, ucontext_t* context) {
    (void)info;
    if (signal != SIGSEGV) return false;
    world::World* world = world::CurrentOrNull();
    if (world == nullptr || world->Image() == nullptr) return false;
    greg_t* regs = context->uc_mcontext.gregs;
    auto* pc = reinterpret_cast<const uint8_t*>(regs[REG_RIP]);
    if (!world->Image()->IsCode(pc)) return false;
    const uint8_t rex = pc[0];
    if ((rex & 0xF4) != 0x44) return false;  // a REX prefix with R set, W clear
    if (pc[1] != 0x0F || (pc[2] != 0x20 && pc[2] != 0x22)) return false;
    const uint8_t modrm = pc[3];
    if ((modrm & 0xF8) != 0xC0) return false;  // mod 11, CR8
    const int reg = (modrm & 7) | ((rex & 1) << 3);
    const greg_t next = regs[REG_RIP] + 4;
    if (pc[2] == 0x20) {
        regs[kGregOf[reg]] = world->Kernel().CurrentIrql();
        regs[REG_RIP] = next;
        g_readBefore = true;
        g_reads.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    // The image's stack has no red zone (Microsoft x64 convention): below its pointer is free.
    auto* sp = reinterpret_cast<uint64_t*>(regs[REG_RSP]);
    sp[-1] = static_cast<uint64_t>(next);
    sp[-2] = (static_cast<uint64_t>(regs[kGregOf[reg]]) & 0xF) | (uint64_t{g_readBefore} << 63);
    g_readBefore = false;
    regs[REG_RSP] = reinterpret_cast<greg_t>(sp - 2);
    regs[REG_RIP] = reinterpret_cast<greg_t>(&nicsim_irql_write_trampoline);
    g_writes.fetch_add(1, std::memory_order_relaxed);
    return true;
}

}  // namespace

void InstallIrqlTrap() {
    static const world::FaultTrapRegistration registration(&TrapIrqlAccess);
    (void)registration;
}

}  // namespace host::image

#else

namespace host::image {

void InstallIrqlTrap() {}

}  // namespace host::image

#endif
