// MAC mode registers 0..2 and the link indication: the reset pulse and initial mode written at
// every restart, MAC register 1 derived from speed and duplex, and the media connect and
// disconnect status indications.
#pragma once

#include "driver/frame/adapter_record.h"

#define MAC_CONTROL0_INITIAL 0xF9
#define MAC_CONTROL1_100MBPS 0x10
#define MAC_CONTROL1_FULL_DUPLEX 0x20

// Indicates LinkState to NDIS (connect for 5, disconnect for 6) and clears LinkChangePending;
// any other LinkState indicates nothing. Any IRQL up to DISPATCH_LEVEL.
VOID IndicateLinkState(AdapterRecord* Adapter);
VOID ComputeMacControl1(AdapterRecord* Adapter);
// ReceiveModeMask bits (from the NDIS packet filter).
#define RECEIVE_MODE_MULTICAST 0x01
#define RECEIVE_MODE_BROADCAST 0x02
#define RECEIVE_MODE_PROMISCUOUS 0x04
#define RECEIVE_MODE_ALL_MULTICAST 0x10

// Writes registers 0..2 for a receive mode; always answers 1. Callable at DISPATCH_LEVEL.
ULONG ApplyPacketFilter(AdapterRecord* Adapter, ULONG ReceiveModeMask);
// Passive level: synchronous register writes with pauses.
VOID PulseMacReset(AdapterRecord* Adapter);
VOID WriteInitialMacMode(AdapterRecord* Adapter);
