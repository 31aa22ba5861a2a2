#include "driver/media/mac_mode.h"

#include "driver/frame/atomic.h"
#include "driver/frame/pool_tags.h"
#include "driver/media/link_poll.h"
#include "driver/media/media_programming.h"
#include "driver/usb/phy_access.h"
#include "driver/usb/registers.h"
#include "driver/usb/tracked_request.h"

namespace {

constexpr USHORT kMacRegisterCount = 3;

// FilterWriteLock held: the waiting bytes become the bytes to send.
VOID TakeStagedBytes(AdapterRecord* Adapter) {
    for (ULONG i = 0; i < kMacRegisterCount; ++i)
        Adapter->FilterWriteBuffer[i] = Adapter->FilterStagedBuffer[i];
    Adapter->FilterWriteStaged = 0;
}

// Passes down one write of FilterWriteBuffer to registers 0..2. TRUE once the IRP has gone down:
// its completion then owns the request block and decides what follows. FALSE when no request
// block or IRP could be had; nothing was sent.
BOOLEAN StartFilterWrite(AdapterRecord* Adapter) {
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kRequestBlockTag));
    if (urb == nullptr) return FALSE;
    NdisZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    auto& r = urb->UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    r.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = kMacRegisterCount;
    r.TransferBuffer = Adapter->FilterWriteBuffer;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    r.RequestTypeReservedBits = 0;
    r.Request = VENDOR_WRITE_REGISTERS;
    r.Value = 0;
    r.Index = 0x00;

    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(Adapter->IrpStackSize), FALSE);
    if (irp == nullptr) {
        ExFreePool(urb);
        return FALSE;
    }
    Adapter->FilterWriteUrb = urb;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(irp, PacketFilterWriteComplete, Adapter, TRUE, TRUE, TRUE);
    TrackRequest(Adapter, &Adapter->FilterRequest, irp);
    // Whatever the lower driver answers, the completion runs.
    IofCallDriver(Adapter->NextDeviceObject, irp);
    return TRUE;
}

// Sends FilterWriteBuffer (FilterWriteInFlight set by the caller). A write that cannot be
// started is dropped, as a failed register write would be; bytes staged meanwhile are newer and
// get their own try, and with none the filter write ends.
VOID SendFilterBytes(AdapterRecord* Adapter) {
    while (!StartFilterWrite(Adapter)) {
        KIRQL old;
        KeAcquireSpinLock(&Adapter->FilterWriteLock, &old);
        const BOOLEAN again = Adapter->FilterWriteStaged != 0;
        if (again) TakeStagedBytes(Adapter);
        else Adapter->FilterWriteInFlight = 0;
        KeReleaseSpinLock(&Adapter->FilterWriteLock, old);
        if (!again) return;
    }
}

// Register 2 as the receive mode of the last filter applied has it: the receive bit, and the
// promiscuous bit when asked for; 0x00 while no filter has been applied.
UCHAR ReceiveModeRegister2(AdapterRecord* Adapter) {
    if (ReadShared(Adapter->ReceiveModeApplied) == 0) return 0x00;
    return static_cast<UCHAR>(
        MAC_CONTROL2_RECEIVE |
        ((ReadShared(Adapter->ReceiveModeMask) & RECEIVE_MODE_PROMISCUOUS) ? MAC_CONTROL2_PROMISCUOUS
                                                                           : 0));
}

}  // namespace

VOID IndicateLinkState(AdapterRecord* Adapter) {
    NDIS_STATUS status;
    const ULONG link = ReadShared(Adapter->LinkState);
    if (link == LINK_CONNECTED) status = NDIS_STATUS_MEDIA_CONNECT;
    else if (link == LINK_DISCONNECTED) status = NDIS_STATUS_MEDIA_DISCONNECT;
    else return;
    NdisMIndicateStatus(Adapter->MiniportAdapterHandle, status, nullptr, 0);
    NdisMIndicateStatusComplete(Adapter->MiniportAdapterHandle);
    WriteShared(Adapter->LinkChangePending, 0);
}

VOID ComputeMacControl1(AdapterRecord* Adapter) {
    // Computed aside and stored once: the packet-filter write may read the shadow meanwhile.
    UCHAR value = 0x00;
    if (Adapter->ActivePhyId != PHY_ID_PHONE_6B90) {
        if (ReadShared(Adapter->SpeedCode) == SPEED_100) value = MAC_CONTROL1_100MBPS;
        if (ReadShared(Adapter->DuplexCode) == DUPLEX_FULL) value |= MAC_CONTROL1_FULL_DUPLEX;
    }
    WriteShared(Adapter->MacControl1, value);
}

