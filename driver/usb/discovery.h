// PHY discovery and the choice of the active medium at start-up. Passive level.
#pragma once

#include "driver/frame/adapter_record.h"

ULONG DiscoverPhys(AdapterRecord* Adapter);
