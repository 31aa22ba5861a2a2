#include "driver/datapath/keepalive.h"

#include "driver/datapath/transmit.h"
#include "driver/frame/atomic.h"
#include "driver/frame/lifecycle.h"
#include "driver/frame/timers.h"
#include "driver/usb/tracked_request.h"

VOID NTAPI KeepAliveTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                         PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    auto* adapter = static_cast<AdapterRecord*>(FunctionContext);
    TimerRoutineScope running(adapter);

    // Ticks count only while the adapter runs.
    if (ReadShared(adapter->AdapterState) == ADAPTER_RUNNING) {
        if (adapter->KeepAliveTicks < KEEP_ALIVE_EVERY_TICKS - 1) {
            ++adapter->KeepAliveTicks;
        } else if (RequestBelow(adapter, &adapter->KeepAliveRequest)) {
            // The last frame has not come back from the bus (a device slow to answer): another
            // would only queue behind it. The next try comes four ticks later.
            adapter->KeepAliveTicks = 0;
        } else {
            adapter->KeepAliveTicks = 0;
            NdisAcquireSpinLock(&adapter->TxLock);
            PacketDescriptor* d = ListRemoveHead(&adapter->TxFreeList);
            NdisReleaseSpinLock(&adapter->TxLock);
            if (d == nullptr) {
                // No frame this time; the next try comes four ticks later.
                WriteShared(adapter->TxResourcesExhausted, 1);
            } else {
                BOOLEAN handedOver = FALSE;
                if (SubmitKeepAlive(adapter, d, &handedOver) != RESULT_SUCCESS && !handedOver) {
                    NdisAcquireSpinLock(&adapter->TxLock);
                    ListInsertHead(&adapter->TxFreeList, d);
                    NdisReleaseSpinLock(&adapter->TxLock);
                }
            }
        }
    }

    // Shutdown cancels the timer; a tick that was already running when it did must not bring
    // it back.
    if (ReadShared(adapter->ShutdownBegun) != 0) return;
    ArmTimer(adapter, &adapter->KeepAliveTimer, KEEP_ALIVE_MS);
}

ULONG SubmitKeepAlive(AdapterRecord* Adapter, PacketDescriptor* Descriptor, BOOLEAN* HandedOver) {
    *HandedOver = FALSE;
    if (ReadShared(Adapter->AdapterState) != ADAPTER_RUNNING) return RESULT_FAILURE;

    // The prefix holds the length of the whole transfer; destination 00-00-00-00-00-00 and
    // source 00-00-00-00-00-01 follow. The remaining 18 bytes keep whatever the buffer held.
    PUCHAR frame = Descriptor->Buffer;
    frame[0] = static_cast<UCHAR>(KEEP_ALIVE_LENGTH & 0xFF);
    frame[1] = static_cast<UCHAR>(KEEP_ALIVE_LENGTH >> 8);
    for (ULONG i = 2; i < 13; ++i) frame[i] = 0x00;
    frame[13] = 0x01;
    Descriptor->DataLength = KEEP_ALIVE_LENGTH;
    BuildBulkOutUrb(Adapter, Descriptor, KEEP_ALIVE_LENGTH);
    PIRP irp = AllocateTransferIrp(Adapter, Descriptor, KeepAliveComplete);
    if (irp == nullptr) return RESULT_FAILURE;

    // From here the IRP and the descriptor belong to KeepAliveComplete.
    *HandedOver = TRUE;
    TrackRequest(Adapter, &Adapter->KeepAliveRequest, irp);
    const NTSTATUS status = IofCallDriver(Adapter->NextDeviceObject, irp);
    if (status == STATUS_PENDING && ReadShared(Adapter->AdapterState) == ADAPTER_RUNNING)
        return RESULT_SUCCESS;
    return RESULT_FAILURE;
}

NTSTATUS NTAPI KeepAliveComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto* d = static_cast<PacketDescriptor*>(Context);
    AdapterRecord* adapter = d->Adapter;
    if (UntrackRequest(adapter, &adapter->KeepAliveRequest, Irp)) IoFreeIrp(Irp);
    ReturnTxDescriptor(adapter, d);
    RequestCompleted(adapter);
    TransferDone(adapter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
