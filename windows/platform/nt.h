// The kernel declarations of the Windows image: the DDK's own (ntddk.h, from MinGW-w64, with the
// header faults that windows/ddk.cmake mends). The driver reaches them through the same name as
// the host's declarations, so its code cannot tell the two apart.
#pragma once

#include <ntddk.h>

// Code placement: "INIT" is discarded once the driver has loaded, "PAGE" may be paged out.
#define CODE_SEGMENT(name) __attribute__((section(name)))

// Where the emulated world may switch processors at an unlocked shared-field access; nothing
// here.
#define SHARED_ACCESS_POINT(field) ((void)0)
