#include "driver/datapath/receive.h"

ULONG SubmitBulkIn(AdapterRecord* Adapter, PacketDescriptor* Descriptor) {
    // Reads are not built yet: the descriptor goes back to the idle list and no read is started.
    NdisAcquireSpinLock(&Adapter->RxLock);
    ListAppendTail(&Adapter->RxFreeList, Descriptor);
    NdisReleaseSpinLock(&Adapter->RxLock);
    return RESULT_FAILURE;
}

VOID IndicateReceivedFrames(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)FunctionContext;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
}
