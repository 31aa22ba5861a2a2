// The one place the adapter's timers are armed. Each is an NDIS miniport timer (ReceiveTimer,
// MediaDelayTimer, LinkPollTimer, KeepAliveTimer, RequestWatchdogTimer): one-shot, its handler
// run once at DISPATCH_LEVEL with the record as context; arming an armed timer moves its due
// time. NdisMSetTimer is the routine NDIS documents for miniport timers (its NdisSetTimer takes
// the protocol-side NDIS_TIMER).
#pragma once

#include "platform/ndis.h"

inline VOID ArmTimer(PNDIS_MINIPORT_TIMER Timer, UINT Milliseconds) {
    NdisMSetTimer(Timer, Milliseconds);
}
