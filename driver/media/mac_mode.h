// MAC mode registers 0..2 and the link indication: the reset pulse and initial mode written at
// every restart, the receive mode that follows the NDIS packet filter, MAC register 1 derived from
// speed and duplex (and rewritten by the link poll when they change), and the media connect and
// disconnect status indications.
#pragma once

#include "driver/frame/adapter_record.h"

#define MAC_CONTROL0_INITIAL 0xF9
#define MAC_CONTROL0_ALL_MULTICAST 0x02
#define MAC_CONTROL1_100MBPS 0x10
#define MAC_CONTROL1_FULL_DUPLEX 0x20
#define MAC_CONTROL1_RESET_PULSE 0x08
#define MAC_CONTROL2_RECEIVE 0x02
#define MAC_CONTROL2_PROMISCUOUS 0x04

// Indicates LinkState to NDIS (connect for 5, disconnect for 6) and clears LinkChangePending;
// any other LinkState indicates nothing. Any IRQL up to DISPATCH_LEVEL.
VOID IndicateLinkState(AdapterRecord* Adapter);
// MacControl1 from ActivePhyId, SpeedCode and DuplexCode. Any IRQL; only computes.
VOID ComputeMacControl1(AdapterRecord* Adapter);

// ReceiveModeMask bits (from the NDIS packet filter).
#define RECEIVE_MODE_MULTICAST 0x01
#define RECEIVE_MODE_BROADCAST 0x02
#define RECEIVE_MODE_PROMISCUOUS 0x04
#define RECEIVE_MODE_ALL_MULTICAST 0x10

// Sets registers 0..2 for a receive mode; always answers 1 at once. Callable at DISPATCH_LEVEL:
// the three bytes go out in one asynchronous write of the filter's own (FilterWriteBuffer,
// FilterWriteUrb), never through RegisterWriteBuffer or the media chain's request blocks. While
// a filter write is in flight the newest bytes wait in FilterStagedBuffer, replacing any that
// were waiting, and are sent when it completes.
ULONG ApplyPacketFilter(AdapterRecord* Adapter, ULONG ReceiveModeMask);
NTSTATUS NTAPI PacketFilterWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// TRUE while a packet-filter write is in flight or waiting to be sent. Halt must not free the
// record before this is FALSE. Any IRQL up to DISPATCH_LEVEL; takes FilterWriteLock.
BOOLEAN PacketFilterWritePending(AdapterRecord* Adapter);

// Passive level: synchronous register writes with pauses.
VOID PulseMacReset(AdapterRecord* Adapter);
VOID WriteInitialMacMode(AdapterRecord* Adapter);

// Link-poll continuations (DISPATCH_LEVEL, never wait; the chain owns NextStep and
// RegisterWriteBuffer). UpdateMacControl1 recomputes MacControl1 and, when it changed, writes
// registers 1 and 2 (MacControl1, and register 2 as the last filter applied has it)
// asynchronously before SelectMediaPath runs; unchanged, it runs SelectMediaPath at once.
// ApplyPartnerAbility decodes PHY register 5 just read into RegisterReadBuffer into SpeedCode and
// DuplexCode, then runs UpdateMacControl1.
ULONG UpdateMacControl1(AdapterRecord* Adapter);
ULONG ApplyPartnerAbility(AdapterRecord* Adapter);
