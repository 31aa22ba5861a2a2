#include "host/usb/bus.h"

#include <algorithm>
#include <cstring>

#include "host/verifier/verifier.h"

namespace host::usb {

std::string_view ResultName(Result r) {
    switch (r) {
        case Result::Ok: return "ok";
        case Result::Stall: return "stall";
        case Result::Error: return "error";
        case Result::Timeout: return "timeout";
        case Result::Cancelled: return "timeout";
        case Result::Gone: return "error";
    }
    return "error";
}

bool AcceptsShortTransfer(const URB* urb) {
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_VENDOR_DEVICE:
            return (urb->UrbControlVendorClassRequest.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        default:
            return true;
    }
}

void BusFaults::Arm(Plan plan) {
    if (plan.fault == ControlFault::None) return;
    plan.remaining = std::max<uint64_t>(plan.remaining, 1);
    plan.count = std::max<uint64_t>(plan.count, 1);
    plans.push_back(plan);
}

UsbBus::UsbBus(kernel::Kernel& kernel, trace::Trace& trace, int adapter, std::string adapterName,
               UsbDevice& device)
    : kernel_(kernel),
      scheduler_(kernel.Scheduler()),
      trace_(trace),
      adapter_(adapter),
      adapterName_(std::move(adapterName)),
      device_(device) {
    // Every major function lands in Dispatch, which refuses all but URB submissions.
    for (auto& dispatch : driverObject_.MajorFunction) dispatch = &UsbBus::Dispatch;
    deviceObject_.Type = 3;
    deviceObject_.Size = sizeof(DEVICE_OBJECT);
    deviceObject_.DriverObject = &driverObject_;
    deviceObject_.DeviceExtension = this;
    // The hub's physical device object sits above the host controller: two locations.
    deviceObject_.StackSize = 2;
    control_.kind = PipeKind::Control;
    host_.kind = PipeKind::Control;
    device_.SetDataReadyHandler([this] {
        for (auto& p : pipes_) {
            if (p->kind != PipeKind::BulkIn) continue;
            if (p->dataSince == 0) p->dataSince = scheduler_.Now();
            Kick(*p);
        }
    });
}

UsbBus::~UsbBus() {
    device_.SetDataReadyHandler({});
    for (auto* p : {&control_, &host_}) scheduler_.Cancel(p->service);
    for (auto& p : pipes_) scheduler_.Cancel(p->service);
    for (auto& [irp, event] : cancelling_) scheduler_.Cancel(event);
}

size_t UsbBus::Outstanding() const {
    size_t n = control_.queue.size() + host_.queue.size() + cancelling_.size();
    for (const auto& p : pipes_) n += p->queue.size();
    return n;
}

size_t UsbBus::Delayed() const {
    if (faults_.vanished) return 0;
    size_t n = 0;
    auto count = [&n](const Pipe& p) {
        for (const Request& r : p.queue)
            if (r.lateUs > 0) ++n;
    };
    count(control_);
    for (const auto& p : pipes_) count(*p);
    return n;
}

NTSTATUS NTAPI UsbBus::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* bus = static_cast<UsbBus*>(device->DeviceExtension);
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    bus->kernel_.Checked();
    if (loc->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        loc->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
        loc->Parameters.Others.Argument1 == nullptr) {
        bus->kernel_.Report(verifier::check::kBadHandle,
                            "the USB stack was sent a request that is not a URB submission");
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        bus->kernel_.CompleteRequest(irp);
        return STATUS_INVALID_PARAMETER;
    }
    return bus->Submit(irp, static_cast<PURB>(loc->Parameters.Others.Argument1));
}

UsbBus::Pipe* UsbBus::PipeFor(PURB urb) {
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            void* handle = urb->UrbBulkOrInterruptTransfer.PipeHandle;
            for (auto& p : pipes_)
                if (p.get() == handle) return p.get();
            return nullptr;
        }
        case URB_FUNCTION_ABORT_PIPE:
            return &host_;
        default:
            return &control_;
    }
}

bool UsbBus::Ready(const Pipe& pipe) const {
    if (pipe.queue.empty()) return false;
    // A device that is gone answers nothing, silent or not: the host controller fails it.
    if (faults_.vanished) return true;
    if (pipe.queue.front().silent) return false;
    if (pipe.kind != PipeKind::BulkIn) return true;
    return faults_.bulkInErrors > 0 || device_.BulkInReady(pipe.endpoint);
}

