#include "driver/media/mac_mode.h"

#include "driver/frame/atomic.h"
#include "driver/usb/registers.h"

VOID IndicateLinkState(AdapterRecord* Adapter) {
    NDIS_STATUS status;
    const ULONG link = ReadShared(Adapter->LinkState);
    if (link == LINK_CONNECTED) status = NDIS_STATUS_MEDIA_CONNECT;
    else if (link == LINK_DISCONNECTED) status = NDIS_STATUS_MEDIA_DISCONNECT;
    else return;
    NdisMIndicateStatus(Adapter->MiniportAdapterHandle, status, nullptr, 0);
    NdisMIndicateStatusComplete(Adapter->MiniportAdapterHandle);
    WriteShared(Adapter->LinkChangePending, 0);
}

VOID ComputeMacControl1(AdapterRecord* Adapter) {
    Adapter->MacControl1 = 0x00;
    if (Adapter->ActivePhyId == PHY_ID_PHONE_6B90) return;
    if (Adapter->SpeedCode == SPEED_100) Adapter->MacControl1 = MAC_CONTROL1_100MBPS;
    if (Adapter->DuplexCode == DUPLEX_FULL) Adapter->MacControl1 |= MAC_CONTROL1_FULL_DUPLEX;
}

VOID PulseMacReset(AdapterRecord* Adapter) {
    Adapter->RegisterWriteBuffer[0] = 0x00;
    Adapter->RegisterWriteBuffer[1] = 0x00;
    WriteRegisters(Adapter, 2, 0x00);
    NdisMSleep(1000);
    Adapter->RegisterWriteBuffer[0] = 0x08;
    Adapter->RegisterWriteBuffer[1] = 0x00;
    WriteRegisters(Adapter, 2, 0x01);
    NdisMSleep(1000);
}

VOID WriteInitialMacMode(AdapterRecord* Adapter) {
    Adapter->MacControl0 = MAC_CONTROL0_INITIAL;
    Adapter->RegisterWriteBuffer[0] = MAC_CONTROL0_INITIAL;
    Adapter->RegisterWriteBuffer[1] = Adapter->MacControl1;
    Adapter->RegisterWriteBuffer[2] = 0x00;
    WriteRegisters(Adapter, 3, 0x00);
    NdisMSleep(1000);
}

ULONG ApplyPacketFilter(AdapterRecord* Adapter, ULONG ReceiveModeMask) {
    // The register write is not built yet: only the shadow of register 0 follows the mode.
    if (ReceiveModeMask & RECEIVE_MODE_ALL_MULTICAST) Adapter->MacControl0 |= 0x02;
    else Adapter->MacControl0 &= static_cast<UCHAR>(~0x02);
    return RESULT_SUCCESS;
}
