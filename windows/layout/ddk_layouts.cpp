// The layouts of windows/layout/layouts.h, checked against the DDK's headers.
#include <stddef.h>

#include "platform/ndis.h"
#include "platform/usb.h"

#define LAYOUT(expression, x86, x64) \
    static_assert((expression) == (sizeof(void*) == 4 ? (x86) : (x64)), #expression);
#include "layout/layouts.h"
