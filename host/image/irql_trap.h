// The x64 DDK raises and lowers the IRQL inline: KeRaiseIrql and KeLowerIrql are `mov cr8, reg`
// and `mov reg, cr8`, privileged instructions that fault in a user process. The trap takes those
// faults when they come from the code of the driver image the current world runs, and
// - for a read, loads the register with the current context's IRQL and steps over;
// - for a write, sends the image through a small trampoline that calls the world's own raise or
//   lower (KfRaiseIrql or KfLowerIrql by the direction of the change, so the verifier's checks and
//   the preemption points of the host build happen here too) with every register kept, and then
//   returns to the instruction after the write.
// The signal handler itself neither switches processors nor touches the kernel model beyond
// reading the IRQL. On x86 the image calls KfRaiseIrql and KfLowerIrql: there is nothing to trap.
#pragma once

#include <cstdint>

namespace host::image {

// Installs the trap for the rest of the process (once; later calls do nothing).
void InstallIrqlTrap();

// Accesses taken since the process started: reads and writes of the IRQL register.
struct IrqlTrapCounts {
    uint64_t reads = 0;
    uint64_t writes = 0;
};
IrqlTrapCounts IrqlTraps();

}  // namespace host::image
