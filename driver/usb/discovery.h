// PHY discovery and the choice of the active medium at start-up: the general-purpose outputs are
// prepared, addresses 0..9 are probed, what answers is classified by identifier, and the PHY that
// carries traffic is chosen (by "MediaType" and a link test when both kinds are present); the one
// not chosen is powered down and isolated. Passive level, synchronous.
#pragma once

#include "driver/frame/adapter_record.h"

#define PHY_PROBE_ADDRESSES 10
#define PHY_POWER_DOWN_ISOLATE 0x0C00

// 1, or 2 when both kinds were found and, in automatic mode, neither had link.
ULONG DiscoverPhys(AdapterRecord* Adapter);
ULONG ScanPhys(AdapterRecord* Adapter);
ULONG FindPhoneLinePhy(AdapterRecord* Adapter);
ULONG FindEthernetPhy(AdapterRecord* Adapter);
ULONG IsolateSparePhy(AdapterRecord* Adapter);
ULONG ChooseSinglePhy(AdapterRecord* Adapter, ULONG EthernetResult, ULONG PhoneLineResult);
ULONG ChooseMedium(AdapterRecord* Adapter);
// 5 connected, 6 disconnected; a clear link bit is confirmed by a second read.
ULONG TestPhyLink(AdapterRecord* Adapter, UCHAR PhyAddress);
