// Forced first into one driver source of a test-only image (windows/CMakeLists.txt,
// NICSIM_TEST_CDECL_SOURCE): the platform's declarations keep the DDK's conventions, and every
// NTAPI the source itself writes after them (its own callbacks: completion and timer routines,
// handlers) means __cdecl. Such a routine returns without popping its arguments; the world
// must catch that where it calls it, not crash later (tests: scripts/test-image-x86.sh).
#pragma once

#include "platform/ndis.h"
#include "platform/nt.h"
#include "platform/usb.h"

#undef NTAPI
#define NTAPI __cdecl
