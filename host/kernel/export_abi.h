// The convention of the world's routines that the exported ones call on their common path.
//
// The exported routines keep the driver's convention (NTAPI: the Microsoft one on x86-64). There
// xmm6-xmm15, rsi and rdi are preserved across a call, and System V lets a callee clobber them:
// so a Microsoft-convention routine that calls any System V function, even on a path it rarely
// takes, saves and restores all twelve on every call, about 45 instructions. The world's routines
// that an export calls (lock bookkeeping, processor points, the reports of its rare faults) are
// declared in the Microsoft convention as well, with WORLD_ABI, so that an export's common path
// saves nothing; whoever calls them from System V code pays nothing for it. Elsewhere (x86) the
// attribute is not needed and is empty.
#pragma once

// WORLD_OUTLINE is for the ones that call System V code themselves (the C++ library, a
// report's text): kept out of line, so that their callers do not take the calls in with them.
#if defined(__x86_64__)
#define WORLD_ABI __attribute__((ms_abi))
#define WORLD_OUTLINE __attribute__((ms_abi, noinline))
#else
#define WORLD_ABI
#define WORLD_OUTLINE __attribute__((noinline))
#endif
