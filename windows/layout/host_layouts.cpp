// The layouts of windows/layout/layouts.h, checked against the world's declarations
// (driver/platform/): the structures the world fills in for the driver's Windows image and reads
// back from it must have the DDK's layout on the machine the world runs on, x64 and, in a 32-bit
// build of the world, x86. Compiled into the world's own build, by the 32-bit check
// (tests/CMakeLists.txt, with -m32) and, for the Windows targets, by windows/CMakeLists.txt.
#include <stddef.h>

#include "driver/platform/ndis.h"
#include "driver/platform/usb.h"

// Structures the world does not declare yet are left out (layouts.h lists them apart).
#define LAYOUT_WORLD 1
#define LAYOUT(expression, x86, x64) \
    static_assert((expression) == (sizeof(void*) == 4 ? (x86) : (x64)), #expression);
#include "windows/layout/layouts.h"
