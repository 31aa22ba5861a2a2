#include "driver/media/media_programming.h"

#include "driver/frame/atomic.h"
#include "driver/usb/discovery.h"
#include "driver/usb/phy_access.h"
#include "driver/usb/registers.h"

namespace {

struct ForcedMediaRow {
    ULONG Speed;
    ULONG Duplex;
    USHORT Control;
    USHORT Advertisement;  // without the selector bit
};

// Indexed by "MediaType" 1..5; row 0 stands for automatic and is never used.
constexpr ForcedMediaRow kForcedMedia[] = {
    {SPEED_UNSET, DUPLEX_UNSET, 0x0000, 0x0000},
    {SPEED_10, DUPLEX_HALF, 0x0000, 0x0020},
    {SPEED_10, DUPLEX_FULL, 0x0100, 0x0040},
    {SPEED_100, DUPLEX_HALF, 0x2000, 0x0080},
    {SPEED_100, DUPLEX_FULL, 0x2100, 0x0100},
    {SPEED_PHONE_LINE, DUPLEX_HALF, 0x0000, 0x0020},
};
constexpr ULONG kPhoneLineRow = 5;

BOOLEAN PhoneLineMedium(const AdapterRecord* Adapter) {
    return Adapter->MediaTypeSetting == kPhoneLineRow ||
           Adapter->PhoneLineSelected == MEDIUM_PHONE_LINE;
}

}  // namespace

USHORT PhoneLineTuningNibble(ULONG HomeLan) {
    switch (HomeLan) {
        case 17: return 0xA;
        case 18: return 0x9;
        case 19: return 0x6;
        case 20: return 0x5;
        default: return 0x0;
    }
}

ULONG ProgramMediaAtReset(AdapterRecord* Adapter) {
    WriteShared(Adapter->SpeedCode, SPEED_UNSET);
    WriteShared(Adapter->DuplexCode, DUPLEX_UNSET);
    if (Adapter->MediaChoiceMode == 0) return RESULT_FAILURE;

    USHORT control = 0;
    USHORT advertisement = 0;
    // A setting with no forced row (none reaches here: start-up takes values beyond the table as
    // automatic) is negotiated like automatic rather than programmed with nothing.
    if (Adapter->MediaTypeSetting != 0 &&
        LookupForcedMedia(Adapter, &control, &advertisement) == RESULT_SUCCESS)
        ProgramForcedMedia(Adapter, control, advertisement);
    else
        NegotiateAutomatic(Adapter);

    const ULONG link = TestPhyLink(Adapter, Adapter->ActivePhyAddress);
    WriteShared(Adapter->LinkState, link);
    WriteShared(Adapter->IndicatedLinkState, link);
    ProgramPhyKind(Adapter);
    return RESULT_SUCCESS;
}

ULONG NegotiateAutomatic(AdapterRecord* Adapter) {
    const UCHAR phy = Adapter->ActivePhyAddress;
    WritePhyRegister(Adapter, phy, PHY_CONTROL, PHY_CONTROL_RESET);
    // A PHY whose reset never ends costs the bound and is programmed all the same; one that
    // does not answer at all (0xFFFF: a port request failed, or nothing is there) is not asked
    // again and again.
    for (ULONG poll = 0; poll < PHY_RESET_POLLS; ++poll) {
        NdisMSleep(PHY_POLL_US);
        const USHORT control = ReadPhyRegister(Adapter, phy, PHY_CONTROL);
        if ((control & PHY_CONTROL_RESET) == 0 || control == PHY_NO_ANSWER) break;
    }
    WritePhyRegister(Adapter, phy, PHY_ADVERTISEMENT, PHY_ADVERTISE_ALL);
    // The 0x20005C20 phone-line PHY restarts with its speed bit; the others negotiate.
    WritePhyRegister(Adapter, phy, PHY_CONTROL,
                     Adapter->ActivePhyId == PHY_ID_PHONE_5C20 ? PHY_CONTROL_SPEED_100
                                                               : PHY_CONTROL_AUTO_RESTART);
    // Only an Ethernet PHY chosen as such is worth waiting for; a phone line, a lone PHY of
    // neither kind and no PHY at all go on at once. The outcome does not change the sequence.
    if (Adapter->PhoneLineSelected == MEDIUM_ETHERNET) WaitNegotiationComplete(Adapter);
    DecodePartnerAbility(Adapter, ReadPhyRegister(Adapter, phy, PHY_PARTNER_ABILITY));
    return RESULT_SUCCESS;
}

