// Keep-alive frames for the phone-line PHY 0x20005C20: a fixed frame every fourth tick.
#pragma once

#include "driver/frame/adapter_record.h"

// KeepAliveTimer handler.
VOID KeepAliveTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                   PVOID SystemSpecific3);