void UsbBus::ApplyPlans(Request& req, bool control) {
    ++stats_.counted;
    using Target = BusFaults::Target;
    for (auto it = faults_.plans.begin(); it != faults_.plans.end();) {
        const bool counts = it->target == Target::Any || (it->target == Target::Control) == control;
        if (!counts || --it->remaining > 0) {
            ++it;
            continue;
        }
        ApplyPlan(req, it->fault, it->lateUs, control);
        if (--it->count > 0) {
            it->remaining = 1;  // the next request of its kind is hit too
            ++it;
        } else {
            it = faults_.plans.erase(it);
        }
    }
}

void UsbBus::ApplyPlan(Request& req, BusFaults::ControlFault fault, sim::TimeUs lateUs, bool control) {
    using CF = BusFaults::ControlFault;
    ++stats_.faultsInjected;
    const char* name = "";
    switch (fault) {
        case CF::Stall: req.fault = Result::Stall; name = "control-stall"; break;
        case CF::Error: req.fault = Result::Error; name = "control-error"; break;
        case CF::Silent: req.silent = true; name = "control-silent"; break;
        case CF::Late: req.lateUs += lateUs; name = control ? "control-late" : "bulk-late"; break;
        case CF::None: return;
    }
    FaultFired(name);
}

void UsbBus::FaultFired(const char* name) {
    if (trace_.Enabled("fault"))
        trace_.Emit("fault", adapterName_, trace::Json{{"fault", name}, {"state", "fired"}});
}

NTSTATUS UsbBus::Submit(PIRP irp, PURB urb) {
    const USHORT fn = urb->UrbHeader.Function;
    if (!observers_.empty()) {
        TransferRecord t;
        if (Describe(irp, urb, t)) {
            if (!t.In()) t.length = t.requested;
            else t.data = nullptr;
            for (auto* o : observers_) o->Submitted(adapter_, t);
        }
    }
    Pipe* pipe = PipeFor(urb);
    kernel_.Checked();
    if (pipe == nullptr) {
        kernel_.Report(verifier::check::kBadHandle, "bulk transfer on an unknown pipe handle");
        Complete(irp, urb, Result::Error);
        return STATUS_UNSUCCESSFUL;
    }
    // A request its sender cancelled before it got here (IoCancelIrp found no cancel routine to
    // call) ends at once, cancelled, as a driver that sets its cancel routine and then finds
    // Irp->Cancel set ends it; it never reaches the device.
    if (irp->Cancel) {
        ++stats_.cancelled;
        Complete(irp, urb, Result::Cancelled);
        return STATUS_CANCELLED;
    }

    if (fn == URB_FUNCTION_ABORT_PIPE) {
        // Every transfer still queued on the pipe ends, cancelled, before the abort completes.
        ++stats_.pipeRequests;
        void* handle = urb->UrbPipeRequest.PipeHandle;
        for (auto& p : pipes_) {
            if (p.get() != handle) continue;
            scheduler_.Cancel(p->service);
            p->service = 0;
            auto queued = std::move(p->queue);
            p->queue.clear();
            for (auto& r : queued) {
                ++stats_.cancelled;
                kernel_.RunInContext("usb completion", DISPATCH_LEVEL, adapter_,
                                     [&] { Complete(r.irp, r.urb, Result::Cancelled); });
            }
        }
    } else if (fn == URB_FUNCTION_RESET_PIPE) {
        ++stats_.pipeRequests;
    }

    Request req{irp, urb, scheduler_.Now()};
    if (pipe != &host_) ApplyPlans(req, pipe == &control_);

    if (fn == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && faults_.irpCompleteError) {
        // The lower driver fails the request at once and says so in its return value.
        faults_.irpCompleteError = false;
        ++stats_.faultsInjected;
        FaultFired("irp-complete-error");
        Complete(irp, urb, Result::Error);
        return STATUS_UNSUCCESSFUL;
    }

    IoMarkIrpPending(irp);
    const bool pipeIdle = pipe->queue.empty() && pipe->service == 0;
    pipe->queue.push_back(req);
    // A control request completes inside the call only on a default pipe that has carried
    // nothing for a frame: a transfer takes its time on the bus, so two register requests never
    // reach the device in the same instant (a register read right behind a PHY command would
    // otherwise find the command not yet run).
    const bool pipeRested = pipe != &control_ || pipe->lastDone == 0 ||
                            scheduler_.Now() >= pipe->lastDone + 1000;
    // On the full-speed bus a bulk transfer takes its packets' frames: never inside the call.
    const bool timedBySize = timing_ == BusTiming::FullSpeed && pipe != &control_ && pipe != &host_;
    // A request a plan delays or silences is never answered inside the call.
    const bool planned = req.lateUs > 0 || req.silent;
    if (pipeIdle && pipeRested && !timedBySize && !planned && !inExecute_ && Ready(*pipe) &&
        scheduler_.Random().Chance(faults_.inlinePercent, 100)) {
        ++stats_.inlineCompletions;
        Request head = pipe->queue.front();
        pipe->queue.pop_front();
        if (kernel_.CompleteElsewhere()) {
            // Answered at once, but the completion runs on another processor while the sender
            // is still inside IofCallDriver.
            DispatchExecute(*pipe, head);
            return STATUS_PENDING;
        }
        Execute(*pipe, head);
        Kick(*pipe);
        return STATUS_PENDING;
    }
    irp->CancelRoutine = &UsbBus::CancelRoutine;
    Kick(*pipe);
    return STATUS_PENDING;
}

