#include "driver/media/media_switch.h"

#include "driver/frame/atomic.h"
#include "driver/media/link_poll.h"
#include "driver/media/mac_mode.h"
#include "driver/media/media_programming.h"
#include "driver/usb/phy_access.h"
#include "driver/usb/registers.h"

namespace {

// Valid only once PhyIndexValid has vouched for the index.
UCHAR EthernetAddress(const AdapterRecord* Adapter) {
    return Adapter->PhyAddressTable[Adapter->EthernetPhyIndex];
}

UCHAR PhoneLineAddress(const AdapterRecord* Adapter) {
    return Adapter->PhyAddressTable[Adapter->PhoneLinePhyIndex];
}

BOOLEAN LinkBitSet(const AdapterRecord* Adapter) {
    return PhyStatusShowsLink(ReadBufferWord(Adapter));
}

}  // namespace

ULONG DecideMediaSwitch(AdapterRecord* Adapter) {
    if (Adapter->MediaTypeSetting != 0) return FinishLinkPoll(Adapter);
    if (Adapter->PhyCount == 1 && ActiveIsPhoneLinePhy(Adapter)) return FinishLinkPoll(Adapter);
    if (ActiveIsEthernetPhy(Adapter)) return ForceEthernet100(Adapter);
    // A move toward a PHY that was never recorded is not started: an index of 255 addresses
    // nothing in the PHY tables.
    if (!PhyIndexValid(Adapter, Adapter->EthernetPhyIndex)) return FinishLinkPoll(Adapter);
    return PrepareEthernetTest(Adapter);
}

ULONG ForceEthernet100(AdapterRecord* Adapter) {
    Adapter->NextStep = SetEthernetRegister16;
    return EndCycleUnlessStarted(
        Adapter, WritePhyRegisterAsync(Adapter, Adapter->ActivePhyAddress, PHY_CONTROL,
                                       PHY_CONTROL_SPEED_100));
}

ULONG SetEthernetRegister16(AdapterRecord* Adapter) {
    Adapter->NextStep = ClearEthernetRegister16;
    return EndCycleUnlessStarted(
        Adapter, WritePhyRegisterAsync(Adapter, Adapter->ActivePhyAddress, PHY_REGISTER_TUNING,
                                       0x2000));
}

ULONG ClearEthernetRegister16(AdapterRecord* Adapter) {
    return WritePhyThenWait(Adapter, Adapter->ActivePhyAddress, PHY_REGISTER_TUNING, 0x0000,
                            REGAIN_ETHERNET_WAIT_MS, RecheckEthernetLink);
}

ULONG RecheckEthernetLink(AdapterRecord* Adapter) {
    return EndCycleUnlessStarted(
        Adapter, ReadLinkStatusAsync(Adapter, Adapter->ActivePhyAddress, RecheckEthernetLinkAgain));
}

ULONG RecheckEthernetLinkAgain(AdapterRecord* Adapter) {
    return EndCycleUnlessStarted(
        Adapter, ReadLinkStatusAsync(Adapter, Adapter->ActivePhyAddress, CheckEthernetRegained));
}

ULONG CheckEthernetRegained(AdapterRecord* Adapter) {
    if (LinkBitSet(Adapter)) {
        // Regained at the forced speed: 100 Mb/s half duplex, reported at the end of this cycle.
        WriteShared(Adapter->SpeedCode, SPEED_100);
        WriteShared(Adapter->DuplexCode, DUPLEX_HALF);
        WriteShared(Adapter->LinkState, LINK_CONNECTED);
        WriteShared(Adapter->IndicatedLinkState, LINK_CONNECTED);
        WriteShared(Adapter->LinkChangePending, 1);
        return UpdateMacControl1(Adapter);
    }
    // The phone line is tried only beside more than two PHYs, and only when one was recorded:
    // the Ethernet PHY is not powered down for a move toward nothing.
    if (Adapter->PhyCount > 2 && PhyIndexValid(Adapter, Adapter->PhoneLinePhyIndex))
        return PowerDownEthernetPhy(Adapter, StartPhoneLineTest);
    Adapter->NextStep = FinishLinkPoll;
    return EndCycleUnlessStarted(
        Adapter, WritePhyRegisterAsync(Adapter, Adapter->ActivePhyAddress, PHY_CONTROL,
                                       PHY_CONTROL_AUTO_RESTART));
}

