// The layouts of windows/layout/layouts.h, checked against the host's platform headers (those the
// emulated world implements), compiled for the same Windows target.
#include <stddef.h>

#include "driver/platform/ndis.h"
#include "driver/platform/usb.h"

#define LAYOUT(expression, x86, x64) \
    static_assert((expression) == (sizeof(void*) == 4 ? (x86) : (x64)), #expression);
#include "layout/layouts.h"
