#include "driver/datapath/transmit.h"

#include "driver/frame/atomic.h"
#include "driver/frame/pool_tags.h"
#include "driver/frame/timers.h"
#include "driver/usb/configuration.h"

namespace {

// The transfer length for a frame of N bytes: the prefix added, never a multiple of 64 (a short
// packet must end the transfer), at least 60 bytes.
ULONG TransferLength(ULONG prefixed) {
    ULONG length = prefixed;
    if (length % 64 == 0) length += 2;
    if (length < 60) length = 60;
    return length;
}

}  // namespace

VOID BuildBulkOutUrb(AdapterRecord* Adapter, PacketDescriptor* Descriptor, ULONG Length) {
    auto& t = Descriptor->Urb->UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = PipeHandle(Adapter, PIPE_BULK_OUT);
    t.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    t.TransferBufferLength = Length;
    t.TransferBuffer = Descriptor->Buffer;
    t.TransferBufferMDL = nullptr;
    t.UrbLink = nullptr;
}

PIRP AllocateTransferIrp(AdapterRecord* Adapter, PacketDescriptor* Descriptor,
                         PIO_COMPLETION_ROUTINE Routine) {
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(Adapter->IrpStackSize), FALSE);
    if (irp == nullptr) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = Descriptor->Urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(irp, Routine, Descriptor, TRUE, TRUE, TRUE);
    InterlockedIncrement(&Adapter->TransfersInFlight);
    return irp;
}

VOID DiscardTransferIrp(AdapterRecord* Adapter, PIRP Irp) {
    IoFreeIrp(Irp);
    TransferDone(Adapter);
}

VOID TransferDone(AdapterRecord* Adapter) {
    InterlockedDecrement(&Adapter->TransfersInFlight);
}

NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags) {
    (void)Flags;
    auto* adapter = static_cast<AdapterRecord*>(MiniportAdapterContext);
    NdisAcquireSpinLock(&adapter->TxLock);
    PacketDescriptor* d = ListRemoveHead(&adapter->TxFreeList);
    NdisReleaseSpinLock(&adapter->TxLock);
    if (d == nullptr) {
        WriteShared(adapter->TxResourcesExhausted, 1);
        return NDIS_STATUS_RESOURCES;
    }
    static_cast<PacketSlot*>(d->PacketEntry)->Packet = Packet;

    BOOLEAN handedOver = FALSE;
    if (SubmitBulkOut(adapter, d, &handedOver) != RESULT_SUCCESS) {
        if (!handedOver) {
            NdisAcquireSpinLock(&adapter->TxLock);
            ListInsertHead(&adapter->TxFreeList, d);
            NdisReleaseSpinLock(&adapter->TxLock);
        }
        return NDIS_STATUS_FAILURE;
    }
    // The frame lives in the descriptor now. Complete the packet this call was given: the
    // descriptor may already carry another send's packet.
    NdisMSendComplete(adapter->MiniportAdapterHandle, Packet, NDIS_STATUS_SUCCESS);
    return NDIS_STATUS_PENDING;
}

ULONG SubmitBulkOut(AdapterRecord* Adapter, PacketDescriptor* Descriptor, BOOLEAN* HandedOver) {
    *HandedOver = FALSE;
    if (ReadShared(Adapter->AdapterState) != ADAPTER_RUNNING) return RESULT_FAILURE;

    // A packet longer than any frame NDIS may send is refused before anything is copied, so
    // neither the copy nor the transfer can run past the descriptor's buffer.
    UINT total = 0;
    NdisQueryPacket(static_cast<PacketSlot*>(Descriptor->PacketEntry)->Packet, nullptr, nullptr,
                    nullptr, &total);
    if (total > MAX_FRAME_LENGTH) return RESULT_FAILURE;

    CopyPacketToBuffer(Adapter, Descriptor);
    Descriptor->DataLength = TransferLength(Descriptor->DataLength);
    BuildBulkOutUrb(Adapter, Descriptor, Descriptor->DataLength);
    PIRP irp = AllocateTransferIrp(Adapter, Descriptor, BulkOutComplete);
    if (irp == nullptr) return RESULT_FAILURE;

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&Adapter->BulkOutLock);
    if (Adapter->BulkOutStopped != 0) {
        // Powered down since the look at the state above: the pipe takes nothing more.
        KeReleaseSpinLockFromDpcLevel(&Adapter->BulkOutLock);
        KeLowerIrql(old);
        DiscardTransferIrp(Adapter, irp);
        return RESULT_FAILURE;
    }
    bool passDown = Adapter->BulkOutOutstanding == 0;
    if (!passDown) {
        auto* entry = static_cast<PendingIrpEntry*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(PendingIrpEntry), kRequestBlockTag));
        if (entry == nullptr) {
            // Nowhere to wait: the send fails before the hand-over and nothing is counted.
            KeReleaseSpinLockFromDpcLevel(&Adapter->BulkOutLock);
            KeLowerIrql(old);
            DiscardTransferIrp(Adapter, irp);
            return RESULT_FAILURE;
        }
        entry->Irp = irp;
        ExInterlockedInsertTailList(&Adapter->PendingTxIrps, &entry->Links,
                                    &Adapter->PendingIrpLock);
    }
    Adapter->BulkOutOutstanding++;
    KeReleaseSpinLockFromDpcLevel(&Adapter->BulkOutLock);
    KeLowerIrql(old);
    if (!passDown) return RESULT_SUCCESS;

    *HandedOver = TRUE;
    // Once passed down the frame is the transfer's: it goes on the wire or its completion fails
    // it, whatever another processor has done to the adapter's state meanwhile. Refusing it here
    // as well would report a frame the device may already have sent.
    const NTSTATUS status = IofCallDriver(Adapter->NextDeviceObject, irp);
    return status == STATUS_PENDING ? RESULT_SUCCESS : RESULT_FAILURE;
}