ULONG StartPhoneLineTest(AdapterRecord* Adapter) {
    // ActivePhyId is still the Ethernet PHY's here, so this is 0x1200 in practice.
    const USHORT control = Adapter->ActivePhyId == PHY_ID_PHONE_5C20 ? PHY_CONTROL_SPEED_100
                                                                     : PHY_CONTROL_AUTO_RESTART;
    return WritePhyThenWait(Adapter, PhoneLineAddress(Adapter), PHY_CONTROL, control,
                            PHONE_LINE_TEST_WAIT_MS, ReadPhoneLineLink);
}

ULONG ReadPhoneLineLink(AdapterRecord* Adapter) {
    return EndCycleUnlessStarted(
        Adapter, ReadLinkStatusAsync(Adapter, PhoneLineAddress(Adapter), CheckPhoneLineLink));
}

ULONG CheckPhoneLineLink(AdapterRecord* Adapter) {
    if (!LinkBitSet(Adapter)) return PowerDownPhoneLinePhy(Adapter, FinishLinkPoll);
    WriteShared(Adapter->LinkState, LINK_CONNECTED);
    WriteShared(Adapter->IndicatedLinkState, LINK_CONNECTED);
    WriteShared(Adapter->LinkChangePending, 1);
    Adapter->ActivePhyAddress = PhoneLineAddress(Adapter);
    Adapter->ActivePhyId = Adapter->PhyIdTable[Adapter->PhoneLinePhyIndex];
    WriteShared(Adapter->PhoneLineSelected, MEDIUM_PHONE_LINE);
    return RestartAutoPhy(Adapter);
}

ULONG PrepareEthernetTest(AdapterRecord* Adapter) {
    Adapter->RegisterWriteBuffer[0] = 0x26;
    Adapter->RegisterWriteBuffer[1] = 0x00;
    Adapter->DelayMs = ETHERNET_TEST_SETTLE_MS;
    Adapter->StepAfterDelay = RestartForEthernetTest;
    Adapter->NextStep = ContinueAfterDelay;
    return EndCycleUnlessStarted(Adapter, WriteRegistersAsync(Adapter, 2, GPIO_PAIR_REGISTER,
                                                              Adapter->RegisterWriteBuffer));
}

ULONG RestartForEthernetTest(AdapterRecord* Adapter) {
    // The restart goes to the Ethernet PHY, whose link is read next, not to the active phone-line
    // PHY: the Ethernet PHY was powered down and isolated (0x0C00) when the phone line took over,
    // and a PHY in that state never reports a link, so without this a move back to Ethernet could
    // never succeed.
    return WritePhyThenWait(Adapter, EthernetAddress(Adapter), PHY_CONTROL,
                            PHY_CONTROL_AUTO_RESTART, ETHERNET_TEST_WAIT_MS, ReadEthernetLink);
}

ULONG ReadEthernetLink(AdapterRecord* Adapter) {
    return EndCycleUnlessStarted(
        Adapter, ReadLinkStatusAsync(Adapter, EthernetAddress(Adapter), CheckEthernetLink));
}

ULONG CheckEthernetLink(AdapterRecord* Adapter) {
    if (!LinkBitSet(Adapter)) return PowerDownEthernetPhy(Adapter, FinishLinkPoll);
    // LinkState stays 6: this cycle repeats the disconnect, and the next poll finds the link,
    // renegotiates and reports the connect.
    Adapter->ActivePhyAddress = EthernetAddress(Adapter);
    Adapter->ActivePhyId = Adapter->PhyIdTable[Adapter->EthernetPhyIndex];
    WriteShared(Adapter->LinkChangePending, 1);
    WriteShared(Adapter->PhoneLineSelected, MEDIUM_ETHERNET);
    return PowerDownPhoneLinePhy(Adapter, RestartAutoPhy);
}
