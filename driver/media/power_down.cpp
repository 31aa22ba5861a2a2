#include "driver/media/power_down.h"

VOID PowerDownPhysAtShutdown(AdapterRecord* Adapter) {
    // The per-PHY power-down writes are not built yet; nothing is written.
    (void)Adapter;
}
