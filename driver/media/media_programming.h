// Media programming at every restart (start-up and every NDIS reset): the active PHY is reset and
// programmed from scratch, speed and duplex are settled from the partner's ability or the forced
// medium, the link is tested, and the registers that belong to the PHY's kind are written.
//
// Everything here except LookupForcedMedia and DecodePartnerAbility is synchronous: each PHY
// access waits for the device and each pause is a sleep, so it runs at PASSIVE_LEVEL only (inside
// RestartMedia). It takes no lock and uses RegisterWriteBuffer and the PHY port. The two lookups
// only compute and are also called by the link-poll continuations at DISPATCH_LEVEL.
#pragma once

#include "driver/frame/adapter_record.h"

// PHY control values written here.
#define PHY_CONTROL_RESET 0x8000
#define PHY_CONTROL_SPEED_100 0x2000
#define PHY_CONTROL_AUTO_RESTART 0x1200  // enable and restart auto-negotiation
// Advertisement: 100 full, 100 half, 10 full, 10 half and the IEEE 802.3 selector.
#define PHY_ADVERTISE_ALL 0x01E1
#define PHY_ADVERTISE_SELECTOR 0x0001
// Link-partner ability bits.
#define PHY_ABILITY_100_FULL 0x0100
#define PHY_ABILITY_100_HALF 0x0080
#define PHY_ABILITY_10_FULL 0x0040

// Vendor registers of the PHY kinds.
#define PHY_REGISTER_TUNING 0x10       // 0x6B90: bits 8..11 select the phone-line mode
#define PHY_REGISTER_TUNING_MASK 0x0F00
#define PHY_REGISTER_406210_MODE 0x1B  // 27
#define PHY_REGISTER_437410_MODE 0x17  // 23
#define PHY_REGISTER_5C20_LEVEL 0x19   // 25
#define PHY_REGISTER_5C20_PAGE 0x1F    // 31

// Device registers written for the PHY kinds.
#define PORT_BLOCK_REGISTER 0x7C
#define PORT_LINK_REGISTER 0x7F

// Pauses and bounds of the synchronous sequence.
#define PHY_RESET_POLLS 100
#define PHY_POLL_US 30000u
#define NEGOTIATION_POLLS 100
#define NEGOTIATION_SETTLE_US 100000u

// 1 when a medium was programmed; 2 when start-up found no usable medium (MediaChoiceMode 0),
// in which case no PHY is touched and LinkState is left as it was.
ULONG ProgramMediaAtReset(AdapterRecord* Adapter);
// PHY reset, full advertisement, restart of negotiation, the wait for it on an Ethernet PHY, and
// speed and duplex from the partner's ability. Always 1.
ULONG NegotiateAutomatic(AdapterRecord* Adapter);
// Forced medium: reset, advertisement (selector added), negotiation restart, status polls, then
// the forced control value.
VOID ProgramForcedMedia(AdapterRecord* Adapter, USHORT ControlValue, USHORT Advertisement);
// The forced-media row of MediaTypeSetting: sets SpeedCode and DuplexCode and gives the row's
// control value and advertisement (without the selector bit). 1 when a row applies; 2 when none
// does (automatic, or a value beyond the table on an Ethernet PHY), and nothing is changed.
// Any IRQL up to DISPATCH_LEVEL.
ULONG LookupForcedMedia(AdapterRecord* Adapter, USHORT* ControlValue, USHORT* Advertisement);
// Speed and duplex from the link partner's ability (PHY register 5). Any IRQL up to
// DISPATCH_LEVEL.
VOID DecodePartnerAbility(AdapterRecord* Adapter, USHORT Ability);
// 1 once the active PHY reports negotiation complete, 2 after 100 polls without it.
ULONG WaitNegotiationComplete(AdapterRecord* Adapter);
// Settles KeepAliveEnabled and writes what the active PHY's kind needs.
VOID ProgramPhyKind(AdapterRecord* Adapter);
// Bits 8..11 of the 0x6B90 tuning register (PHY register 16) for a "HomeLan" value; values
// without a mode give 0, which clears them. Shared with the link poll's retuning.
USHORT PhoneLineTuningNibble(ULONG HomeLan);
// The phone-line mode of the phone-line PHYs, by HomeLanSetting.
VOID TunePhoneLinePhy(AdapterRecord* Adapter);
// Registers 0x7C..0x7F for PHY 0x225410, from LinkState and SpeedCode.
VOID WritePortRegisters4(AdapterRecord* Adapter);
