// The NDIS wrapper routines of the platform layer, implemented on the current world.
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <string>

#include "driver/platform/ndis.h"
#include "host/kernel/kernel.h"
#include "host/ndis/ndis.h"
#include "host/world/current.h"

using host::kernel::Kernel;
using host::kernel::LockKind;
using host::kernel::ResourceKind;
using host::ndis::Adapter;
using host::ndis::Ndis;
using host::sim::AllocKind;
using host::world::CurrentKernel;
using host::world::CurrentNdis;
namespace check = host::verifier::check;

namespace {

struct PacketPool {
    UINT capacity;
    UINT reserved;
    UINT inUse = 0;
};

struct BufferPool {
    UINT capacity;
    UINT inUse = 0;
};

// NDIS buffers carry their pool behind the descriptor.
struct PooledBuffer {
    MDL mdl;
    BufferPool* pool;
};

struct OpenConfiguration {
    Adapter* adapter;
    std::deque<NDIS_CONFIGURATION_PARAMETER> parameters;
    std::deque<std::u16string> strings;
    std::deque<std::vector<uint8_t>> addresses;
};

std::string Narrow(const NDIS_STRING* s) {
    std::string out;
    if (s == nullptr || s->Buffer == nullptr) return out;
    for (USHORT i = 0; i < s->Length / 2; ++i) out += static_cast<char>(s->Buffer[i] & 0x7F);
    return out;
}

bool ParseNumber(const std::string& text, int base, ULONG& value) {
    std::string t = text;
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
    size_t i = 0;
    while (i < t.size() && std::isspace(static_cast<unsigned char>(t[i]))) ++i;
    if (base == 16 && t.size() >= i + 2 && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X'))
        i += 2;
    if (i >= t.size()) return false;
    uint64_t v = 0;
    for (; i < t.size(); ++i) {
        const int c = std::tolower(static_cast<unsigned char>(t[i]));
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFull) return false;
    }
    value = static_cast<ULONG>(v);
    return true;
}

OpenConfiguration* ConfigFrom(NDIS_HANDLE h) {
    Kernel& k = CurrentKernel();
    const auto* res = k.Find(h);
    k.Checked();
    if (res == nullptr || res->kind != ResourceKind::Configuration) {
        k.Report(check::kBadHandle, "unknown configuration handle");
        return nullptr;
    }
    return static_cast<OpenConfiguration*>(h);
}

}  // namespace

extern "C" {

VOID NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                           PVOID SystemSpecific2, PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    *NdisWrapperHandle = &CurrentNdis();
}

NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength) {
    return CurrentNdis().Register(NdisWrapperHandle, MiniportCharacteristics,
                                  CharacteristicsLength);
}

VOID NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                          UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                          NDIS_INTERFACE_TYPE AdapterType) {
    CurrentNdis().SetAttributes(MiniportAdapterHandle, MiniportAdapterContext,
                                CheckForHangTimeInSeconds, AttributeFlags, AdapterType);
}

VOID NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle, PDEVICE_OBJECT* PhysicalDeviceObject,
                            PDEVICE_OBJECT* FunctionalDeviceObject,
                            PDEVICE_OBJECT* NextDeviceObject, PVOID* AllocatedResources,
                            PVOID* AllocatedResourcesTranslated) {
    Adapter* a = CurrentNdis().FromHandle(MiniportAdapterHandle);
    if (!a) return;
    if (PhysicalDeviceObject) *PhysicalDeviceObject = &a->pdo;
    if (FunctionalDeviceObject) *FunctionalDeviceObject = &a->fdo;
    if (NextDeviceObject) *NextDeviceObject = a->bus->DeviceObject();
    if (AllocatedResources) *AllocatedResources = nullptr;
    if (AllocatedResourcesTranslated) *AllocatedResourcesTranslated = nullptr;
}

VOID NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler) {
    Adapter* a = CurrentNdis().FromHandle(MiniportHandle);
    if (!a) return;
    a->shutdownHandler = ShutdownHandler;
    a->shutdownContext = ShutdownContext;
}

VOID NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle) {
    Adapter* a = CurrentNdis().FromHandle(MiniportHandle);
    if (!a) return;
    a->shutdownHandler = nullptr;
    a->shutdownContext = nullptr;
}

