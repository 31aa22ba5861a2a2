// Keep-alive frames for the phone-line PHY 0x20005C20: a fixed 32-byte frame on the bulk-out
// pipe every fourth tick of the 1-second KeepAliveTimer while the adapter runs. The frame travels
// in a transmit descriptor taken from TxFreeList under TxLock, but goes down at once, outside the
// send path's one-at-a-time rule: BulkOutLock, BulkOutOutstanding and PendingTxIrps are never
// involved, and nothing is reported to NDIS.
//
// The timer is set up at every initialise and armed only when KeepAliveEnabled was set then;
// from then on the tick re-arms itself, whatever PHY a later reset makes active, until shutdown
// cancels it.
#pragma once

#include "driver/datapath/descriptors.h"

#define KEEP_ALIVE_LENGTH 32u
#define KEEP_ALIVE_EVERY_TICKS 4u

// KeepAliveTimer handler. DISPATCH_LEVEL; takes TxLock briefly, never across IofCallDriver.
VOID NTAPI KeepAliveTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                         PVOID SystemSpecific3);
// Builds the frame in `Descriptor` and passes it down. 1 = pending at the lower driver with the
// adapter still running; 2 = failed, *HandedOver telling whether the lower driver got the IRP (its
// completion then returns the descriptor) or the caller still owns the descriptor.
ULONG SubmitKeepAlive(AdapterRecord* Adapter, PacketDescriptor* Descriptor, BOOLEAN* HandedOver);
// Frees the IRP and returns the descriptor to the tail of TxFreeList; the outcome is not counted.
NTSTATUS NTAPI KeepAliveComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
