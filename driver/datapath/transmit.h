// The transmit path: each packet copied behind a 2-byte length prefix into a transmit
// descriptor's buffer and sent as one bulk-out transfer.
#pragma once

#include "driver/datapath/descriptors.h"

NDIS_STATUS MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