VOID NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext) {
    auto* wc = static_cast<host::ndis::WrapperConfiguration*>(WrapperConfigurationContext);
    Kernel& k = CurrentKernel();
    k.Checked();
    if (wc == nullptr || wc->adapter == nullptr) {
        k.Report(check::kBadHandle, "NdisOpenConfiguration with an unknown context");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    auto* h = new OpenConfiguration{wc->adapter, {}, {}, {}};
    k.Track(h, ResourceKind::Configuration, sizeof *h, MAKE_POOL_TAG('C', 'f', 'g', ' '));
    *ConfigurationHandle = h;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                           NDIS_PARAMETER_TYPE ParameterType) {
    *Status = NDIS_STATUS_FAILURE;
    OpenConfiguration* h = ConfigFrom(ConfigurationHandle);
    if (!h) return;
    auto it = h->adapter->registry.find(Narrow(Keyword));
    if (it == h->adapter->registry.end()) return;
    NDIS_CONFIGURATION_PARAMETER param{};
    if (const auto* number = std::get_if<uint32_t>(&it->second)) {
        if (ParameterType == NdisParameterString) return;
        param.ParameterType = ParameterType;
        param.ParameterData.IntegerData = *number;
    } else {
        const std::string& text = std::get<std::string>(it->second);
        if (ParameterType == NdisParameterInteger || ParameterType == NdisParameterHexInteger) {
            ULONG v = 0;
            if (!ParseNumber(text, ParameterType == NdisParameterHexInteger ? 16 : 10, v)) return;
            param.ParameterType = ParameterType;
            param.ParameterData.IntegerData = v;
        } else {
            h->strings.emplace_back(text.begin(), text.end());
            std::u16string& s = h->strings.back();
            param.ParameterType = NdisParameterString;
            param.ParameterData.StringData.Buffer = s.data();
            param.ParameterData.StringData.Length = static_cast<USHORT>(s.size() * 2);
            param.ParameterData.StringData.MaximumLength = static_cast<USHORT>(s.size() * 2 + 2);
        }
    }
    h->parameters.push_back(param);
    *ParameterValue = &h->parameters.back();
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                            PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle) {
    *Status = NDIS_STATUS_FAILURE;
    OpenConfiguration* h = ConfigFrom(ConfigurationHandle);
    if (!h) return;
    auto it = h->adapter->registry.find("NetworkAddress");
    if (it == h->adapter->registry.end()) return;
    const auto* text = std::get_if<std::string>(&it->second);
    if (text == nullptr) return;
    // Hex digit pairs; dashes, colons and spaces between them are accepted.
    std::vector<uint8_t> bytes;
    int pending = -1;
    for (char c : *text) {
        if (c == '-' || c == ':' || c == ' ') continue;
        const int lc = std::tolower(static_cast<unsigned char>(c));
        int d;
        if (lc >= '0' && lc <= '9') d = lc - '0';
        else if (lc >= 'a' && lc <= 'f') d = lc - 'a' + 10;
        else return;
        if (pending < 0) pending = d;
        else {
            bytes.push_back(static_cast<uint8_t>(pending * 16 + d));
            pending = -1;
        }
    }
    if (pending >= 0 || bytes.empty()) return;
    h->addresses.push_back(std::move(bytes));
    *NetworkAddress = h->addresses.back().data();
    *NetworkAddressLength = static_cast<UINT>(h->addresses.back().size());
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    OpenConfiguration* h = ConfigFrom(ConfigurationHandle);
    if (!h) return;
    CurrentKernel().Untrack(h, ResourceKind::Configuration, "NdisCloseConfiguration");
    delete h;
}

NDIS_STATUS NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag) {
    Kernel& k = CurrentKernel();
    const auto site = host::sim::SiteOfCaller(k.Faults(), AllocKind::Memory);
    if (k.Faults().ShouldFail(AllocKind::Memory, k.CurrentAdapter(), site ? &*site : nullptr)) {
        *VirtualAddress = nullptr;
        return NDIS_STATUS_FAILURE;
    }
    *VirtualAddress = k.Allocate(ResourceKind::NdisMemory, Length, Tag);
    return NDIS_STATUS_SUCCESS;
}