sim::TimeUs UsbBus::BookFullSpeed(Pipe& pipe) {
    Request& head = pipe.queue.front();
    const auto& t = head.urb->UrbBulkOrInterruptTransfer;
    size_t bytes = t.TransferBufferLength;
    uint64_t packets;
    if (pipe.kind == PipeKind::BulkIn) {
        const size_t waiting = device_.BulkInLength(pipe.endpoint);
        if (waiting != 0) bytes = std::min(bytes, waiting);
        // A read ends with a short packet; one that fills whole packets and not the buffer ends
        // with a zero-length packet.
        packets = bytes / kBulkPacketBytes + (bytes < t.TransferBufferLength || bytes % kBulkPacketBytes ? 1 : 0);
    } else {
        packets = (bytes + kBulkPacketBytes - 1) / kBulkPacketBytes;
    }
    packets = std::max<uint64_t>(packets, 1);
    stats_.bulkPackets += packets;
    head.packets = packets;

    const sim::TimeUs now = scheduler_.Now();
    uint64_t frame = now / 1000;
    framePackets_.erase(framePackets_.begin(), framePackets_.lower_bound(frame));
    // Only the part of the current frame still to come can carry packets.
    uint32_t room = static_cast<uint32_t>(kPacketsPerFrame * (1000 - now % 1000) / 1000);
    for (;;) {
        uint32_t& used = framePackets_[frame];
        const uint32_t capacity = std::min(room, kPacketsPerFrame);
        const uint32_t free = capacity > used ? capacity - used : 0;
        const uint64_t take = std::min<uint64_t>(free, packets);
        used += static_cast<uint32_t>(take);
        packets -= take;
        if (packets == 0) break;
        ++frame;
        room = kPacketsPerFrame;
    }
    return (frame + 1) * 1000;
}

void UsbBus::Kick(Pipe& pipe) {
    if (pipe.service != 0 || pipe.inService || !Ready(pipe)) return;
    // A late plan moves the answer on by its time, from whenever it would have come; a device
    // that is gone answers nothing late.
    const sim::TimeUs late = faults_.vanished ? 0 : pipe.queue.front().lateUs;
    if (timing_ == BusTiming::FullSpeed &&
        (pipe.kind == PipeKind::BulkIn || pipe.kind == PipeKind::BulkOut)) {
        const sim::TimeUs due = std::max(BookFullSpeed(pipe), pipe.lastDone) + late;
        Pipe* p = &pipe;
        pipe.service = scheduler_.At(due, [this, p] {
            p->service = 0;
            Service(*p);
        });
        return;
    }
    sim::TimeUs base = std::max(scheduler_.Now(), pipe.queue.front().submitted);
    // A read completes at the first frame boundary after data started waiting: data that has
    // waited through a boundary already is taken at once, so a backlog drains.
    if (pipe.kind == PipeKind::BulkIn && pipe.dataSince != 0) base = pipe.dataSince;
    sim::TimeUs due = NextBoundary(base) + scheduler_.Random().Below(faults_.maxJitterUs + 1);
    due = std::max({due, pipe.lastDone, scheduler_.Now()}) + late;
    Pipe* p = &pipe;
    pipe.service = scheduler_.At(due, [this, p] {
        p->service = 0;
        Service(*p);
    });
}

