// PHY power-down at shutdown: quiets the media side before the adapter is marked powered down.
#pragma once

#include "driver/frame/adapter_record.h"

// Passive level; always completes.
VOID PowerDownPhysAtShutdown(AdapterRecord* Adapter);