VOID NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
    (void)MemoryFlags;
    CurrentKernel().Free(VirtualAddress, ResourceKind::NdisMemory, "NdisFreeMemory", Length);
}

VOID NdisMoveMemory(PVOID Destination, PVOID Source, ULONG Length) {
    const auto* to = static_cast<const uint8_t*>(Destination);
    const auto* from = static_cast<const uint8_t*>(Source);
    if (!CurrentKernel().CheckNotFreed(Destination, "NdisMoveMemory destination") ||
        !CurrentKernel().CheckNotFreed(Source, "NdisMoveMemory source"))
        return;
    CurrentKernel().Checked();
    if (Length != 0 && to < from + Length && from < to + Length) {
        CurrentKernel().Report(check::kMoveOverlap, "NdisMoveMemory of " + std::to_string(Length) +
                                                        " bytes between overlapping ranges");
        std::memmove(Destination, Source, Length);
        return;
    }
    std::memcpy(Destination, Source, Length);
}

VOID NdisZeroMemory(PVOID Destination, ULONG Length) {
    if (!CurrentKernel().CheckNotFreed(Destination, "NdisZeroMemory")) return;
    std::memset(Destination, 0, Length);
}

VOID NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    SpinLock->SpinLock = 0;
    SpinLock->OldIrql = PASSIVE_LEVEL;
}

VOID NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Kernel& k = CurrentKernel();
    const KIRQL old = k.CurrentIrql();
    k.Checked();
    if (old > DISPATCH_LEVEL) {
        k.Report(check::kLockIrql, "NdisAcquireSpinLock above DISPATCH_LEVEL");
    } else {
        k.Raise(DISPATCH_LEVEL);
    }
    k.AcquireLock(&SpinLock->SpinLock, LockKind::Ndis);
    SpinLock->SpinLock = 1;
    SpinLock->OldIrql = old;
}

VOID NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Kernel& k = CurrentKernel();
    // The level to return to is read while the lock is still held: once it is released,
    // another processor may take it and store its own.
    const KIRQL old = SpinLock->OldIrql;
    SpinLock->SpinLock = 0;
    k.ReleaseLock(&SpinLock->SpinLock, LockKind::Ndis);
    k.Lower(old);
}

VOID NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    CurrentKernel().Checked();
    if (SpinLock->SpinLock != 0)
        CurrentKernel().Report(check::kLockAtExit, "NdisFreeSpinLock of a held lock");
}

VOID NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
    CurrentNdis().InitializeTimer(Timer, MiniportAdapterHandle, TimerFunction, FunctionContext);
}

VOID NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay) {
    CurrentNdis().SetTimer(Timer, MillisecondsToDelay);
}

VOID NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
    const bool was = CurrentNdis().CancelTimer(Timer);
    if (TimerCancelled) *TimerCancelled = was ? TRUE : FALSE;
}

VOID NdisMSleep(ULONG MicrosecondsToSleep) { CurrentKernel().Sleep(MicrosecondsToSleep); }

