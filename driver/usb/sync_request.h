// SubmitUrbSync: the one synchronous way to send a URB. Builds an IRP for the next-lower device
// object, sends it and waits at most 10 seconds. Passive level only.
#pragma once

#include "driver/frame/adapter_record.h"

// 1 when the request was handed down and came back in time (its USB outcome is not examined),
// 2 when no IRP could be built, STATUS_IO_TIMEOUT when it had to be cancelled.
ULONG SubmitUrbSync(AdapterRecord* Adapter, PURB Urb);
