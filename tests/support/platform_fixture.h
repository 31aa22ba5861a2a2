// Test support for the emulated platform itself: a world with no driver loaded, a lower device
// whose dispatch routine each test writes, a stub miniport registered in the driver's place, and
// asynchronous URB submissions that record how and when they completed. Platform tests use these
// so that what they pin does not move when the driver changes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/platform/ndis.h"
#include "driver/platform/nt.h"
#include "driver/platform/usb.h"
#include "host/device/scripted_device.h"
#include "host/world/current.h"
#include "host/world/test_world.h"
#include "host/world/world.h"

namespace testing_support {

class PlatformTest : public ::testing::Test {
protected:
    explicit PlatformTest(uint64_t seed = 1) : world_(seed), recorder_(world_.Trace()) {}

    host::kernel::Kernel& Kernel() { return world_.Kernel(); }
    host::verifier::Verifier& Verifier() { return world_.Verifier(); }

    host::ndis::Adapter& AddScripted(const std::string& name = "A",
                                     host::ndis::Registry registry = {},
                                     host::device::ScriptedDevice** device = nullptr) {
        const host::world::ScriptedAdapter added = host::world::AddScriptedAdapter(world_, name, std::move(registry));
        if (device) *device = &added.device;
        return added.adapter;
    }

    void ExpectClean() {
        EXPECT_EQ(Verifier().Count(), 0u) << Verifier().Describe();
    }
    // Exactly `n` violations, all of them `check`.
    void ExpectOnly(std::string_view check, size_t n = 1) {
        EXPECT_EQ(Verifier().Count(check), n) << Verifier().Describe();
        EXPECT_EQ(Verifier().Count(), n) << Verifier().Describe();
    }

    void AtDispatch(const std::function<void()>& fn, int adapter = -1) {
        Kernel().RunInContext("test at dispatch", DISPATCH_LEVEL, adapter, fn);
    }
    void AtPassive(const std::function<void()>& fn, int adapter = -1) {
        Kernel().RunInContext("test at passive", PASSIVE_LEVEL, adapter, fn);
    }

    host::world::World world_;
    host::trace::Recorder recorder_;
};

// A device below the caller whose dispatch routine is the test's `onIrp`.
struct LowerDevice {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> onIrp;

    explicit LowerDevice(CCHAR stackSize = 1) {
        for (auto& f : driver.MajorFunction) f = &Dispatch;
        device.Type = 3;
        device.DriverObject = &driver;
        device.StackSize = stackSize;
        device.DeviceExtension = this;
    }
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT d, PIRP irp) {
        return static_cast<LowerDevice*>(d->DeviceExtension)->onIrp(d, irp);
    }
};

// A completion routine that records its call and answers `answer`.
struct CompletionProbe {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = 0;
    bool pendingReturned = false;
    KIRQL irql = 0xFF;
    uint64_t at = 0;
    NTSTATUS answer = STATUS_MORE_PROCESSING_REQUIRED;
    std::vector<std::string>* order = nullptr;
    std::string name;

    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT d, PIRP irp, PVOID context) {
        auto* p = static_cast<CompletionProbe*>(context);
        ++p->calls;
        p->device = d;
        p->status = irp->IoStatus.Status;
        p->pendingReturned = irp->PendingReturned != FALSE;
        p->irql = KeGetCurrentIrql();
        p->at = host::world::Current().NowUs();
        if (p->order) p->order->push_back(p->name);
        return p->answer;
    }
};

// The miniport the tests register instead of the driver. Its default initialise allocates a
// context block and sets it as the adapter context; its default halt frees that block. Tests
// override the parts they exercise.
class StubMiniport {
public:
    static constexpr UINT kContextBytes = 128;
    static constexpr ULONG kContextTag = MAKE_POOL_TAG('S', 't', 'u', 'b');

    std::function<NDIS_STATUS(NDIS_HANDLE handle)> initialize = [](NDIS_HANDLE handle) {
        PVOID block = nullptr;
        const NDIS_STATUS s = NdisAllocateMemoryWithTag(&block, kContextBytes, kContextTag);
        if (s != NDIS_STATUS_SUCCESS) return s;
        NdisMSetAttributesEx(handle, block, 0, NDIS_ATTRIBUTE_DESERIALIZE, NdisInterfaceInternal);
        return NDIS_STATUS_SUCCESS;
    };
    std::function<void(NDIS_HANDLE context)> halt = [](NDIS_HANDLE context) {
        NdisFreeMemory(context, kContextBytes, 0);
    };
    std::function<NDIS_STATUS(NDIS_HANDLE, PNDIS_PACKET)> send = [](NDIS_HANDLE, PNDIS_PACKET) {
        return NDIS_STATUS_SUCCESS;
    };
    std::function<NDIS_STATUS(NDIS_OID, PVOID, ULONG, PULONG, PULONG)> query =
        [](NDIS_OID, PVOID, ULONG, PULONG written, PULONG) {
            *written = 0;
            return NDIS_STATUS_SUCCESS;
        };