VOID NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                            UINT NumberOfDescriptors, UINT ProtocolReservedLength) {
    Kernel& k = CurrentKernel();
    *PoolHandle = nullptr;
    const auto site = host::sim::SiteOfCaller(k.Faults(), AllocKind::PacketPool);
    if (k.Faults().ShouldFail(AllocKind::PacketPool, k.CurrentAdapter(), site ? &*site : nullptr)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto* pool = new PacketPool{NumberOfDescriptors, ProtocolReservedLength};
    k.Track(pool, ResourceKind::PacketPool, sizeof *pool, MAKE_POOL_TAG('P', 'k', 't', 'P'));
    *PoolHandle = pool;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                            UINT NumberOfDescriptors) {
    Kernel& k = CurrentKernel();
    *PoolHandle = nullptr;
    const auto site = host::sim::SiteOfCaller(k.Faults(), AllocKind::BufferPool);
    if (k.Faults().ShouldFail(AllocKind::BufferPool, k.CurrentAdapter(), site ? &*site : nullptr)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto* pool = new BufferPool{NumberOfDescriptors};
    k.Track(pool, ResourceKind::BufferPool, sizeof *pool, MAKE_POOL_TAG('B', 'u', 'f', 'P'));
    *PoolHandle = pool;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet, NDIS_HANDLE PoolHandle) {
    Kernel& k = CurrentKernel();
    *Packet = nullptr;
    const auto* res = k.Find(PoolHandle);
    k.Checked();
    if (res == nullptr || res->kind != ResourceKind::PacketPool) {
        k.Report(check::kBadHandle, "NdisAllocatePacket from an unknown pool");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    auto* pool = static_cast<PacketPool*>(PoolHandle);
    const auto site = host::sim::SiteOfCaller(k.Faults(), AllocKind::Packet);
    if (k.Faults().ShouldFail(AllocKind::Packet, k.CurrentAdapter(), site ? &*site : nullptr) ||
        pool->inUse >= pool->capacity) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    const size_t reserved = (pool->reserved + 7) & ~size_t{7};
    const size_t oob = (offsetof(NDIS_PACKET, ProtocolReserved) + reserved + 7) & ~size_t{7};
    auto* p = static_cast<PNDIS_PACKET>(
        k.Allocate(ResourceKind::Packet, oob + sizeof(NDIS_PACKET_OOB_DATA), 0, true));
    p->Private.Pool = pool;
    p->Private.NdisPacketOobOffset = static_cast<USHORT>(oob);
    p->Private.ValidCounts = TRUE;
    ++pool->inUse;
    *Packet = p;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisFreePacket(PNDIS_PACKET Packet) {
    Kernel& k = CurrentKernel();
    const auto* res = k.Find(Packet);
    k.Checked();
    if (res == nullptr || res->kind != ResourceKind::Packet) {
        k.Report(check::kFreeUnknown, "NdisFreePacket of something that is not a live packet");
        return;
    }
    auto* pool = static_cast<PacketPool*>(Packet->Private.Pool);
    if (k.Find(pool) != nullptr) --pool->inUse;
    k.Free(Packet, ResourceKind::Packet, "NdisFreePacket");
}

VOID NdisFreePacketPool(NDIS_HANDLE PoolHandle) {
    Kernel& k = CurrentKernel();
    const auto* res = k.Find(PoolHandle);
    k.Checked();
    if (res == nullptr || res->kind != ResourceKind::PacketPool) {
        k.Report(check::kFreeUnknown, "NdisFreePacketPool of an unknown pool");
        return;
    }
    auto* pool = static_cast<PacketPool*>(PoolHandle);
    k.Checked();
    if (pool->inUse != 0)
        k.Report(check::kPoolBusyAtFree, "packet pool freed with " + std::to_string(pool->inUse) +
                                             " packet(s) still allocated");
    k.Untrack(pool, ResourceKind::PacketPool, "NdisFreePacketPool");
    delete pool;
}

VOID NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer, NDIS_HANDLE PoolHandle,
                        PVOID VirtualAddress, UINT Length) {
    Kernel& k = CurrentKernel();
    *Buffer = nullptr;
    const auto* res = k.Find(PoolHandle);
    k.Checked();
    if (res == nullptr || res->kind != ResourceKind::BufferPool) {
        k.Report(check::kBadHandle, "NdisAllocateBuffer from an unknown pool");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    auto* pool = static_cast<BufferPool*>(PoolHandle);
    const auto site = host::sim::SiteOfCaller(k.Faults(), AllocKind::Buffer);
    if (k.Faults().ShouldFail(AllocKind::Buffer, k.CurrentAdapter(), site ? &*site : nullptr) ||
        pool->inUse >= pool->capacity) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto* b = static_cast<PooledBuffer*>(
        k.Allocate(ResourceKind::Buffer, sizeof(PooledBuffer), 0, true));
    b->pool = pool;
    const auto va = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    b->mdl.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
    b->mdl.MappedSystemVa = VirtualAddress;
    b->mdl.StartVa = reinterpret_cast<PVOID>(va & ~ULONG_PTR{NDIS_PAGE_SIZE - 1});
    b->mdl.ByteOffset = static_cast<ULONG>(va & (NDIS_PAGE_SIZE - 1));
    b->mdl.ByteCount = Length;
    ++pool->inUse;
    *Buffer = &b->mdl;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisFreeBuffer(PNDIS_BUFFER Buffer) {
    Kernel& k = CurrentKernel();
    const auto* res = k.Find(Buffer);
    k.Checked();
    if (res == nullptr || res->kind != ResourceKind::Buffer) {
        k.Report(check::kFreeUnknown, "NdisFreeBuffer of something that is not a live buffer");
        return;
    }
    auto* b = reinterpret_cast<PooledBuffer*>(Buffer);
    if (k.Find(b->pool) != nullptr) --b->pool->inUse;
    k.Free(b, ResourceKind::Buffer, "NdisFreeBuffer");
}

VOID NdisFreeBufferPool(NDIS_HANDLE PoolHandle) {
    Kernel& k = CurrentKernel();
    const auto* res = k.Find(PoolHandle);
    k.Checked();
    if (res == nullptr || res->kind != ResourceKind::BufferPool) {
        k.Report(check::kFreeUnknown, "NdisFreeBufferPool of an unknown pool");
        return;
    }
    auto* pool = static_cast<BufferPool*>(PoolHandle);
    k.Checked();
    if (pool->inUse != 0)
        k.Report(check::kPoolBusyAtFree, "buffer pool freed with " + std::to_string(pool->inUse) +
                                             " buffer(s) still allocated");
    k.Untrack(pool, ResourceKind::BufferPool, "NdisFreeBufferPool");
    delete pool;
}

VOID NdisAdjustBufferLength(PNDIS_BUFFER Buffer, UINT Length) { Buffer->ByteCount = Length; }

VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
    if (VirtualAddress) *VirtualAddress = Buffer->MappedSystemVa;
    if (Length) *Length = Buffer->ByteCount;
}

VOID NdisQueryBufferOffset(PNDIS_BUFFER Buffer, PUINT Offset, PUINT Length) {
    if (Offset) *Offset = Buffer->ByteOffset;
    if (Length) *Length = Buffer->ByteCount;
}

VOID NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                           PVOID VirtualAddress, NDIS_PHYSICAL_ADDRESS PhysicalAddress) {
    (void)MiniportAdapterHandle;
    (void)Cached;
    (void)VirtualAddress;
    (void)PhysicalAddress;
    CurrentNdis().NoteRelease("NdisMFreeSharedMemory " + std::to_string(Length));
}

VOID NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                UINT NumberOfPorts, PVOID PortOffset) {
    (void)MiniportAdapterHandle;
    (void)PortOffset;
    CurrentNdis().NoteRelease("NdisMDeregisterIoPortRange " + std::to_string(InitialPort) + " " +
                              std::to_string(NumberOfPorts));
}

VOID NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
    (void)Interrupt;
    CurrentNdis().NoteRelease("NdisMDeregisterInterrupt");
}

VOID NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle) {
    (void)MiniportAdapterHandle;
    CurrentNdis().NoteRelease("NdisMFreeMapRegisters");
}

