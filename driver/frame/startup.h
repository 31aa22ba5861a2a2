// StartAdapter: the ordered bring-up of one adapter inside MiniportInitialize. Passive level;
// every device access is synchronous.
#pragma once

#include "driver/frame/adapter_record.h"

#define DEFAULT_DESCRIPTORS 20u
#define MIN_RX_DESCRIPTORS 3u

// 1 when the adapter is ready to run, 2 when a step failed (the caller releases the ledger).
ULONG StartAdapter(AdapterRecord* Adapter);
