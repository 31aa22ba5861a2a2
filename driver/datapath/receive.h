// The receive path: exactly one 1536-byte bulk-in read outstanding while the adapter runs. A
// completed read holds at most one frame and a trailer whose byte n-2 is the receive status. A
// good frame's descriptor goes to RxReadyList, the next read starts at once on another idle
// descriptor, and the frames are indicated from ReceiveTimer, one packet per call, with status
// NDIS_STATUS_RESOURCES so the packet is the driver's again when the call returns.
//
// RxLock guards RxFreeList and RxReadyList; it is never held across IofCallDriver or an
// indication.
#pragma once

#include "driver/datapath/descriptors.h"

#define RECEIVE_STATUS_ERRORS 0x1E
#define RECEIVE_TRAILER_BYTES 8u

// 1 when the read was passed down and is pending, 2 otherwise.
ULONG SubmitBulkIn(AdapterRecord* Adapter, PacketDescriptor* Descriptor);
NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
ULONG QueueReceivedFrame(AdapterRecord* Adapter, PacketDescriptor* Descriptor);
// ReceiveTimer handler.
VOID NTAPI IndicateReceivedFrames(PVOID SystemSpecific1, PVOID FunctionContext,
                                  PVOID SystemSpecific2, PVOID SystemSpecific3);
