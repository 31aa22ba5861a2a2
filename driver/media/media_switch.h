// The media switch: after three link-down polls in a row in automatic media mode, the poll cycle
// tries to win the Ethernet link back at 100 Mb/s and, beside more than two PHYs, tries the phone
// line; from the phone line it tests whether the Ethernet PHY has link and moves there if so.
//
// Every step belongs to the poll cycle in flight (MediaBusy stays 1) and follows its contract
// (link_poll.h): DISPATCH_LEVEL, never waits, one asynchronous request or one MediaDelayTimer wait
// at a time, ending in FinishLinkPoll, RestartAutoPhy or UpdateMacControl1. It never arms the
// poll timer itself. A move is never started toward a PHY kind that was not recorded.
#pragma once

#include "driver/frame/adapter_record.h"

#define REGAIN_ETHERNET_WAIT_MS 1000u
#define PHONE_LINE_TEST_WAIT_MS 2000u
#define ETHERNET_TEST_SETTLE_MS 300u
#define ETHERNET_TEST_WAIT_MS 2000u

// Run by EvaluateLinkPoll when LinkDownPolls reaches 3.
ULONG DecideMediaSwitch(AdapterRecord* Adapter);

// From the Ethernet PHY: forced 100 Mb/s half duplex and a pulse of PHY register 16.
ULONG ForceEthernet100(AdapterRecord* Adapter);
ULONG SetEthernetRegister16(AdapterRecord* Adapter);
ULONG ClearEthernetRegister16(AdapterRecord* Adapter);
ULONG RecheckEthernetLink(AdapterRecord* Adapter);
ULONG RecheckEthernetLinkAgain(AdapterRecord* Adapter);
ULONG CheckEthernetRegained(AdapterRecord* Adapter);
// Then, beside more than two PHYs, the phone line.
ULONG StartPhoneLineTest(AdapterRecord* Adapter);
ULONG ReadPhoneLineLink(AdapterRecord* Adapter);
ULONG CheckPhoneLineLink(AdapterRecord* Adapter);

// From the phone-line PHY (or any active PHY that is not the Ethernet PHY): back to Ethernet.
ULONG PrepareEthernetTest(AdapterRecord* Adapter);
ULONG RestartForEthernetTest(AdapterRecord* Adapter);
ULONG ReadEthernetLink(AdapterRecord* Adapter);
ULONG CheckEthernetLink(AdapterRecord* Adapter);