void UsbBus::Service(Pipe& pipe) {
    if (!Ready(pipe)) return;
    Request req = pipe.queue.front();
    pipe.queue.pop_front();
    if (kernel_.Multiprocessor()) {
        // The completion runs on whichever processor the seed gives it; the pipe carries
        // nothing else until the transfer has been executed.
        DispatchExecute(pipe, req);
        return;
    }
    kernel_.RunInContext("usb completion", DISPATCH_LEVEL, adapter_,
                         [&] { Execute(pipe, req); });
    Kick(pipe);
}

void UsbBus::DispatchExecute(Pipe& pipe, Request req) {
    pipe.inService = true;
    Pipe* p = &pipe;
    kernel_.Dispatch("usb completion", DISPATCH_LEVEL, adapter_, [this, p, req] {
        Execute(*p, req);
        Kick(*p);
    });
}

VOID NTAPI UsbBus::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    auto* bus = static_cast<UsbBus*>(device->DeviceExtension);
    // Whatever holds the request (its place in a queue, a late plan's delay, a silent plan, a
    // read waiting for data), the request leaves the bus here and completes exactly once.
    auto take = [&](Pipe& p) -> bool {
        for (auto it = p.queue.begin(); it != p.queue.end(); ++it) {
            if (it->irp != irp) continue;
            const bool head = it == p.queue.begin();
            Request r = *it;
            p.queue.erase(it);
            if (head && p.service != 0) {
                bus->scheduler_.Cancel(p.service);
                p.service = 0;
            }
            ++bus->stats_.cancelled;
            Pipe* pipe = &p;
            // On the default pipe every request ends through Execute, so the trace shows each
            // one once with how it ended (a pipe reset as its CLEAR_FEATURE); a transfer of a
            // bulk pipe or a pipe abort never reached the device.
            auto finish = [bus, pipe, r] {
                if (pipe == &bus->control_) {
                    bus->Execute(*pipe, r, Result::Cancelled);
                } else {
                    bus->Complete(r.irp, r.urb, Result::Cancelled);
                }
            };
            // A cancelled request completes inside IoCancelIrp or a little later, as the seed
            // says: its sender must not assume either. Until then the bus still holds it. A
            // cancel-late plan makes it much later.
            sim::TimeUs delay = 0;
            if (bus->faults_.cancelLateCount > 0 && !bus->faults_.vanished) {
                --bus->faults_.cancelLateCount;
                ++bus->stats_.faultsInjected;
                bus->FaultFired("cancel-late");
                delay = bus->faults_.cancelLateUs;
            } else if (!bus->scheduler_.Random().Chance(1, 2)) {
                delay = 1 + bus->scheduler_.Random().Below(1000);
            }
            if (delay == 0) {
                finish();
            } else {
                const PIRP key = r.irp;
                bus->cancelling_[key] =
                    bus->scheduler_.After(delay, [bus, finish, key] {
                        bus->cancelling_.erase(key);
                        bus->kernel_.Dispatch("usb completion", DISPATCH_LEVEL, bus->adapter_,
                                              finish);
                    });
            }
            bus->Kick(p);
            return true;
        }
        return false;
    };
    if (take(bus->control_) || take(bus->host_)) return;
    for (auto& p : bus->pipes_)
        if (take(*p)) return;
}

void UsbBus::FailAll(Result result) {
    // What is held now ends now; a request a completion routine sends meanwhile is the device's
    // to answer (or not) in its own time.
    auto drain = [&](Pipe& p) {
        scheduler_.Cancel(p.service);
        p.service = 0;
        auto held = std::move(p.queue);
        p.queue.clear();
        for (const Request& r : held) {
            kernel_.Dispatch("usb completion", DISPATCH_LEVEL, adapter_,
                             [this, r, result] { Complete(r.irp, r.urb, result); });
        }
    };
    drain(control_);
    drain(host_);
    for (size_t i = 0; i < pipes_.size(); ++i) drain(*pipes_[i]);
    Kick(control_);
    Kick(host_);
    for (auto& p : pipes_) Kick(*p);
}

