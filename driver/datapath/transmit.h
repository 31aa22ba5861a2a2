// The transmit path. Each packet is copied behind a 2-byte length prefix into a free transmit
// descriptor's buffer and sent as one bulk-out transfer; the packet is completed to NDIS at once.
// Only one send-path transfer is at the USB stack at a time: the others wait, in order, in
// PendingTxIrps and are passed down by the completion of the one before.
//
// Locks: TxLock guards TxFreeList; BulkOutLock (taken at DISPATCH_LEVEL) guards the pass-down-or-
// queue decision and BulkOutOutstanding; PendingIrpLock is taken inside the interlocked list
// calls under BulkOutLock, the only nesting. No lock is held across IofCallDriver.
#pragma once

#include "driver/datapath/descriptors.h"

// Largest frame the driver sends: the maximum total size it reports to NDIS.
#define MAX_FRAME_LENGTH 1514u

// One bulk-out IRP waiting for the transfer before it.
struct PendingIrpEntry {
    LIST_ENTRY Links;
    PIRP Irp;
};

NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
// 1 = passed down or queued; 2 = failed, with *HandedOver telling whether the lower driver got
// the IRP (its completion then returns the descriptor).
ULONG SubmitBulkOut(AdapterRecord* Adapter, PacketDescriptor* Descriptor, BOOLEAN* HandedOver);
// Copies the packet in the descriptor's slot behind its length prefix; DataLength = N + 2.
ULONG CopyPacketToBuffer(AdapterRecord* Adapter, PacketDescriptor* Descriptor);
NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Puts a transmit descriptor back at the tail of TxFreeList.
ULONG ReturnTxDescriptor(AdapterRecord* Adapter, PacketDescriptor* Descriptor);
// The bulk-out transfer request of a descriptor, `Length` bytes of its buffer.
VOID BuildBulkOutUrb(AdapterRecord* Adapter, PacketDescriptor* Descriptor, ULONG Length);
// An IRP for the descriptor's request with `Routine` as its completion; null when none. The
// transfer counts in TransfersInFlight from here until its completion's TransferDone, or
// DiscardTransferIrp when it is never passed down.
PIRP AllocateTransferIrp(AdapterRecord* Adapter, PacketDescriptor* Descriptor,
                         PIO_COMPLETION_ROUTINE Routine);
VOID DiscardTransferIrp(AdapterRecord* Adapter, PIRP Irp);
// A transfer's completion is over: its very last touch of the record.
VOID TransferDone(AdapterRecord* Adapter);
// Power-down: the bulk-out pipe takes nothing more, and what is queued is ended here. A transfer
// already at the bus is left to the pipe abort that follows. Passive level.
VOID StopBulkOut(AdapterRecord* Adapter);
// A reset after shutdown: the pipe takes transfers again.
VOID ResumeBulkOut(AdapterRecord* Adapter);
