// USB device configuration: device objects, descriptors, the one configuration with its three
// pipes (bulk-in, bulk-out, interrupt), and the pipe resets of the shutdown path.
#pragma once

#include "driver/frame/adapter_record.h"

#define CONFIGURATION_BUFFER_SIZE 255u
#define PIPE_MAX_TRANSFER 0x600u
#define PIPE_BULK_IN 0
#define PIPE_BULK_OUT 1
#define PIPE_INTERRUPT 2

ULONG ConfigureUsbDevice(AdapterRecord* Adapter);
// Aborts and resets the bulk-out pipe, then the bulk-in pipe; all four requests are sent
// whatever an earlier one gave. 1, or 2 when any of them failed (or no request block was had).
ULONG ResetBulkPipes(AdapterRecord* Adapter);
// Aborts the bulk-out pipe, then the bulk-in pipe, without resetting them: what halt sends again
// while a transfer is still below. 1, or 2 when either failed.
ULONG AbortBulkPipes(AdapterRecord* Adapter);
// Builds and sends the set-feature request (feature selector 0 at start-up, remote wake-up at
// shutdown); returns what SubmitUrbSync returned.
ULONG SendSetFeature(AdapterRecord* Adapter, USHORT FeatureSelector);

inline USBD_PIPE_HANDLE PipeHandle(AdapterRecord* Adapter, ULONG Pipe) {
    return Adapter->InterfaceInfo->Pipes[Pipe].PipeHandle;
}