VOID ProgramForcedMedia(AdapterRecord* Adapter, USHORT ControlValue, USHORT Advertisement) {
    const UCHAR phy = Adapter->ActivePhyAddress;
    // The reset is not waited for: the writes behind it queue at the PHY port.
    WritePhyRegister(Adapter, phy, PHY_CONTROL, PHY_CONTROL_RESET);
    WritePhyRegister(Adapter, phy, PHY_ADVERTISEMENT,
                     static_cast<USHORT>(Advertisement | PHY_ADVERTISE_SELECTOR));
    WritePhyRegister(Adapter, phy, PHY_CONTROL, PHY_CONTROL_AUTO_RESTART);
    if (PhoneLineMedium(Adapter)) {
        // A phone line does not negotiate: one status read and one pause.
        ReadPhyRegister(Adapter, phy, PHY_STATUS);
        NdisMSleep(PHY_POLL_US);
    } else {
        for (ULONG poll = 0; poll < NEGOTIATION_POLLS; ++poll) {
            if (ReadPhyRegister(Adapter, phy, PHY_STATUS) & PHY_STATUS_AUTONEG_COMPLETE) break;
            NdisMSleep(PHY_POLL_US);
        }
    }
    WritePhyRegister(Adapter, phy, PHY_CONTROL, ControlValue);
}

ULONG LookupForcedMedia(AdapterRecord* Adapter, USHORT* ControlValue, USHORT* Advertisement) {
    ULONG row = Adapter->MediaTypeSetting;
    if (row > kPhoneLineRow) {
        if (Adapter->PhoneLineSelected != MEDIUM_PHONE_LINE) return RESULT_FAILURE;
        row = kPhoneLineRow;
    }
    if (row == 0) return RESULT_FAILURE;
    WriteShared(Adapter->SpeedCode, kForcedMedia[row].Speed);
    WriteShared(Adapter->DuplexCode, kForcedMedia[row].Duplex);
    *ControlValue = kForcedMedia[row].Control;
    *Advertisement = kForcedMedia[row].Advertisement;
    return RESULT_SUCCESS;
}

VOID DecodePartnerAbility(AdapterRecord* Adapter, USHORT Ability) {
    ULONG speed;
    ULONG duplex;
    if (PhoneLineMedium(Adapter)) {
        // The phone line runs at 1 Mb/s half duplex whatever register 5 holds.
        speed = SPEED_PHONE_LINE;
        duplex = DUPLEX_HALF;
    } else if (Ability & PHY_ABILITY_100_FULL) {
        speed = SPEED_100;
        duplex = DUPLEX_FULL;
    } else if (Ability & PHY_ABILITY_100_HALF) {
        speed = SPEED_100;
        duplex = DUPLEX_HALF;
    } else {
        speed = SPEED_10;
        duplex = (Ability & PHY_ABILITY_10_FULL) ? DUPLEX_FULL : DUPLEX_HALF;
    }
    WriteShared(Adapter->SpeedCode, speed);
    WriteShared(Adapter->DuplexCode, duplex);
}

ULONG WaitNegotiationComplete(AdapterRecord* Adapter) {
    NdisMSleep(NEGOTIATION_SETTLE_US);
    for (ULONG poll = 0; poll < NEGOTIATION_POLLS; ++poll) {
        if (ReadPhyRegister(Adapter, Adapter->ActivePhyAddress, PHY_STATUS) &
            PHY_STATUS_AUTONEG_COMPLETE)
            return RESULT_SUCCESS;
        NdisMSleep(PHY_POLL_US);
    }
    return RESULT_FAILURE;
}

