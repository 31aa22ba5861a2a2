// The least a process can be: no C library, no loader, one system call to exit. `measure.py
// process` starts it beside `true` and nicsim, so the table shows what the machine charges for a
// process before any program runs (exec, the page tables, exit): a start-up target below it
// cannot be shown on that machine.
extern "C" [[noreturn]] void _start() {
    asm volatile("mov $60, %%eax\n\txor %%edi, %%edi\n\tsyscall" ::: "rax", "rdi", "rcx", "r11",
                 "memory");
    __builtin_unreachable();
}
