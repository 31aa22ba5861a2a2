#include "driver/datapath/transmit.h"

NDIS_STATUS MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags) {
    // Sending is not built yet: every packet is refused.
    (void)MiniportAdapterContext;
    (void)Packet;
    (void)Flags;
    return NDIS_STATUS_FAILURE;
}
