// StartAdapter: the ordered bring-up of one adapter inside MiniportInitialize. Passive level;
// every device access is synchronous.
#pragma once

#include "driver/frame/adapter_record.h"

#define DEFAULT_DESCRIPTORS 20u
#define MIN_RX_DESCRIPTORS 3u
// Registry descriptor counts are bounded before they size the one descriptor allocation, so a
// mistyped or hostile value can never wrap it or make it absurd.
#define MAX_DESCRIPTORS 256u
#define MEDIA_TYPE_HIGHEST 5u

// 1 when the adapter is ready to run, 2 when a step failed (the caller releases the ledger).
ULONG StartAdapter(AdapterRecord* Adapter);
