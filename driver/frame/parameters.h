// Registry parameters read at start-up through the NDIS configuration interface.
#pragma once

#include "driver/frame/adapter_record.h"

// 1 when the configuration could be opened (whatever the keywords held), 2 otherwise.
ULONG ReadParameters(AdapterRecord* Adapter);
