#include "driver/usb/discovery.h"

#include "driver/usb/phy_access.h"
#include "driver/usb/registers.h"

namespace {

const ULONG kPhoneLineIds[] = {PHY_ID_PHONE_6B90, PHY_ID_PHONE_5C20};
const ULONG kEthernetIds[] = {PHY_ID_ETH_406210, PHY_ID_ETH_437410, PHY_ID_ETH_225610,
                              PHY_ID_ETH_225410};

// The first identifier of the list that a recorded PHY has wins; among PHYs with the same
// identifier the lowest entry.
ULONG FindByPriority(AdapterRecord* Adapter, const ULONG* ids, ULONG count, UCHAR* index) {
    for (ULONG i = 0; i < count; ++i) {
        for (UCHAR k = 0; k < Adapter->PhyCount; ++k) {
            if (Adapter->PhyIdTable[k] == ids[i]) {
                *index = k;
                return RESULT_SUCCESS;
            }
        }
    }
    *index = PHY_INDEX_NONE;
    return RESULT_NOT_FOUND;
}

VOID MakeActive(AdapterRecord* Adapter, UCHAR index) {
    Adapter->ActivePhyAddress = Adapter->PhyAddressTable[index];
    Adapter->ActivePhyId = Adapter->PhyIdTable[index];
}

// Entry 0 when every PHY recorded is a spare (then nothing better is there to carry traffic).
UCHAR FirstNotSpare(const AdapterRecord* Adapter) {
    for (UCHAR k = 0; k < Adapter->PhyCount; ++k)
        if (Adapter->PhyIdTable[k] != PHY_ID_SPARE_6B70) return k;
    return 0;
}

VOID WriteGpio(AdapterRecord* Adapter, UCHAR first, UCHAR second) {
    Adapter->RegisterWriteBuffer[0] = first;
    Adapter->RegisterWriteBuffer[1] = second;
    WriteRegisters(Adapter, 2, 0x7E);
}

}  // namespace

ULONG DiscoverPhys(AdapterRecord* Adapter) {
    WriteGpio(Adapter, 0x24, 0x06);
    NdisMSleep(5000);
    WriteGpio(Adapter, 0x26, 0x04);
    NdisMSleep(10000);
    Adapter->LinkDownPolls = 0;
    Adapter->RegisterWriteBuffer[0] = 0x02;
    Adapter->RegisterWriteBuffer[1] = 0x00;
    WriteRegisters(Adapter, 2, 0x7B);

    if (ScanPhys(Adapter) == RESULT_SUCCESS) {
        const ULONG chosen = ChooseMedium(Adapter);
        SelectPhy(Adapter, Adapter->ActivePhyAddress);
        return chosen;
    }
    Adapter->ActivePhyAddress = 0;
    Adapter->PhoneLineSelected = MEDIUM_NO_PHY;
    Adapter->ActivePhyId = PHY_ID_ETH_406210;
    SelectPhy(Adapter, 0);
    return RESULT_SUCCESS;
}

ULONG ScanPhys(AdapterRecord* Adapter) {
    Adapter->PhyCount = 0;
    for (UCHAR address = 0; address < PHY_PROBE_ADDRESSES; ++address) {
        SelectPhy(Adapter, address);
        const USHORT status = ReadPhyRegister(Adapter, address, PHY_STATUS);
        if (status == 0xFFFF || status == 0x0000) continue;
        const USHORT high = ReadPhyRegister(Adapter, address, PHY_ID1);
        const USHORT low = ReadPhyRegister(Adapter, address, PHY_ID2);
        const ULONG id = ((static_cast<ULONG>(high) << 16) | low) & 0xFFFFFFF0u;
        if (Adapter->PhyCount < MAX_PHYS) {
            Adapter->PhyAddressTable[Adapter->PhyCount] = address;
            Adapter->PhyIdTable[Adapter->PhyCount] = id;
            Adapter->PhyCount++;
        }
    }
    return Adapter->PhyCount != 0 ? RESULT_SUCCESS : RESULT_FAILURE;
}

ULONG FindPhoneLinePhy(AdapterRecord* Adapter) {
    return FindByPriority(Adapter, kPhoneLineIds, 2, &Adapter->PhoneLinePhyIndex);
}

ULONG FindEthernetPhy(AdapterRecord* Adapter) {
    return FindByPriority(Adapter, kEthernetIds, 4, &Adapter->EthernetPhyIndex);
}