VOID NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle, PPNDIS_PACKET ReceivePackets,
                                UINT NumberOfPackets) {
    CurrentNdis().IndicateReceive(MiniportAdapterHandle, ReceivePackets, NumberOfPackets);
}

VOID NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status) {
    CurrentNdis().SendComplete(MiniportAdapterHandle, Packet, Status);
}

VOID NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                         PVOID StatusBuffer, UINT StatusBufferSize) {
    (void)StatusBuffer;
    (void)StatusBufferSize;
    CurrentNdis().IndicateStatus(MiniportAdapterHandle, GeneralStatus);
}

VOID NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    CurrentNdis().CompleteRequest(MiniportAdapterHandle, Status, "NdisMQueryInformationComplete");
}

VOID NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    CurrentNdis().CompleteRequest(MiniportAdapterHandle, Status, "NdisMSetInformationComplete");
}

VOID NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    CurrentNdis().IndicateStatusComplete(MiniportAdapterHandle);
}

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...) {
    std::vector<uint32_t> values;
#if defined(__x86_64__)
    // The routine has the Microsoft x64 convention (ndis.h), whose variable arguments are read
    // with that convention's list, not the System V one va_list is.
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues; ++i)
        values.push_back(__builtin_va_arg(args, ULONG));
    __builtin_ms_va_end(args);
#else
    va_list args;
    va_start(args, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues; ++i) values.push_back(va_arg(args, ULONG));
    va_end(args);
#endif
    CurrentNdis().WriteErrorLog(NdisAdapterHandle, ErrorCode, std::move(values));
}

}  // extern "C"