void UsbBus::Vanish() {
    faults_.vanished = true;
    FailAll(Result::Gone);
}

void UsbBus::FailBulkIn(uint32_t count) {
    faults_.bulkInErrors += count;
    for (auto& p : pipes_)
        if (p->kind == PipeKind::BulkIn) Kick(*p);
}

void UsbBus::Execute(Pipe& pipe, Request req, Result forced) {
    const bool outer = inExecute_;
    inExecute_ = true;
    if (forced == Result::Ok) forced = req.fault;
    if (faults_.vanished && forced == Result::Ok) forced = Result::Gone;
    // A request block or buffer its driver has freed meanwhile is never handed to the device:
    // the transfer fails (and its completion, whose context is gone too, is not delivered). A
    // freed request block holds poison, so nothing of it is read.
    if (!kernel_.CheckNotFreed(req.urb, "USB request block")) {
        pipe.lastDone = scheduler_.Now();
        pipe.inService = false;
        inExecute_ = outer;
        Complete(req.irp, req.urb, Result::Error);
        return;
    }
    if (req.urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        !kernel_.CheckNotFreed(req.urb->UrbBulkOrInterruptTransfer.TransferBuffer,
                               "USB transfer buffer"))
        forced = Result::Error;
    Result result;
    if (pipe.kind == PipeKind::Control) {
        result = DoControl(req, forced);
    } else {
        result = DoBulk(pipe, req, forced);
    }
    pipe.lastDone = scheduler_.Now();
    pipe.inService = false;
    inExecute_ = outer;
    Complete(req.irp, req.urb, result);
}

Result UsbBus::DoControl(Request& req, Result forced) {
    PURB urb = req.urb;
    const bool sync = kernel_.IrpIsSynchronous(req.irp);
    // A pipe abort is the host's own bookkeeping: nothing of it goes on the bus.
    if (urb->UrbHeader.Function != URB_FUNCTION_ABORT_PIPE) ++stats_.control;
    Setup setup{};
    uint8_t* buffer = nullptr;
    ULONG* length = nullptr;
    kernel_.Checked();  // a URB function the stack knows (the default below)
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (forced != Result::Ok) {
                const uint8_t value =
                    urb->UrbSelectConfiguration.ConfigurationDescriptor
                        ? urb->UrbSelectConfiguration.ConfigurationDescriptor->bConfigurationValue
                        : 0;
                TraceControl(Setup{0x00, 9, value, 0, 0}, nullptr, 0, forced, sync, req.submitted);
                return forced;
            }
            return DoSelectConfiguration(urb, sync, req.submitted);
        case URB_FUNCTION_ABORT_PIPE:
            return forced == Result::Gone ? forced : Result::Ok;
        case URB_FUNCTION_RESET_PIPE: {
            // On the bus this is CLEAR_FEATURE(ENDPOINT_HALT) to the pipe's endpoint, and is
            // traced as such so that the trace, the usbmon capture and the count agree. A plan
            // may stall or fail it like any control request.
            uint8_t endpoint = 0;
            for (const auto& p : pipes_)
                if (p.get() == urb->UrbPipeRequest.PipeHandle) endpoint = p->endpoint;
            TraceControl(Setup{0x02, 1, 0, endpoint, 0}, nullptr, 0, forced, sync, req.submitted);
            return forced;
        }
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& r = urb->UrbControlDescriptorRequest;
            setup = Setup{0x80, 6, static_cast<uint16_t>((r.DescriptorType << 8) | r.Index),
                          r.LanguageId, static_cast<uint16_t>(r.TransferBufferLength)};
            buffer = static_cast<uint8_t*>(r.TransferBuffer);
            length = &r.TransferBufferLength;
            break;
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE: {
            auto& r = urb->UrbControlFeatureRequest;
            setup = Setup{0x00, 3, r.FeatureSelector, r.Index, 0};
            break;
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
            auto& r = urb->UrbControlGetStatusRequest;
            setup = Setup{0x80, 0, 0, r.Index, static_cast<uint16_t>(r.TransferBufferLength)};
            buffer = static_cast<uint8_t*>(r.TransferBuffer);
            length = &r.TransferBufferLength;
            break;
        }
        case URB_FUNCTION_VENDOR_DEVICE: {
            auto& r = urb->UrbControlVendorClassRequest;
            const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            setup = Setup{static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x40 | r.RequestTypeReservedBits),
                          r.Request, r.Value, r.Index,
                          static_cast<uint16_t>(r.TransferBufferLength)};
            buffer = static_cast<uint8_t*>(r.TransferBuffer);
            length = &r.TransferBufferLength;
            break;
        }
        default:
            kernel_.Report(verifier::check::kBadHandle,
                           "URB function " + std::to_string(urb->UrbHeader.Function) +
                               " is not one the USB stack knows");
            return Result::Error;
    }
    std::vector<uint8_t> data(setup.wLength);
    if (!setup.In() && buffer != nullptr && setup.wLength)
        std::memcpy(data.data(), buffer, setup.wLength);
    Result result = forced;
    size_t actual = 0;
    if (forced == Result::Ok) {
        ControlOutcome out = device_.Control(setup, data.data());
        result = out.result;
        actual = std::min<size_t>(out.actual, setup.wLength);
    }
    if (setup.In()) {
        if (result == Result::Ok && buffer != nullptr && actual) std::memcpy(buffer, data.data(), actual);
        if (length != nullptr) *length = static_cast<ULONG>(result == Result::Ok ? actual : 0);
        TraceControl(setup, data.data(), result == Result::Ok ? actual : 0, result, sync,
                     req.submitted, AcceptsShortTransfer(urb));
    } else {
        TraceControl(setup, data.data(), setup.wLength, result, sync, req.submitted);
    }
    return result;
}

