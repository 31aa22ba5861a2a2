#include "driver/frame/startup.h"

#include "driver/datapath/descriptors.h"
#include "driver/frame/lifecycle.h"
#include "driver/frame/parameters.h"
#include "driver/usb/configuration.h"
#include "driver/usb/discovery.h"
#include "driver/usb/eeprom.h"
#include "driver/usb/registers.h"

namespace {

UCHAR AliveCode(ULONG parameter) {
    switch (parameter) {
        case 2: return 0x84;
        case 3: return 0x90;
        case 4: return 0x9F;
        default: return 0x81;
    }
}

}  // namespace

ULONG StartAdapter(AdapterRecord* Adapter) {
    KeInitializeSpinLock(&Adapter->BulkOutLock);
    KeInitializeSpinLock(&Adapter->PendingIrpLock);
    KeInitializeSpinLock(&Adapter->FilterWriteLock);
    KeInitializeSpinLock(&Adapter->RequestLock);
    InitializeListHead(&Adapter->PendingTxIrps);
    Adapter->KeepAliveTicks = 0;
    Adapter->TxDescriptorCount = DEFAULT_DESCRIPTORS;
    Adapter->RxDescriptorCount = DEFAULT_DESCRIPTORS;

    if (ConfigureUsbDevice(Adapter) != RESULT_SUCCESS) return RESULT_FAILURE;
    // The node address is read once; its bytes are not used, but a device that cannot answer
    // here is not fit to start.
    if (ReadRegisters(Adapter, 6, NODE_ADDRESS_REGISTER) != RESULT_SUCCESS) return RESULT_FAILURE;
    if (ReadPermanentAddress(Adapter) != RESULT_SUCCESS) return RESULT_FAILURE;
    for (ULONG i = 0; i < 6; ++i) Adapter->CurrentAddress[i] = Adapter->PermanentAddress[i];
    // After the EEPROM address, so the override replaces it; before the node address is written,
    // so the device uses the override.
    if (ReadParameters(Adapter) != RESULT_SUCCESS) return RESULT_FAILURE;
    // "TxPacketDesc" 0 means the default; counts above the bound are held to it; fewer than three
    // receive descriptors cannot keep a read outstanding while frames wait.
    if (Adapter->TxDescriptorCount == 0) Adapter->TxDescriptorCount = DEFAULT_DESCRIPTORS;
    if (Adapter->TxDescriptorCount > MAX_DESCRIPTORS) Adapter->TxDescriptorCount = MAX_DESCRIPTORS;
    if (Adapter->RxDescriptorCount < MIN_RX_DESCRIPTORS)
        Adapter->RxDescriptorCount = MIN_RX_DESCRIPTORS;
    if (Adapter->RxDescriptorCount > MAX_DESCRIPTORS) Adapter->RxDescriptorCount = MAX_DESCRIPTORS;
    // A "MediaType" beyond the forced media has no meaning: it is taken as automatic.
    if (Adapter->MediaTypeSetting > MEDIA_TYPE_HIGHEST) Adapter->MediaTypeSetting = 0;

    for (ULONG i = 0; i < 6; ++i) Adapter->RegisterWriteBuffer[i] = Adapter->CurrentAddress[i];
    if (WriteRegisters(Adapter, 6, NODE_ADDRESS_REGISTER) != RESULT_SUCCESS) return RESULT_FAILURE;
    for (ULONG i = 0; i < 8; ++i) Adapter->RegisterWriteBuffer[i] = 0xFF;
    if (WriteRegisters(Adapter, 8, MULTICAST_HASH_REGISTER) != RESULT_SUCCESS) return RESULT_FAILURE;

    DiscoverPhys(Adapter);

    if (Adapter->AliveParameter != 0) {
        Adapter->RegisterWriteBuffer[0] = AliveCode(Adapter->AliveParameter);
        Adapter->RegisterWriteBuffer[1] = 0x00;
        WriteRegisters(Adapter, 2, 0x1C);
    }

    if (CreateDescriptors(Adapter) != RESULT_SUCCESS) return RESULT_FAILURE;
    const ULONG entries = CreatePacketEntries(Adapter);
    if (entries != RESULT_SUCCESS) return entries;

    // The media programming sets the link from the chosen PHY. When discovery chose none (no
    // PHY answered, or neither of two had link) nothing is programmed and the link is left as
    // set here: the first indication must then say disconnected, not connected to nothing.
    Adapter->LinkState = Adapter->MediaChoiceMode != 0 ? LINK_CONNECTED : LINK_DISCONNECTED;
    Adapter->ReceiveStarted = 0;
    RestartMedia(Adapter);
    Adapter->ReceiveStarted = 1;
    return RESULT_SUCCESS;
}
