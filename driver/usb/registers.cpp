#include "driver/usb/registers.h"

#include "driver/usb/sync_request.h"

namespace {

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
