#include "driver/usb/sync_request.h"

namespace {
// Relative time-out of 10 seconds, in 100-nanosecond units.
constexpr LONGLONG kSyncTimeout = -100000000LL;
}  // namespace

ULONG SubmitUrbSync(AdapterRecord* Adapter, PURB Urb) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                             Adapter->NextDeviceObject, nullptr, 0, nullptr, 0,
                                             TRUE, &event, &ioStatus);
    if (irp == nullptr) return RESULT_FAILURE;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    const NTSTATUS status = IofCallDriver(Adapter->NextDeviceObject, irp);
    if (status != STATUS_PENDING) return RESULT_SUCCESS;

    LARGE_INTEGER timeout;
    timeout.QuadPart = kSyncTimeout;
    if (KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        // The event and status block live in this frame: the cancelled request must complete
        // into them before the frame goes away, so wait for that completion as well.
        IoCancelIrp(irp);
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
        return static_cast<ULONG>(STATUS_IO_TIMEOUT);
    }
    return RESULT_SUCCESS;
}