ULONG CopyPacketToBuffer(AdapterRecord* Adapter, PacketDescriptor* Descriptor) {
    (void)Adapter;
    PNDIS_PACKET packet = static_cast<PacketSlot*>(Descriptor->PacketEntry)->Packet;
    PNDIS_BUFFER buffer = nullptr;
    UINT total = 0;
    NdisQueryPacket(packet, nullptr, nullptr, &buffer, &total);
    ULONG offset = 2;
    while (buffer != nullptr) {
        PVOID va = nullptr;
        UINT length = 0;
        NdisQueryBuffer(buffer, &va, &length);
        // The caller refused packets longer than a frame; a chain that disagrees with its own
        // total still stops at the end of the buffer.
        if (length > DESCRIPTOR_BUFFER_SIZE - offset) length = DESCRIPTOR_BUFFER_SIZE - offset;
        NdisMoveMemory(Descriptor->Buffer + offset, va, length);
        offset += length;
        NdisGetNextBuffer(buffer, &buffer);
    }
    Descriptor->Buffer[0] = static_cast<UCHAR>(total & 0xFF);
    Descriptor->Buffer[1] = static_cast<UCHAR>((total >> 8) & 0xFF);
    Descriptor->DataLength = total + 2;
    return RESULT_SUCCESS;
}

NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto* d = static_cast<PacketDescriptor*>(Context);
    AdapterRecord* adapter = d->Adapter;
    if (Irp->IoStatus.Status == STATUS_SUCCESS) CountShared(adapter->XmitOk);
    IoFreeIrp(Irp);
    ReturnTxDescriptor(adapter, d);

    PIRP next = nullptr;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&adapter->BulkOutLock);
    // Once powered down nothing queued goes down again: power-down ended the queue itself.
    if (--adapter->BulkOutOutstanding > 0 && adapter->BulkOutStopped == 0) {
        PLIST_ENTRY link =
            ExInterlockedRemoveHeadList(&adapter->PendingTxIrps, &adapter->PendingIrpLock);
        if (link != nullptr) {
            auto* entry = CONTAINING_RECORD(link, PendingIrpEntry, Links);
            next = entry->Irp;
            ExFreePool(entry);
        }
    }
    KeReleaseSpinLockFromDpcLevel(&adapter->BulkOutLock);
    KeLowerIrql(old);
    // Whatever happens to it, that IRP's own completion frees it and returns its descriptor.
    if (next != nullptr) IofCallDriver(adapter->NextDeviceObject, next);
    TransferDone(adapter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID StopBulkOut(AdapterRecord* Adapter) {
    KIRQL old;
    KeAcquireSpinLock(&Adapter->BulkOutLock, &old);
    Adapter->BulkOutStopped = 1;
    KeReleaseSpinLock(&Adapter->BulkOutLock, old);
    // The queued transfers never reached the bus and never will: their IRPs are freed and their
    // descriptors returned here, one at a time. Their packets were completed when they were
    // sent; the frames are lost, as the ones a pipe abort ends are.
    for (;;) {
        PIRP irp = nullptr;
        KeAcquireSpinLock(&Adapter->BulkOutLock, &old);
        PLIST_ENTRY link =
            ExInterlockedRemoveHeadList(&Adapter->PendingTxIrps, &Adapter->PendingIrpLock);
        if (link != nullptr) {
            --Adapter->BulkOutOutstanding;
            auto* entry = CONTAINING_RECORD(link, PendingIrpEntry, Links);
            irp = entry->Irp;
            ExFreePool(entry);
        }
        KeReleaseSpinLock(&Adapter->BulkOutLock, old);
        if (irp == nullptr) return;
        // The descriptor is the context its completion routine would have been given.
        auto* d = static_cast<PacketDescriptor*>(IoGetNextIrpStackLocation(irp)->Context);
        IoFreeIrp(irp);
        ReturnTxDescriptor(Adapter, d);
        TransferDone(Adapter);
    }
}

VOID ResumeBulkOut(AdapterRecord* Adapter) {
    KIRQL old;
    KeAcquireSpinLock(&Adapter->BulkOutLock, &old);
    Adapter->BulkOutStopped = 0;
    KeReleaseSpinLock(&Adapter->BulkOutLock, old);
}

ULONG ReturnTxDescriptor(AdapterRecord* Adapter, PacketDescriptor* Descriptor) {
    NdisAcquireSpinLock(&Adapter->TxLock);
    ListAppendTail(&Adapter->TxFreeList, Descriptor);
    NdisReleaseSpinLock(&Adapter->TxLock);
    // Once a send has found no descriptor, every return gives the receive handler a chance to
    // restart a read that stopped for want of one.
    if (ReadShared(Adapter->TxResourcesExhausted) != 0)
        ArmTimer(Adapter, &Adapter->ReceiveTimer, 0);
    return RESULT_SUCCESS;
}