VOID PulseMacReset(AdapterRecord* Adapter) {
    Adapter->RegisterWriteBuffer[0] = 0x00;
    Adapter->RegisterWriteBuffer[1] = 0x00;
    WriteRegisters(Adapter, 2, 0x00);
    NdisMSleep(1000);
    Adapter->RegisterWriteBuffer[0] = MAC_CONTROL1_RESET_PULSE;
    Adapter->RegisterWriteBuffer[1] = 0x00;
    WriteRegisters(Adapter, 2, 0x01);
    NdisMSleep(1000);
}

VOID WriteInitialMacMode(AdapterRecord* Adapter) {
    WriteShared(Adapter->MacControl0, MAC_CONTROL0_INITIAL);
    Adapter->RegisterWriteBuffer[0] = MAC_CONTROL0_INITIAL;
    Adapter->RegisterWriteBuffer[1] = ReadShared(Adapter->MacControl1);
    Adapter->RegisterWriteBuffer[2] = 0x00;
    WriteRegisters(Adapter, 3, 0x00);
    NdisMSleep(1000);
}

ULONG ApplyPacketFilter(AdapterRecord* Adapter, ULONG ReceiveModeMask) {
    // Kept for a reset, which restores the receive mode its restart of the MAC clears, and for
    // the poll's rewrite of registers 1 and 2.
    WriteShared(Adapter->ReceiveModeMask, ReceiveModeMask);
    WriteShared(Adapter->ReceiveModeApplied, 1);
    UCHAR control0 = ReadShared(Adapter->MacControl0);
    if (ReceiveModeMask & RECEIVE_MODE_ALL_MULTICAST) control0 |= MAC_CONTROL0_ALL_MULTICAST;
    else control0 &= static_cast<UCHAR>(~MAC_CONTROL0_ALL_MULTICAST);
    WriteShared(Adapter->MacControl0, control0);

    KIRQL old;
    KeAcquireSpinLock(&Adapter->FilterWriteLock, &old);
    Adapter->FilterStagedBuffer[0] = control0;
    Adapter->FilterStagedBuffer[1] = ReadShared(Adapter->MacControl1);
    Adapter->FilterStagedBuffer[2] = ReceiveModeRegister2(Adapter);
    // A write in flight sends these bytes when it completes; bytes already waiting are older and
    // are replaced.
    const BOOLEAN send = Adapter->FilterWriteInFlight == 0;
    if (send) {
        Adapter->FilterWriteInFlight = 1;
        TakeStagedBytes(Adapter);
    } else {
        Adapter->FilterWriteStaged = 1;
    }
    KeReleaseSpinLock(&Adapter->FilterWriteLock, old);

    if (send) SendFilterBytes(Adapter);
    return RESULT_SUCCESS;
}

NTSTATUS NTAPI PacketFilterWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto* adapter = static_cast<AdapterRecord*>(Context);
    // The outcome is not looked at: the filter was answered long ago.
    const BOOLEAN freeIrp = UntrackRequest(adapter, &adapter->FilterRequest, Irp);
    ExFreePool(adapter->FilterWriteUrb);
    adapter->FilterWriteUrb = nullptr;
    if (freeIrp) IoFreeIrp(Irp);

    KIRQL old;
    KeAcquireSpinLock(&adapter->FilterWriteLock, &old);
    const BOOLEAN again = adapter->FilterWriteStaged != 0;
    if (again) TakeStagedBytes(adapter);
    else adapter->FilterWriteInFlight = 0;
    KeReleaseSpinLock(&adapter->FilterWriteLock, old);
    if (again) SendFilterBytes(adapter);
    RequestCompleted(adapter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN PacketFilterWritePending(AdapterRecord* Adapter) {
    KIRQL old;
    KeAcquireSpinLock(&Adapter->FilterWriteLock, &old);
    const BOOLEAN pending = Adapter->FilterWriteInFlight != 0;
    KeReleaseSpinLock(&Adapter->FilterWriteLock, old);
    return pending;
}

ULONG UpdateMacControl1(AdapterRecord* Adapter) {
    const UCHAR before = ReadShared(Adapter->MacControl1);
    ComputeMacControl1(Adapter);
    const UCHAR now = ReadShared(Adapter->MacControl1);
    if (now == before) return SelectMediaPath(Adapter);
    // Register 2 is written with it: it keeps the receive mode of the last filter that reached
    // the MAC (0x00 before any), so a change of speed does not silently end promiscuous
    // reception that a query of the filter still reports.
    Adapter->RegisterWriteBuffer[0] = now;
    Adapter->RegisterWriteBuffer[1] = ReceiveModeRegister2(Adapter);
    Adapter->NextStep = SelectMediaPath;
    return EndCycleUnlessStarted(Adapter,
                                 WriteRegistersAsync(Adapter, 2, 0x01, Adapter->RegisterWriteBuffer));
}

ULONG ApplyPartnerAbility(AdapterRecord* Adapter) {
    DecodePartnerAbility(Adapter, ReadBufferWord(Adapter));
    return UpdateMacControl1(Adapter);
}
