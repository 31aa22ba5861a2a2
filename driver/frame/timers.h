// The one place the adapter's timers are armed, and the count of their routines running. Each
// is an NDIS miniport timer (ReceiveTimer, MediaDelayTimer, LinkPollTimer, KeepAliveTimer,
// RequestWatchdogTimer): one-shot, its handler run once at DISPATCH_LEVEL with the record as
// context; arming an armed timer moves its due time. NdisMSetTimer is the routine NDIS documents
// for miniport timers (its NdisSetTimer takes the protocol-side NDIS_TIMER).
#pragma once

#include "driver/frame/adapter_record.h"
#include "driver/frame/atomic.h"

// Once halt has closed the timers nothing arms one again: halt's last cancel is final.
inline VOID ArmTimer(AdapterRecord* Adapter, PNDIS_MINIPORT_TIMER Timer, UINT Milliseconds) {
    if (ReadShared(Adapter->TimersClosed) != 0) return;
    NdisMSetTimer(Timer, Milliseconds);
}

// Counts a timer routine in for its whole run (RoutinesRunning): the first thing a routine does
// and, when the scope ends, its last touch of the record.
class TimerRoutineScope {
public:
    explicit TimerRoutineScope(AdapterRecord* Adapter) : Adapter_(Adapter) {
        InterlockedIncrement(&Adapter_->RoutinesRunning);
    }
    ~TimerRoutineScope() { InterlockedDecrement(&Adapter_->RoutinesRunning); }
    TimerRoutineScope(const TimerRoutineScope&) = delete;
    TimerRoutineScope& operator=(const TimerRoutineScope&) = delete;

private:
    AdapterRecord* Adapter_;
};
