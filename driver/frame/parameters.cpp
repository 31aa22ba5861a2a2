#include "driver/frame/parameters.h"

namespace {

struct KeywordRow {
    NDIS_STRING Keyword;
    ULONG AdapterRecord::*Field;
};

#define KEYWORD(text) \
    NDIS_STRING { sizeof(text) - sizeof(WCHAR), sizeof(text), const_cast<PWSTR>(text) }

// Read in this order; the empty row ends the table.
const KeywordRow kKeywords[] = {
    {KEYWORD(u"TxPacketDesc"), &AdapterRecord::TxDescriptorCount},
    {KEYWORD(u"RxPacketDesc"), &AdapterRecord::RxDescriptorCount},
    {KEYWORD(u"MediaType"), &AdapterRecord::MediaTypeSetting},
    {KEYWORD(u"HomeLan"), &AdapterRecord::HomeLanSetting},
    {KEYWORD(u"AlivePara"), &AdapterRecord::AliveParameter},
    {KEYWORD(u""), nullptr},
};

#undef KEYWORD

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
        for (ULONG i = 0; i < 6; ++i) Adapter->CurrentAddress[i] = static_cast<PUCHAR>(address)[i];
    }

    NdisCloseConfiguration(configuration);
    return RESULT_SUCCESS;
}