ULONG IsolateSparePhy(AdapterRecord* Adapter) {
    for (UCHAR k = 0; k < Adapter->PhyCount; ++k) {
        if (Adapter->PhyIdTable[k] == PHY_ID_SPARE_6B70) {
            WritePhyRegister(Adapter, Adapter->PhyAddressTable[k], PHY_CONTROL,
                             PHY_POWER_DOWN_ISOLATE);
            break;
        }
    }
    return RESULT_SUCCESS;
}

ULONG TestPhyLink(AdapterRecord* Adapter, UCHAR PhyAddress) {
    if (PhyStatusShowsLink(ReadPhyRegister(Adapter, PhyAddress, PHY_STATUS))) return LINK_CONNECTED;
    return PhyStatusShowsLink(ReadPhyRegister(Adapter, PhyAddress, PHY_STATUS)) ? LINK_CONNECTED
                                                                               : LINK_DISCONNECTED;
}

ULONG ChooseSinglePhy(AdapterRecord* Adapter, ULONG EthernetResult, ULONG PhoneLineResult) {
    if (PhoneLineResult == RESULT_SUCCESS) {
        Adapter->PhoneLineSelected = MEDIUM_PHONE_LINE;
        MakeActive(Adapter, Adapter->PhoneLinePhyIndex);
    } else if (EthernetResult == RESULT_SUCCESS) {
        Adapter->PhoneLineSelected = MEDIUM_ETHERNET;
        MakeActive(Adapter, Adapter->EthernetPhyIndex);
    } else {
        Adapter->PhoneLineSelected = MEDIUM_OTHER_PHY;
        MakeActive(Adapter, 0);
    }
    return RESULT_SUCCESS;
}

ULONG ChooseMedium(AdapterRecord* Adapter) {
    if (Adapter->PhyCount == 0) return RESULT_FAILURE;
    Adapter->MediaChoiceMode = 2;
    const ULONG phone = FindPhoneLinePhy(Adapter);
    const ULONG ethernet = FindEthernetPhy(Adapter);
    if (Adapter->PhyCount == 1) return ChooseSinglePhy(Adapter, ethernet, phone);

    IsolateSparePhy(Adapter);
    if (ethernet != RESULT_SUCCESS && phone == RESULT_SUCCESS) {
        Adapter->PhoneLineSelected = MEDIUM_PHONE_LINE;
        MakeActive(Adapter, Adapter->PhoneLinePhyIndex);
        return RESULT_SUCCESS;
    }
    if (phone != RESULT_SUCCESS) {
        // Several PHYs and no phone line among them: the Ethernet PHY by priority carries
        // traffic, or, when none is of a known Ethernet kind, the first PHY recorded that is not
        // the spare just powered down. Nothing else is powered down and no index of a missing
        // kind addresses the tables.
        Adapter->PhoneLineSelected = MEDIUM_ETHERNET;
        MakeActive(Adapter, ethernet == RESULT_SUCCESS ? Adapter->EthernetPhyIndex
                                                       : FirstNotSpare(Adapter));
        return RESULT_SUCCESS;
    }

    const UCHAR phoneAddress = Adapter->PhyAddressTable[Adapter->PhoneLinePhyIndex];
    const UCHAR ethernetAddress = Adapter->PhyAddressTable[Adapter->EthernetPhyIndex];
    const ULONG phoneLink = TestPhyLink(Adapter, phoneAddress);
    const ULONG ethernetLink = TestPhyLink(Adapter, ethernetAddress);

    bool usePhoneLine;
    if (Adapter->MediaTypeSetting == 0) {
        if (ethernetLink == LINK_CONNECTED) usePhoneLine = false;
        else if (phoneLink == LINK_CONNECTED) usePhoneLine = true;
        else {
            // Neither has link: the Ethernet PHY is named but nothing is chosen or powered down.
            Adapter->PhoneLineSelected = MEDIUM_ETHERNET;
            Adapter->MediaChoiceMode = 0;
            MakeActive(Adapter, Adapter->EthernetPhyIndex);
            return RESULT_FAILURE;
        }
    } else {
        usePhoneLine = Adapter->MediaTypeSetting == 5;
    }
    if (usePhoneLine) {
        Adapter->PhoneLineSelected = MEDIUM_PHONE_LINE;
        MakeActive(Adapter, Adapter->PhoneLinePhyIndex);
        WritePhyRegister(Adapter, ethernetAddress, PHY_CONTROL, PHY_POWER_DOWN_ISOLATE);
    } else {
        Adapter->PhoneLineSelected = MEDIUM_ETHERNET;
        MakeActive(Adapter, Adapter->EthernetPhyIndex);
        WritePhyRegister(Adapter, phoneAddress, PHY_CONTROL, PHY_POWER_DOWN_ISOLATE);
    }
    return RESULT_SUCCESS;
}