Result UsbBus::DoSelectConfiguration(PURB urb, bool sync, sim::TimeUs submitted) {
    auto& sel = urb->UrbSelectConfiguration;
    if (sel.ConfigurationDescriptor == nullptr) {
        // SET_CONFIGURATION(0): the device goes back to its address state; nothing it models
        // changes, but the transfer is on the bus like any other.
        TraceControl(Setup{0x00, 9, 0, 0, 0}, nullptr, 0, Result::Ok, sync, submitted);
        return Result::Ok;
    }
    const std::vector<uint8_t> set = device_.ConfigurationSet();
    if (set.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return Result::Error;
    const uint8_t configValue = set[5];

    // Endpoints of the requested interface, in descriptor order.
    auto& info = sel.Interface;
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
    bool inInterface = false, found = false;
    for (size_t off = 0; off + 2 <= set.size();) {
        const uint8_t len = set[off], type = set[off + 1];
        if (len < 2 || off + len > set.size()) break;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && len >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            inInterface = set[off + 2] == info.InterfaceNumber &&
                          set[off + 3] == info.AlternateSetting && !found;
            if (inInterface) found = true;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && inInterface &&
                   len >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(&set[off]));
        }
        off += len;
    }
    if (!found || endpoints.size() != info.NumberOfPipes) return Result::Error;

    const Result result = [&] {
        Setup setup{0x00, 9, configValue, 0, 0};
        ControlOutcome out = device_.Control(setup, nullptr);
        TraceControl(setup, nullptr, 0, out.result, sync, submitted);
        return out.result;
    }();
    if (result != Result::Ok) return result;

    for (auto& p : pipes_) scheduler_.Cancel(p->service);
    pipes_.clear();
    for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
        const USB_ENDPOINT_DESCRIPTOR* ep = endpoints[i];
        auto pipe = std::make_unique<Pipe>();
        const uint8_t type = ep->bmAttributes & 3;
        pipe->endpoint = ep->bEndpointAddress;
        pipe->maxPacket = ep->wMaxPacketSize;
        if (type == UsbdPipeTypeBulk)
            pipe->kind = (ep->bEndpointAddress & 0x80) ? PipeKind::BulkIn : PipeKind::BulkOut;
        else
            pipe->kind = type == UsbdPipeTypeInterrupt ? PipeKind::Interrupt : PipeKind::Control;
        USBD_PIPE_INFORMATION& pi = info.Pipes[i];
        pi.MaximumPacketSize = ep->wMaxPacketSize;
        pi.EndpointAddress = ep->bEndpointAddress;
        pi.Interval = ep->bInterval;
        pi.PipeType = static_cast<USBD_PIPE_TYPE>(type);
        pi.PipeHandle = pipe.get();
        pipes_.push_back(std::move(pipe));
    }
    info.InterfaceHandle = &pipes_;
    sel.ConfigurationHandle = this;
    return Result::Ok;
}

