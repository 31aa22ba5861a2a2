// The receive path: one bulk-in read outstanding while the adapter runs; frames indicated to
// NDIS from the receive timer.
#pragma once

#include "driver/datapath/descriptors.h"

// 1 when the read was passed down and is pending, 2 otherwise.
ULONG SubmitBulkIn(AdapterRecord* Adapter, PacketDescriptor* Descriptor);
// ReceiveTimer handler.
VOID IndicateReceivedFrames(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3);
