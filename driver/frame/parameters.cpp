#include "driver/frame/parameters.h"

namespace {

struct KeywordRow {
    NDIS_STRING Keyword;
    ULONG AdapterRecord::*Field;
};

// Read in this order; the empty row ends the table.
const KeywordRow kKeywords[] = {
    {NDIS_STRING_CONST("TxPacketDesc"), &AdapterRecord::TxDescriptorCount},
    {NDIS_STRING_CONST("RxPacketDesc"), &AdapterRecord::RxDescriptorCount},
    {NDIS_STRING_CONST("MediaType"), &AdapterRecord::MediaTypeSetting},
    {NDIS_STRING_CONST("HomeLan"), &AdapterRecord::HomeLanSetting},
    {NDIS_STRING_CONST("AlivePara"), &AdapterRecord::AliveParameter},
    {NDIS_STRING_CONST(""), nullptr},
};

// A station address the adapter can send from: an individual address (the group bit of the
// first byte clear, so neither multicast nor broadcast) that is not all zeros.
BOOLEAN StationAddressUsable(const UCHAR* Address) {
    if (Address[0] & 0x01) return FALSE;
    for (ULONG i = 0; i < 6; ++i)
        if (Address[i] != 0) return TRUE;
    return FALSE;
}

}  // namespace

ULONG ReadParameters(AdapterRecord* Adapter) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE configuration = nullptr;
    NdisOpenConfiguration(&status, &configuration, Adapter->WrapperConfigurationContext);
    if (status != NDIS_STATUS_SUCCESS) return RESULT_FAILURE;

    for (const KeywordRow* row = kKeywords; row->Field != nullptr; ++row) {
        PNDIS_CONFIGURATION_PARAMETER value = nullptr;
        NdisReadConfiguration(&status, &value, configuration,
                              const_cast<PNDIS_STRING>(&row->Keyword), NdisParameterHexInteger);
        if (status == NDIS_STATUS_SUCCESS) Adapter->*(row->Field) = value->ParameterData.IntegerData;
    }

    PVOID address = nullptr;
    UINT length = 0;
    NdisReadNetworkAddress(&status, &address, &length, configuration);
    if (status == NDIS_STATUS_SUCCESS && length == 6) {
        const PUCHAR override = static_cast<PUCHAR>(address);
        if (StationAddressUsable(override)) {
            for (ULONG i = 0; i < 6; ++i) Adapter->CurrentAddress[i] = override[i];
        } else {
            // A group address (multicast or broadcast) or all zeros would be the source of every
            // frame sent: the EEPROM address stays, and the event log says why.
            // The two values carry the refused address, bytes 0..3 and 4..5, first byte highest.
            NdisWriteErrorLogEntry(
                Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_NETWORK_ADDRESS, 2,
                static_cast<ULONG>(override[0]) << 24 | static_cast<ULONG>(override[1]) << 16 |
                    static_cast<ULONG>(override[2]) << 8 | override[3],
                static_cast<ULONG>(override[4]) << 8 | override[5]);
        }
    }

    NdisCloseConfiguration(configuration);
    return RESULT_SUCCESS;
}
