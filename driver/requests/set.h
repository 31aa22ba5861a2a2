// Set information: packet filter, lookahead, multicast list and the power objects.
#pragma once

#include "driver/frame/adapter_record.h"

// Packet-filter bits this driver refuses (source routing, SMT, all local, group, all functional,
// functional, MAC frames). A filter carrying any of them is still stored.
#define REFUSED_PACKET_FILTER_BITS 0xF0D0u

// DISPATCH_LEVEL, no lock taken, never pends. Always writes both BytesRead and BytesNeeded. Only
// the packet filter reaches the device (through ApplyPacketFilter); the multicast list is stored
// in MulticastList and never written to the device, whose hash keeps every bucket open. A list
// of more addresses than MulticastList holds answers NDIS_STATUS_MULTICAST_FULL and leaves the
// stored list as it was.
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         PULONG BytesRead, PULONG BytesNeeded);
