#include "driver/usb/registers.h"

#include "driver/usb/sync_request.h"

namespace {

constexpr ULONG kPoolTag = MAKE_POOL_TAG('W', 'd', 'm', ' ');

VOID BuildVendorRequest(URB* urb, bool read, USHORT count, USHORT reg, PVOID buffer, USHORT value) {
    PUCHAR bytes = reinterpret_cast<PUCHAR>(urb);
    for (size_t i = 0; i < sizeof(URB); ++i) bytes[i] = 0;
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

// Builds the request in a fresh pool block and passes it down with `routine` as completion.
ULONG StartAsync(AdapterRecord* Adapter, PURB* slot, bool read, USHORT Count, USHORT Register,
                 PVOID Data, PIO_COMPLETION_ROUTINE routine) {
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kPoolTag));
    if (urb == nullptr) return RESULT_FAILURE;
    *slot = urb;
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
        *slot = nullptr;
        return RESULT_FAILURE;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(irp, routine, Adapter, TRUE, TRUE, TRUE);
    return static_cast<ULONG>(IofCallDriver(Adapter->NextDeviceObject, irp));
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

// The outcome is not looked at: a failed, stalled or cancelled request runs the next step just
// as a successful one does (a failed read leaves RegisterReadBuffer as it was).
NTSTATUS AsyncReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto* adapter = static_cast<AdapterRecord*>(Context);
    ExFreePool(adapter->AsyncReadUrb);
    IoFreeIrp(Irp);
    adapter->NextStep(adapter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS AsyncWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto* adapter = static_cast<AdapterRecord*>(Context);
    ExFreePool(adapter->AsyncWriteUrb);
    IoFreeIrp(Irp);
    adapter->NextStep(adapter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
