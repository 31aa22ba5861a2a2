#include "driver/usb/registers.h"

#include "driver/frame/pool_tags.h"
#include "driver/usb/sync_request.h"
#include "driver/usb/tracked_request.h"

namespace {

VOID BuildVendorRequest(URB* urb, bool read, USHORT count, USHORT reg, PVOID buffer, USHORT value) {
    NdisZeroMemory(urb, sizeof(URB));
    auto& r = urb->UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    r.TransferFlags = read ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = count;
    r.TransferBuffer = buffer;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    r.RequestTypeReservedBits = 0;
    r.Request = read ? VENDOR_READ_REGISTERS : VENDOR_WRITE_REGISTERS;
    r.Value = value;
    r.Index = reg;
}

}  // namespace

ULONG ReadRegisters(AdapterRecord* Adapter, USHORT Count, USHORT Register) {
    URB urb;
    BuildVendorRequest(&urb, true, Count, Register, Adapter->RegisterReadBuffer, 0);
    return SubmitUrbSync(Adapter, &urb) == RESULT_SUCCESS ? RESULT_SUCCESS : RESULT_FAILURE;
}

ULONG WriteRegisters(AdapterRecord* Adapter, USHORT Count, USHORT Register) {
    URB urb;
    // A one-byte write carries its byte in wValue as well as in the data stage.
    const USHORT value = Count == 1 ? Adapter->RegisterWriteBuffer[0] : 0;
    BuildVendorRequest(&urb, false, Count, Register, Adapter->RegisterWriteBuffer, value);
    return SubmitUrbSync(Adapter, &urb) == RESULT_SUCCESS ? RESULT_SUCCESS : RESULT_FAILURE;
}

namespace {

RegisterRequest* TakeSlot(AdapterRecord* Adapter) {
    RegisterRequest* slot = nullptr;
    KIRQL old;
    KeAcquireSpinLock(&Adapter->RequestLock, &old);
    for (ULONG i = 0; i < REGISTER_REQUEST_SLOTS && slot == nullptr; ++i) {
        if (Adapter->RegisterRequests[i].InUse == 0) {
            slot = &Adapter->RegisterRequests[i];
            slot->InUse = 1;
        }
    }
    KeReleaseSpinLock(&Adapter->RequestLock, old);
    return slot;
}

VOID ReleaseSlot(AdapterRecord* Adapter, RegisterRequest* Slot) {
    KIRQL old;
    KeAcquireSpinLock(&Adapter->RequestLock, &old);
    Slot->InUse = 0;
    KeReleaseSpinLock(&Adapter->RequestLock, old);
}

// Builds the request in a fresh pool block of a free slot and passes it down with `routine` as
// completion. The slot keeps the request's own block, IRP and continuations, so that a request
// started while an earlier one is still below (power-down after a wait ran out) overwrites
// nothing of it.
ULONG StartAsync(AdapterRecord* Adapter, PURB* latest, bool read, USHORT Count, USHORT Register,
                 PVOID Data, PIO_COMPLETION_ROUTINE routine) {
    RegisterRequest* slot = TakeSlot(Adapter);
    if (slot == nullptr) return RESULT_FAILURE;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kRequestBlockTag));
    if (urb == nullptr) {
        ReleaseSlot(Adapter, slot);
        return RESULT_FAILURE;
    }
    auto& r = urb->UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    r.TransferFlags = read ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = Count;
    r.TransferBuffer = Data;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    r.RequestTypeReservedBits = 0;
    r.Request = read ? VENDOR_READ_REGISTERS : VENDOR_WRITE_REGISTERS;
    r.Value = 0;
    r.Index = Register;

    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(Adapter->IrpStackSize), FALSE);
    if (irp == nullptr) {
        ExFreePool(urb);
        ReleaseSlot(Adapter, slot);
        return RESULT_FAILURE;
    }
    slot->Adapter = Adapter;
    slot->Urb = urb;
    slot->Next = Adapter->NextStep;
    slot->Abort = Adapter->ChainAbortStep;
    *latest = urb;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(irp, routine, slot, TRUE, TRUE, TRUE);
    TrackRequest(Adapter, &slot->Tracked, irp);
    return static_cast<ULONG>(IofCallDriver(Adapter->NextDeviceObject, irp));
}

// The outcome is not looked at: a failed or stalled request runs the next step just as a
// successful one does (a failed read leaves RegisterReadBuffer as it was). A request that was
// cancelled (the device never answered it) ends the sequence it belonged to instead.
NTSTATUS CompleteRegisterRequest(PIRP Irp, RegisterRequest* Slot, PURB* Latest) {
    AdapterRecord* adapter = Slot->Adapter;
    const BOOLEAN freeIrp = UntrackRequest(adapter, &Slot->Tracked, Irp);
    PURB urb = Slot->Urb;
    const BOOLEAN cancelled = Irp->IoStatus.Status == STATUS_CANCELLED && Slot->Abort != nullptr;
    const Continuation next = cancelled ? Slot->Abort : Slot->Next;
    Slot->Urb = nullptr;
    if (*Latest == urb) *Latest = nullptr;
    ReleaseSlot(adapter, Slot);
    ExFreePool(urb);
    if (freeIrp) IoFreeIrp(Irp);
    next(adapter);
    RequestCompleted(adapter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

ULONG ReadRegistersAsync(AdapterRecord* Adapter, USHORT Count, USHORT Register) {
    return StartAsync(Adapter, &Adapter->AsyncReadUrb, true, Count, Register,
                      Adapter->RegisterReadBuffer, AsyncReadComplete);
}

ULONG WriteRegistersAsync(AdapterRecord* Adapter, USHORT Count, USHORT Register, PVOID Data) {
    return StartAsync(Adapter, &Adapter->AsyncWriteUrb, false, Count, Register, Data,
                      AsyncWriteComplete);
}

NTSTATUS NTAPI AsyncReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto* slot = static_cast<RegisterRequest*>(Context);
    return CompleteRegisterRequest(Irp, slot, &slot->Adapter->AsyncReadUrb);
}

NTSTATUS NTAPI AsyncWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto* slot = static_cast<RegisterRequest*>(Context);
    return CompleteRegisterRequest(Irp, slot, &slot->Adapter->AsyncWriteUrb);
}
