// Requests the driver passes down and may have to take back: the asynchronous register requests
// of the media chains and of power-down, the packet-filter write and the keep-alive transfer.
// Each is recorded (a TrackedRequest) from just before IofCallDriver until its completion routine
// has begun, so that shutdown and halt can cancel what is still below and wait for it, and so
// that a request the device never answers is cancelled by the watchdog instead of stopping the
// adapter for good.
//
// Protocol of a completion routine: UntrackRequest first (it says who frees the IRP), the
// routine's own work, RequestCompleted last: after it the record may be gone.
#pragma once

#include "driver/frame/adapter_record.h"

// The watchdog ticks once a second while anything tracked is below and cancels a request that
// has been below for ten ticks: the synchronous requests' 10-second limit, for the asynchronous
// ones.
#define REQUEST_WATCHDOG_TICK_MS 1000u
#define REQUEST_WATCHDOG_TICKS 10u

// Records `Irp` as below in `Request`, counts its completion as outstanding and starts the
// watchdog. Call right before IofCallDriver (the completion may run inside the call). Up to
// DISPATCH_LEVEL, no lock held.
VOID TrackRequest(AdapterRecord* Adapter, TrackedRequest* Request, PIRP Irp);

// First thing of the completion routine of a tracked request. TRUE when the routine frees `Irp`
// itself; FALSE when a canceller is working on it and frees it once IoCancelIrp has returned.
BOOLEAN UntrackRequest(AdapterRecord* Adapter, TrackedRequest* Request, PIRP Irp);

// TRUE while `Request` has an IRP below. Up to DISPATCH_LEVEL, no lock held.
BOOLEAN RequestBelow(AdapterRecord* Adapter, TrackedRequest* Request);

// Last thing of the completion routine (and of a canceller): the record may be freed after it.
VOID RequestCompleted(AdapterRecord* Adapter);

// Cancels the request if it is still below and no one else is cancelling it. Up to
// DISPATCH_LEVEL, no lock held. The completion may run inside the call or later.
VOID CancelTrackedRequest(AdapterRecord* Adapter, TrackedRequest* Request);

// Cancels every register request still below / every tracked request still below.
VOID CancelRegisterRequests(AdapterRecord* Adapter);
VOID CancelAllRequests(AdapterRecord* Adapter);

// Passive level: sleeps 1 ms at a time until no register request is below (respectively no
// tracked completion or canceller is outstanding), at most `LimitMs` sleeps. 1 done, 2 not.
ULONG WaitRegisterRequestsDone(AdapterRecord* Adapter, ULONG LimitMs);
ULONG WaitRequestsDone(AdapterRecord* Adapter, ULONG LimitMs);

// Handler of RequestWatchdogTimer (DISPATCH_LEVEL).
VOID NTAPI OnRequestWatchdog(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                             PVOID SystemSpecific3);
