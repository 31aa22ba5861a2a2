#include "host/kernel/driver_call.h"

#if defined(__i386__)

#include <string>

#include "host/kernel/kernel.h"

// nicsim_call_stdcall(routine, words, count, leftBytes), cdecl. EBX, ESI, EDI and EBP are the
// caller's and are kept; EBX holds the stack pointer at the call across it (every x86 convention
// keeps EBX), EBP the frame, from which the stack pointer is put back whatever the routine did to
// it. The routine is entered on a 16-byte aligned stack, as the System V i386 convention the
// world's own routines are compiled for asks (Windows code asks for 4).
asm(R"(
    .text
    .globl nicsim_call_stdcall
    .type nicsim_call_stdcall, @function
nicsim_call_stdcall:
    push %ebp
    mov %esp, %ebp
    push %ebx
    push %esi
    push %edi
    mov 16(%ebp), %ecx
    lea 0(,%ecx,4), %eax
    sub %eax, %esp
    and $-16, %esp
    mov %esp, %edi
    mov 12(%ebp), %esi
    cld
    rep movsl
    mov %esp, %ebx
    call *8(%ebp)
    mov 16(%ebp), %ecx
    lea (%ebx,%ecx,4), %ecx
    sub %esp, %ecx
    mov 20(%ebp), %esi
    mov %ecx, (%esi)
    lea -12(%ebp), %esp
    pop %edi
    pop %esi
    pop %ebx
    pop %ebp
    ret
    .size nicsim_call_stdcall, .-nicsim_call_stdcall
)");

namespace host::kernel {

void ReportUnbalancedCall(Kernel& kernel, std::string_view role, const void* routine,
                          uint32_t argumentBytes, int32_t leftBytes) {
    std::string where = kernel.DescribeCode(routine);
    if (where.empty()) where = "the world's own code";
    std::string what;
    if (leftBytes > 0 && static_cast<uint32_t>(leftBytes) == argumentBytes)
        what = "left all " + std::to_string(argumentBytes) +
               " bytes of its arguments on the stack: a __cdecl routine where NTAPI (__stdcall) is "
               "declared";
    else if (leftBytes > 0)
        what = "left " + std::to_string(leftBytes) + " of its " + std::to_string(argumentBytes) +
               " argument bytes on the stack (NTAPI, __stdcall, pops them all)";
    else
        what = "popped " + std::to_string(-leftBytes) + " bytes more than its " +
               std::to_string(argumentBytes) + " argument bytes";
    kernel.Report(verifier::check::kCallingConvention,
                  std::string(role) + " at " + where + " " + what);
}

}  // namespace host::kernel

#endif
