#include "driver/datapath/keepalive.h"

VOID KeepAliveTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                   PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    // The frame itself is not built yet; the tick keeps its 1-second rhythm.
    auto* adapter = static_cast<AdapterRecord*>(FunctionContext);
    NdisSetTimer(&adapter->KeepAliveTimer, 1000);
}