    // Registers with the current world's wrapper.
    StubMiniport() {
        active_ = this;
        NDIS_HANDLE wrapper = nullptr;
        NdisInitializeWrapper(&wrapper, nullptr, nullptr, nullptr);
        NDIS_MINIPORT_CHARACTERISTICS c;
        std::memset(&c, 0, sizeof c);
        c.Ndis40Chars.Ndis30Chars.MajorNdisVersion = 5;
        c.Ndis40Chars.Ndis30Chars.MinorNdisVersion = 0;
        c.Ndis40Chars.Ndis30Chars.InitializeHandler = &Initialize;
        c.Ndis40Chars.Ndis30Chars.HaltHandler = &Halt;
        c.Ndis40Chars.Ndis30Chars.SendHandler = &Send;
        c.Ndis40Chars.Ndis30Chars.QueryInformationHandler = &Query;
        registered_ = NdisMRegisterMiniport(wrapper, &c, sizeof c);
    }
    ~StubMiniport() {
        if (active_ == this) active_ = nullptr;
    }
    StubMiniport(const StubMiniport&) = delete;
    StubMiniport& operator=(const StubMiniport&) = delete;

    NDIS_STATUS registered() const { return registered_; }

private:
    static NDIS_STATUS NTAPI Initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM, UINT,
                                  NDIS_HANDLE handle, NDIS_HANDLE) {
        *selected = 0;
        return active_->initialize(handle);
    }
    static VOID NTAPI Halt(NDIS_HANDLE context) { active_->halt(context); }
    static NDIS_STATUS NTAPI Send(NDIS_HANDLE context, PNDIS_PACKET packet, UINT) {
        return active_->send(context, packet);
    }
    static NDIS_STATUS NTAPI Query(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length,
                             PULONG written, PULONG needed) {
        return active_->query(oid, buffer, length, written, needed);
    }

    static inline StubMiniport* active_ = nullptr;
    NDIS_STATUS registered_ = NDIS_STATUS_FAILURE;
};

// URB builders, field by field as a USB client driver fills them.
inline void BuildVendorRequest(URB& urb, bool in, UCHAR request, USHORT index, PVOID buffer,
                               ULONG length, USHORT value = 0) {
    std::memset(&urb, 0, sizeof urb);
    auto& r = urb.UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
    r.Request = request;
    r.Value = value;
    r.Index = index;
}

inline void BuildBulkTransfer(URB& urb, USBD_PIPE_HANDLE pipe, bool in, PVOID buffer,
                              ULONG length) {
    std::memset(&urb, 0, sizeof urb);
    auto& t = urb.UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = pipe;
    t.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) |
                      USBD_SHORT_TRANSFER_OK;
    t.TransferBufferLength = length;
    t.TransferBuffer = buffer;
}

inline void BuildPipeRequest(URB& urb, USHORT function, USBD_PIPE_HANDLE pipe) {
    std::memset(&urb, 0, sizeof urb);
    urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
}

// One URB sent down in an IRP the test allocated, completed through a completion routine that
// keeps the IRP (STATUS_MORE_PROCESSING_REQUIRED) and records when and how it ended.
struct AsyncUrb {
    URB urb{};
    PIRP irp = nullptr;
    NTSTATUS callStatus = 0;
    CompletionProbe probe;

    bool Done() const { return probe.calls > 0; }

    NTSTATUS Submit(PDEVICE_OBJECT target) {
        irp = IoAllocateIrp(target->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &probe, TRUE, TRUE, TRUE);
        callStatus = IofCallDriver(target, irp);
        return callStatus;
    }
    ~AsyncUrb() {
        if (irp != nullptr && Done()) IoFreeIrp(irp);
    }
};

// Submits `urb` and waits for it as a passive caller does; returns the final status.
inline NTSTATUS SubmitAndWait(PDEVICE_OBJECT target, URB& urb) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    const NTSTATUS s = IofCallDriver(target, irp);
    if (s != STATUS_PENDING) return s;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}

// Selects the scripted device's only configuration; returns its pipe handles in endpoint order
// (bulk-in, bulk-out, interrupt).
inline std::vector<USBD_PIPE_HANDLE> SelectConfiguration(PDEVICE_OBJECT bus,
                                                         host::device::ScriptedDevice& device) {
    std::vector<uint8_t> set = device.configuration;
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr},
        {nullptr, nullptr}};
    EXPECT_NE(list[0].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    EXPECT_EQ(SubmitAndWait(bus, *urb), STATUS_SUCCESS);
    std::vector<USBD_PIPE_HANDLE> pipes;
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
        pipes.push_back(list[0].Interface->Pipes[i].PipeHandle);
    ExFreePool(urb);
    return pipes;
}

}  // namespace testing_support
