#include "host/image/image_exports.h"

#include <cstring>

#include "driver/platform/ndis.h"
#include "driver/platform/nt.h"
#include "driver/platform/usb.h"
#include "host/kernel/kernel.h"
#include "host/world/current.h"

namespace host::image {

namespace {

using host::world::CurrentKernel;

// The conventions of the routines below as the image calls them. On x64 every routine uses the
// Microsoft x64 convention; on x86 the DDK declares the Kf spin-lock routines fastcall and memcpy
// and memset cdecl.
#if defined(__x86_64__)
#define IMAGE_FASTCALL __attribute__((ms_abi))
#define IMAGE_CDECL __attribute__((ms_abi))
#else
#define IMAGE_FASTCALL __attribute__((fastcall))
#define IMAGE_CDECL __attribute__((cdecl))
#endif

// x64 exports what x86 builds from the Kf and Kef routines: the same checks and preemption points
// in the same order (the IRQL first, then the lock; the lock first, then the IRQL).
VOID NTAPI KeAcquireSpinLockAtDpcLevelExport(PKSPIN_LOCK SpinLock) {
    KefAcquireSpinLockAtDpcLevel(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevelExport(PKSPIN_LOCK SpinLock) {
    KefReleaseSpinLockFromDpcLevel(SpinLock);
}

// NdisAcquireSpinLock and KeAcquireSpinLock, as the DDK's macros make them.
KIRQL NTAPI KeAcquireSpinLockRaiseToDpcExport(PKSPIN_LOCK SpinLock) {
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KefAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

VOID NTAPI KeReleaseSpinLockExport(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KefReleaseSpinLockFromDpcLevel(SpinLock);
    KfLowerIrql(NewIrql);
}

KIRQL IMAGE_FASTCALL KfAcquireSpinLockExport(PKSPIN_LOCK SpinLock) {
    return KeAcquireSpinLockRaiseToDpcExport(SpinLock);
}

VOID IMAGE_FASTCALL KfReleaseSpinLockExport(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockExport(SpinLock, NewIrql);
}

PLIST_ENTRY NTAPI ExInterlockedInsertTailListExport(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                    PKSPIN_LOCK Lock) {
    return ExfInterlockedInsertTailList(ListHead, ListEntry, Lock);
}

PLIST_ENTRY NTAPI ExInterlockedRemoveHeadListExport(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    return ExfInterlockedRemoveHeadList(ListHead, Lock);
}

// NdisFreeBuffer is IoFreeMdl in the DDK; every buffer the world hands out is its MDL.
VOID NTAPI IoFreeMdlExport(PMDL Mdl) { NdisFreeBuffer(Mdl); }

// What NdisQueryBuffer calls for an MDL whose flags say it is neither mapped nor of non-paged
// pool. The world's buffers all say they are, so a call here means an MDL the world never made.
PVOID NTAPI MmMapLockedPagesExport(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    (void)AccessMode;
    auto& kernel = CurrentKernel();
    const auto* res = kernel.Find(MemoryDescriptorList);
    kernel.Checked();
    if (res == nullptr || res->kind != kernel::ResourceKind::Buffer)
        kernel.Report(verifier::check::kBadHandle,
                      "MmMapLockedPages of an MDL that is not a live NDIS buffer");
    return MemoryDescriptorList->MappedSystemVa;
}

ULONG NTAPI NdisBufferToSpanPagesExport(PNDIS_BUFFER Buffer) {
    return NDIS_BUFFER_TO_SPAN_PAGES(Buffer);
}

// NdisMoveMemory and NdisZeroMemory in the DDK, with the checks the world makes at those.
void* IMAGE_CDECL MemcpyExport(void* Destination, const void* Source, size_t Length) {
    NdisMoveMemory(Destination, const_cast<void*>(Source), static_cast<ULONG>(Length));
    return Destination;
}

void* IMAGE_CDECL MemsetExport(void* Destination, int Value, size_t Length) {
    if (Value == 0) {
        NdisZeroMemory(Destination, static_cast<ULONG>(Length));
    } else if (CurrentKernel().CheckNotFreed(Destination, "memset")) {
        std::memset(Destination, Value, Length);
    }
    return Destination;
}

template <typename F>
void* Address(F* routine) {
    return reinterpret_cast<void*>(routine);
}

loader::ExportTable Build() {
    loader::ExportTable t;
    const auto ndis = [&t](const char* name, void* address) { t.Add("NDIS.SYS", name, address); };
    ndis("NDIS_BUFFER_TO_SPAN_PAGES", Address(&NdisBufferToSpanPagesExport));
    ndis("NdisAllocateBuffer", Address(&NdisAllocateBuffer));
    ndis("NdisAllocateBufferPool", Address(&NdisAllocateBufferPool));
    ndis("NdisAllocateMemoryWithTag", Address(&NdisAllocateMemoryWithTag));
    ndis("NdisAllocatePacket", Address(&NdisAllocatePacket));
    ndis("NdisAllocatePacketPool", Address(&NdisAllocatePacketPool));
    ndis("NdisCloseConfiguration", Address(&NdisCloseConfiguration));
    ndis("NdisFreeBufferPool", Address(&NdisFreeBufferPool));
    ndis("NdisFreeMemory", Address(&NdisFreeMemory));
    ndis("NdisFreePacket", Address(&NdisFreePacket));
    ndis("NdisFreePacketPool", Address(&NdisFreePacketPool));
    ndis("NdisInitializeWrapper", Address(&NdisInitializeWrapper));
    ndis("NdisMCancelTimer", Address(&NdisMCancelTimer));
    ndis("NdisMDeregisterAdapterShutdownHandler", Address(&NdisMDeregisterAdapterShutdownHandler));
    ndis("NdisMDeregisterInterrupt", Address(&NdisMDeregisterInterrupt));
    ndis("NdisMDeregisterIoPortRange", Address(&NdisMDeregisterIoPortRange));
    ndis("NdisMFreeMapRegisters", Address(&NdisMFreeMapRegisters));
    ndis("NdisMFreeSharedMemory", Address(&NdisMFreeSharedMemory));
    ndis("NdisMGetDeviceProperty", Address(&NdisMGetDeviceProperty));
    ndis("NdisMInitializeTimer", Address(&NdisMInitializeTimer));
    ndis("NdisMRegisterAdapterShutdownHandler", Address(&NdisMRegisterAdapterShutdownHandler));
    ndis("NdisMRegisterMiniport", Address(&NdisMRegisterMiniport));
    ndis("NdisMSetAttributesEx", Address(&NdisMSetAttributesEx));
    ndis("NdisMSetTimer", Address(&NdisMSetTimer));
    ndis("NdisMSleep", Address(&NdisMSleep));
    ndis("NdisOpenConfiguration", Address(&NdisOpenConfiguration));
    ndis("NdisReadConfiguration", Address(&NdisReadConfiguration));
    ndis("NdisReadNetworkAddress", Address(&NdisReadNetworkAddress));
    ndis("NdisWriteErrorLogEntry", Address(&NdisWriteErrorLogEntry));

    t.Add("USBD.SYS", "USBD_CreateConfigurationRequestEx", Address(&USBD_CreateConfigurationRequestEx));
    t.Add("USBD.SYS", "USBD_ParseConfigurationDescriptorEx", Address(&USBD_ParseConfigurationDescriptorEx));

    const auto nt = [&t](const char* name, void* address) { t.Add("ntoskrnl.exe", name, address); };
    nt("ExAllocatePoolWithTag", Address(&ExAllocatePoolWithTag));
    nt("ExFreePool", Address(&ExFreePool));
    nt("ExInterlockedInsertTailList", Address(&ExInterlockedInsertTailListExport));
    nt("ExInterlockedRemoveHeadList", Address(&ExInterlockedRemoveHeadListExport));
    nt("ExfInterlockedInsertTailList", Address(&ExfInterlockedInsertTailList));
    nt("ExfInterlockedRemoveHeadList", Address(&ExfInterlockedRemoveHeadList));
    nt("IoAllocateIrp", Address(&IoAllocateIrp));
    nt("IoBuildDeviceIoControlRequest", Address(&IoBuildDeviceIoControlRequest));
    nt("IoCancelIrp", Address(&IoCancelIrp));
    nt("IoFreeIrp", Address(&IoFreeIrp));
    nt("IoFreeMdl", Address(&IoFreeMdlExport));
    nt("IofCallDriver", Address(&IofCallDriver));
    nt("IofCompleteRequest", Address(&IofCompleteRequest));
    nt("KeAcquireSpinLockAtDpcLevel", Address(&KeAcquireSpinLockAtDpcLevelExport));
    nt("KeAcquireSpinLockRaiseToDpc", Address(&KeAcquireSpinLockRaiseToDpcExport));
    nt("KeInitializeEvent", Address(&KeInitializeEvent));
    nt("KeReleaseSpinLock", Address(&KeReleaseSpinLockExport));
    nt("KeReleaseSpinLockFromDpcLevel", Address(&KeReleaseSpinLockFromDpcLevelExport));
    nt("KeSetEvent", Address(&KeSetEvent));
    nt("KeWaitForSingleObject", Address(&KeWaitForSingleObject));
    nt("KefAcquireSpinLockAtDpcLevel", Address(&KefAcquireSpinLockAtDpcLevel));
    nt("KefReleaseSpinLockFromDpcLevel", Address(&KefReleaseSpinLockFromDpcLevel));
    nt("MmMapLockedPages", Address(&MmMapLockedPagesExport));
    nt("memcpy", Address(&MemcpyExport));
    nt("memset", Address(&MemsetExport));

    const auto hal = [&t](const char* name, void* address) { t.Add("HAL.dll", name, address); };
    hal("KfAcquireSpinLock", Address(&KfAcquireSpinLockExport));
    hal("KfLowerIrql", Address(&KfLowerIrql));
    hal("KfRaiseIrql", Address(&KfRaiseIrql));
    hal("KfReleaseSpinLock", Address(&KfReleaseSpinLockExport));
    hal("KeGetCurrentIrql", Address(&KeGetCurrentIrql));
    return t;
}

}  // namespace

const loader::ExportTable& WorldExports() {
    static const loader::ExportTable table = Build();
    return table;
}

}  // namespace host::image
