// The NDIS declarations of the Windows image: the DDK's ndis.h for an NDIS 5.0 miniport.
#pragma once

#define NDIS50_MINIPORT 1
#define NDIS_MINIPORT_DRIVER 1

#include "platform/nt.h"

#include <ndis.h>

// The DDK's counted string constant, with the literal's constness dropped as its C form does.
#ifndef NDIS_STRING_CONST
#define NDIS_STRING_CONST(x) \
    { sizeof(L##x) - sizeof(WCHAR), sizeof(L##x), const_cast<PWSTR>(L##x) }
#endif