Result UsbBus::DoBulk(Pipe& pipe, Request& req, Result forced) {
    auto& t = req.urb->UrbBulkOrInterruptTransfer;
    auto* buffer = static_cast<uint8_t*>(t.TransferBuffer);
    const bool in = pipe.kind == PipeKind::BulkIn;
    Result result = forced;
    if (in) {
        ++stats_.bulkIn;
        if (result == Result::Ok && faults_.bulkInErrors > 0) {
            --faults_.bulkInErrors;
            ++stats_.faultsInjected;
            FaultFired("bulk-in-error");
            result = Result::Error;
        }
        size_t n = 0;
        if (result == Result::Ok) n = device_.BulkIn(pipe.endpoint, buffer, t.TransferBufferLength);
        if (!device_.BulkInReady(pipe.endpoint)) pipe.dataSince = 0;
        t.TransferBufferLength = static_cast<ULONG>(n);
        if (result == Result::Ok && faults_.bulkInOverstate > 0) {
            t.TransferBufferLength += faults_.bulkInOverstate;
            ++stats_.faultsInjected;
        }
        if (trace_.Enabled("bulk")) TraceBulk(req, "in", buffer, n, result);
    } else {
        ++stats_.bulkOut;
        if (result == Result::Ok && faults_.bulkOutErrors > 0) {
            --faults_.bulkOutErrors;
            ++stats_.faultsInjected;
            FaultFired("bulk-out-error");
            result = Result::Error;
        }
        if (result == Result::Ok) {
            ++stats_.bulkOutToDevice;
            result = device_.BulkOut(pipe.endpoint, buffer, t.TransferBufferLength);
        }
        if (trace_.Enabled("bulk")) TraceBulk(req, "out", buffer, t.TransferBufferLength, result);
    }
    return result;
}

void UsbBus::Complete(PIRP irp, PURB urb, Result result) {
    irp->CancelRoutine = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    switch (result) {
        case Result::Ok: break;
        case Result::Stall: status = STATUS_UNSUCCESSFUL; usbd = USBD_STATUS_STALL_PID; break;
        case Result::Error:
        case Result::Timeout: status = STATUS_UNSUCCESSFUL; usbd = USBD_STATUS_DEV_NOT_RESPONDING; break;
        case Result::Cancelled: status = STATUS_CANCELLED; usbd = USBD_STATUS_CANCELED; break;
        case Result::Gone: status = STATUS_DEVICE_NOT_CONNECTED; usbd = USBD_STATUS_DEVICE_GONE; break;
    }
    urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    if (bulkInLanded_ && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        const auto& t = urb->UrbBulkOrInterruptTransfer;
        for (const auto& p : pipes_) {
            if (p.get() != t.PipeHandle || p->kind != PipeKind::BulkIn) continue;
            bulkInLanded_(t.TransferBuffer, result == Result::Ok ? t.TransferBufferLength : 0);
        }
    }
    // Observers read the URB now: once the completion routine has run it is the sender's again.
    if (!observers_.empty()) {
        TransferRecord t;
        if (Describe(irp, urb, t)) {
            t.result = result;
            if (result != Result::Ok) {
                t.data = nullptr;
                t.length = 0;
            } else if (!t.In()) {
                t.data = nullptr;
                t.length = t.requested;
            }
            for (auto* o : observers_) o->Completed(adapter_, t);
        }
    }
    kernel_.CompleteRequest(irp);
}

