// Device register access by vendor control request: 0xF0 reads a run of consecutive byte
// registers into RegisterReadBuffer, 0xF1 writes a run from RegisterWriteBuffer.
#pragma once

#include "driver/frame/adapter_record.h"

#define VENDOR_READ_REGISTERS 0xF0
#define VENDOR_WRITE_REGISTERS 0xF1

// The receive filter's registers: the multicast hash table (8 bytes) and the node address.
#define MULTICAST_HASH_REGISTER 0x08
#define NODE_ADDRESS_REGISTER 0x10

// Synchronous forms: passive level, 1 success, 2 failure (a time-out included).
ULONG ReadRegisters(AdapterRecord* Adapter, USHORT Count, USHORT Register);
ULONG WriteRegisters(AdapterRecord* Adapter, USHORT Count, USHORT Register);

// Asynchronous forms, callable at DISPATCH_LEVEL. The caller stores the routine to run next in
// NextStep first (and, for a chain, the step that ends it in ChainAbortStep); starting the request
// is the last thing its step does. The result is what IofCallDriver returned (normally
// STATUS_PENDING), or 2 when nothing was sent because no request slot, request block or IRP could
// be had (NextStep then does not run). Each request lives in a slot of its own
// (RegisterRequests) with its block, IRP and the continuations captured when it started;
// AsyncReadUrb and AsyncWriteUrb name the block of the latest read and write still below. The
// completion runs the captured NextStep whatever the outcome, except that a request cancelled
// (shutdown, halt, the watchdog) runs the captured ChainAbortStep when there is one.
ULONG ReadRegistersAsync(AdapterRecord* Adapter, USHORT Count, USHORT Register);
// `Data` (RegisterWriteBuffer or GpioWriteBuffer) must stay unchanged until the completion.
ULONG WriteRegistersAsync(AdapterRecord* Adapter, USHORT Count, USHORT Register, PVOID Data);
NTSTATUS NTAPI AsyncReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI AsyncWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
