// PHY power-down at shutdown: quiets the media side before the adapter is marked powered down.
// Each device write is an asynchronous register request turned into a bounded synchronous step:
// MediaBusy is set, ClearMediaBusy is the request's continuation, and the caller polls the flag
// in 1 ms sleeps. A link-poll cycle still in flight holds MediaBusy too and is waited for.
//
// PASSIVE_LEVEL only (the sequence sleeps); runs after the timers have been cancelled and before
// AdapterState becomes 14. Uses RegisterWriteBuffer, GpioWriteBuffer, NextStep and the PHY port.
#pragma once

#include "driver/frame/adapter_record.h"

// Bounds of the waits, in 1 ms sleeps.
#define MEDIA_IDLE_WAIT_MS 2000
#define LINK_GPIO_WAIT_MS 1000

// Always completes; at most about 15 s when every wait runs out.
VOID PowerDownPhysAtShutdown(AdapterRecord* Adapter);
// 1 when MediaBusy was seen clear before `LimitMs` sleeps of 1 ms, 2 when the limit ran out.
ULONG WaitMediaIdle(AdapterRecord* Adapter, USHORT LimitMs);
// Registers 0x7E/0x7F = 0x06, then 0x06 for LinkState 6 or 0x04 for 5, once the media side is
// idle. 1 done, 2 not done in time (nothing is written when the media side never went idle).
// MediaBusy is clear when it returns.
ULONG WriteLinkGpioAndWait(AdapterRecord* Adapter, ULONG LinkState);
