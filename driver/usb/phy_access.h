// The PHY management port (registers 0x25..0x28): PHY address, data low, data high, and a
// command byte (0x40 + register read, 0x20 + register write; the device sets 0x80 when done).
// Synchronous operations for start-up, reset and discovery; asynchronous steps for the media
// chains, including the link-status read that confirms a clear link bit with a second read.
#pragma once

#include "driver/frame/adapter_record.h"

#define PHY_PORT 0x25
#define PHY_COMMAND_REGISTER 0x28
#define PHY_COMMAND_READ 0x40
#define PHY_COMMAND_WRITE 0x20
#define PHY_COMMAND_DONE 0x80
// Read-backs of the port before a synchronous PHY operation gives up on the done bit; a read
// that gives up, or whose requests fail or time out, yields 0xFFFF, the value of an address
// where nothing answers.
#define PHY_DONE_POLLS 100
#define PHY_DONE_POLL_US 100
#define PHY_NO_ANSWER 0xFFFF

#define PHY_CONTROL 0
#define PHY_STATUS 1
#define PHY_ID1 2
#define PHY_ID2 3
#define PHY_ADVERTISEMENT 4
#define PHY_PARTNER_ABILITY 5
#define PHY_STATUS_LINK 0x0004
#define PHY_STATUS_AUTONEG_COMPLETE 0x0020

// Synchronous: passive level only.
ULONG SelectPhy(AdapterRecord* Adapter, UCHAR PhyAddress);
VOID WritePhyRegister(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister, USHORT Value);
USHORT ReadPhyRegister(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister);

// Asynchronous steps (see the continuation convention in registers.h).
ULONG IssuePhyReadCommand(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister);
ULONG WritePhyRegisterAsync(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister,
                            USHORT Value);
// Runs `Next` with the register value in RegisterReadBuffer bytes 0 (low) and 1 (high).
ULONG ReadPhyRegisterAsync(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister,
                           Continuation Next);
// Runs `Next` with PHY register 1 in RegisterReadBuffer; a clear link bit is read twice.
ULONG ReadLinkStatusAsync(AdapterRecord* Adapter, UCHAR PhyAddress, Continuation Next);
ULONG ReadPhyDataStep(AdapterRecord* Adapter);
ULONG LinkStatusRecheckStep(AdapterRecord* Adapter);

inline USHORT ReadBufferWord(const AdapterRecord* Adapter) {
    return static_cast<USHORT>(Adapter->RegisterReadBuffer[0] |
                               (Adapter->RegisterReadBuffer[1] << 8));
}

// Whether a status register value shows link. 0xFFFF is what an address where nothing answers
// reads (and what a read that gave up yields): no PHY, no link.
inline BOOLEAN PhyStatusShowsLink(USHORT Status) {
    return Status != PHY_NO_ANSWER && (Status & PHY_STATUS_LINK) != 0;
}
