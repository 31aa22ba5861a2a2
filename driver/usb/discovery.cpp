#include "driver/usb/discovery.h"

ULONG DiscoverPhys(AdapterRecord* Adapter) {
    // The management-bus probe is not built yet: the adapter starts as when no PHY answers.
    Adapter->LinkDownPolls = 0;
    Adapter->ActivePhyAddress = 0;
    Adapter->PhoneLineSelected = MEDIUM_NO_PHY;
    Adapter->ActivePhyId = PHY_ID_ETH_406210;
    return RESULT_SUCCESS;
}