void UsbBus::RemoveObserver(TransferObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

// The setup packet each URB function puts on the default pipe is the one DoControl and
// DoSelectConfiguration hand the device; a pipe reset is the CLEAR_FEATURE(ENDPOINT_HALT) a bus
// driver sends for it. `data`/`length` describe the transfer buffer as it stands now: the data to
// send before the transfer, the bytes received after it.
bool UsbBus::Describe(PIRP irp, PURB urb, TransferRecord& t) const {
    t.key = irp;
    t.shortOk = AcceptsShortTransfer(urb);
    auto control = [&t](uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                        uint32_t length, void* buffer) {
        t.type = 2;
        t.hasSetup = true;
        t.setup = Setup{requestType, request, value, index, static_cast<uint16_t>(length)};
        t.endpoint = requestType & 0x80;
        t.requested = length;
        t.data = static_cast<const uint8_t*>(buffer);
        t.length = buffer != nullptr ? length : 0;
    };
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            const auto* config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
            control(0x00, 9, config ? config->bConfigurationValue : 0, 0, 0, nullptr);
            return true;
        }
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            const auto& r = urb->UrbControlDescriptorRequest;
            control(0x80, 6, static_cast<uint16_t>((r.DescriptorType << 8) | r.Index), r.LanguageId,
                    r.TransferBufferLength, r.TransferBuffer);
            return true;
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE: {
            const auto& r = urb->UrbControlFeatureRequest;
            control(0x00, 3, r.FeatureSelector, r.Index, 0, nullptr);
            return true;
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
            const auto& r = urb->UrbControlGetStatusRequest;
            control(0x80, 0, 0, r.Index, r.TransferBufferLength, r.TransferBuffer);
            return true;
        }
        case URB_FUNCTION_VENDOR_DEVICE: {
            const auto& r = urb->UrbControlVendorClassRequest;
            const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            control(static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x40 | r.RequestTypeReservedBits),
                    r.Request, r.Value, r.Index, r.TransferBufferLength, r.TransferBuffer);
            return true;
        }
        case URB_FUNCTION_RESET_PIPE:
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            const void* handle = urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE
                                     ? urb->UrbPipeRequest.PipeHandle
                                     : urb->UrbBulkOrInterruptTransfer.PipeHandle;
            const Pipe* pipe = nullptr;
            for (const auto& p : pipes_)
                if (p.get() == handle) pipe = p.get();
            if (pipe == nullptr) return false;
            if (urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE) {
                control(0x02, 1, 0, pipe->endpoint, 0, nullptr);
                return true;
            }
            const auto& r = urb->UrbBulkOrInterruptTransfer;
            t.type = pipe->kind == PipeKind::Interrupt ? 1 : 3;
            t.endpoint = pipe->endpoint;
            t.requested = r.TransferBufferLength;
            t.data = static_cast<const uint8_t*>(r.TransferBuffer);
            t.length = r.TransferBuffer != nullptr ? r.TransferBufferLength : 0;
            return true;
        }
        default:
            return false;  // pipe aborts, and functions the bus refuses
    }
}

void UsbBus::TraceBulk(const Request& req, const char* ep, const uint8_t* data, size_t length,
                       Result result) {
    trace::Json fields{{"ep", ep},
                       {"length", length},
                       {"result", ResultName(result)},
                       {"submitted_us", req.submitted}};
    trace_.PutData(fields, "bulk", data, length);
    // Only the full-speed bus books packets; under the frame timing a transfer has no count.
    if (timing_ == BusTiming::FullSpeed) fields["packets"] = req.packets;
    trace_.Emit("bulk", adapterName_, std::move(fields));
}

void UsbBus::TraceControl(const Setup& s, const uint8_t* data, size_t length, Result result,
                          bool sync, sim::TimeUs submitted, bool shortOk) {
    if (!trace_.Enabled("control")) return;
    trace::Json fields{{"dir", s.In() ? "in" : "out"},
                       {"bmRequestType", s.bmRequestType},
                       {"bRequest", s.bRequest},
                       {"wValue", s.wValue},
                       {"wIndex", s.wIndex},
                       {"wLength", s.wLength},
                       {"sync", sync},
                       {"submitted_us", submitted}};
    if (s.In()) fields["short_ok"] = shortOk;
    trace_.PutData(fields, "control", data, data ? length : 0);
    fields["result"] = ResultName(result);
    trace_.Emit("control", adapterName_, std::move(fields));
}

}  // namespace host::usb