VOID ProgramPhyKind(AdapterRecord* Adapter) {
    const UCHAR phy = Adapter->ActivePhyAddress;
    const BOOLEAN linked = ReadShared(Adapter->LinkState) == LINK_CONNECTED;
    // Settled here at every restart and nowhere else; a media move does not change it.
    WriteShared(Adapter->KeepAliveEnabled, 0);
    switch (Adapter->ActivePhyId) {
        case PHY_ID_PHONE_6B90: {
            const UCHAR block[6] = {static_cast<UCHAR>(linked ? 0x26 : 0x36), 0x00, 0x26, 0x34,
                                    0x00, 0x06};
            for (ULONG i = 0; i < sizeof block; ++i) Adapter->RegisterWriteBuffer[i] = block[i];
            WriteRegisters(Adapter, sizeof block, PORT_BLOCK_REGISTER);
            TunePhoneLinePhy(Adapter);
            break;
        }
        case PHY_ID_ETH_225410:
            WritePortRegisters4(Adapter);
            break;
        case PHY_ID_ETH_406210:
            WritePhyRegister(Adapter, phy, PHY_REGISTER_406210_MODE, 0x0044);
            // One status read follows the mode write; its value is not used.
            ReadPhyRegister(Adapter, phy, PHY_STATUS);
            break;
        case PHY_ID_ETH_437410:
            WritePhyRegister(Adapter, phy, PHY_REGISTER_437410_MODE, 0x0080);
            break;
        case PHY_ID_PHONE_5C20:
            WriteShared(Adapter->KeepAliveEnabled, 1);
            WritePhyRegister(Adapter, phy, PHY_REGISTER_5C20_LEVEL, 0x7F05);
            if (linked) {
                Adapter->RegisterWriteBuffer[0] = 0x04;
                WriteRegisters(Adapter, 1, PORT_LINK_REGISTER);
            }
            TunePhoneLinePhy(Adapter);
            break;
        default:
            break;
    }
}

VOID TunePhoneLinePhy(AdapterRecord* Adapter) {
    const UCHAR phy = Adapter->ActivePhyAddress;
    const ULONG homeLan = Adapter->HomeLanSetting;
    if (Adapter->ActivePhyId == PHY_ID_PHONE_6B90) {
        const USHORT value = ReadPhyRegister(Adapter, phy, PHY_REGISTER_TUNING);
        // HomeLan 16 keeps whatever mode the PHY holds.
        if (homeLan == 16) return;
        const USHORT tuned = static_cast<USHORT>((value & ~PHY_REGISTER_TUNING_MASK) |
                                                 (PhoneLineTuningNibble(homeLan) << 8));
        WritePhyRegister(Adapter, phy, PHY_REGISTER_TUNING, tuned);
    } else if (Adapter->ActivePhyId == PHY_ID_PHONE_5C20) {
        WritePhyRegister(Adapter, phy, PHY_CONTROL, PHY_CONTROL_SPEED_100);
        WritePhyRegister(Adapter, phy, PHY_REGISTER_5C20_LEVEL, 0x7F02);
        if (homeLan == 18 || homeLan == 20) {
            // Register 31 is set to 1 around the writes of registers 7 and 6, then back to 0.
            WritePhyRegister(Adapter, phy, PHY_REGISTER_5C20_PAGE, 0x0001);
            WritePhyRegister(Adapter, phy, 7, 0x0008);
            WritePhyRegister(Adapter, phy, 6, homeLan == 18 ? 0x0038 : 0x0028);
            WritePhyRegister(Adapter, phy, PHY_REGISTER_5C20_PAGE, 0x0000);
        }
    }
}

VOID WritePortRegisters4(AdapterRecord* Adapter) {
    USHORT value;
    if (ReadShared(Adapter->LinkState) != LINK_CONNECTED) value = 0x3620;
    else if (ReadShared(Adapter->SpeedCode) == SPEED_10) value = 0x2630;
    else value = 0x3430;
    Adapter->RegisterWriteBuffer[0] = static_cast<UCHAR>(value >> 8);
    Adapter->RegisterWriteBuffer[1] = 0x00;
    Adapter->RegisterWriteBuffer[2] = 0x26;
    Adapter->RegisterWriteBuffer[3] = static_cast<UCHAR>(value & 0xFF);
    WriteRegisters(Adapter, 4, PORT_BLOCK_REGISTER);
}
