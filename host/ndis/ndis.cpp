#include "host/ndis/ndis.h"

#include "host/kernel/driver_call.h"
#include "host/kernel/race_sync.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "host/verifier/verifier.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace host::ndis {

namespace {
constexpr uint8_t kGuardByte = 0xEE;
constexpr size_t kGuardBytes = 16;
// A bulk-in transfer ends with the frame check sequence and a status trailer, 4 bytes each.
constexpr uint32_t kReceiveTrailer = 8;
}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
    });
}

Ndis::Ndis(kernel::Kernel& kernel, trace::Trace& trace)
    : kernel_(kernel), trace_(trace), entry_(&DriverEntry) {
    // An IRP's memory is the I/O manager's: no timer or adapter context lives in it.
    kernel_.AddFreeHook(
        [this](uintptr_t base, size_t size, kernel::ResourceKind) { OnFree(base, size); },
        /*irps=*/false);
    kernel_.SetAdapterNamer([this](int id) {
        return id >= 0 && static_cast<size_t>(id) < adapters_.size() ? adapters_[id]->name
                                                                     : std::string();
    });
}

Ndis::~Ndis() {
    for (auto& [addr, t] : timers_) kernel_.Scheduler().Cancel(t.event);
}

NTSTATUS Ndis::LoadDriver() {
    static const char16_t kPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nicsim";
    UNICODE_STRING path{static_cast<USHORT>(sizeof(kPath) - 2), static_cast<USHORT>(sizeof(kPath)),
                        const_cast<PWSTR>(kPath)};
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    kernel_.RunInContext("DriverEntry", PASSIVE_LEVEL, -1,
                         [&] { status = kernel::CallDriver(kernel_, "DriverEntry", entry_, &driverObject_, &path); });
    trace_.Emit("miniport", "",
                trace::Json{{"call", "DriverEntry"},
                            {"status", trace::Status32(static_cast<uint32_t>(status))}});
    return status;
}

NDIS_STATUS Ndis::Register(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS characteristics,
                           UINT length) {
    kernel_.Checked();
    if (wrapper != this) {
        kernel_.Report(verifier::check::kBadHandle, "NdisMRegisterMiniport with an unknown wrapper");
        return NDIS_STATUS_FAILURE;
    }
    if (failRegistration_) {
        failRegistration_ = false;
        return NDIS_STATUS_RESOURCES;
    }
    if (length != sizeof(NDIS_MINIPORT_CHARACTERISTICS) || characteristics->Ndis40Chars.Ndis30Chars.MajorNdisVersion != 5 ||
        characteristics->Ndis40Chars.Ndis30Chars.MinorNdisVersion != 0) {
        return static_cast<NDIS_STATUS>(0xC0010004L);  // NDIS_STATUS_BAD_VERSION
    }
    characteristics_ = *characteristics;
    registered_ = true;
    return NDIS_STATUS_SUCCESS;
}

Adapter& Ndis::AddAdapter(const std::string& name, usb::UsbDevice& device, Registry registry) {
    auto a = std::make_unique<Adapter>();
    a->id = static_cast<int>(adapters_.size());
    a->name = name;
    a->device = &device;
    a->registry = std::move(registry);
    a->bus = std::make_unique<usb::UsbBus>(kernel_, trace_, a->id, name, device);
    a->pdo.Type = 3;
    a->pdo.DriverObject = a->bus->DeviceObject()->DriverObject;
    // The physical device object is the bus's too: a URB sent to it lands on the same bus.
    a->pdo.DeviceExtension = a->bus->DeviceObject()->DeviceExtension;
    a->pdo.StackSize = a->bus->DeviceObject()->StackSize;
    a->fdo.Type = 3;
    a->fdo.DriverObject = &a->fdoDriver;
    a->fdo.StackSize = static_cast<CCHAR>(a->pdo.StackSize + 1);
    a->wrapperConfig.adapter = a.get();
    Adapter* ap = a.get();
    a->bus->SetBulkInHandler([ap](const void* buffer, uint32_t length) {
        if (length > 0) ap->landed[buffer] = length;
        else ap->landed.erase(buffer);
    });
    byHandle_.emplace(a->Handle(), a.get());
    adapters_.push_back(std::move(a));
    return *adapters_.back();
}

Adapter* Ndis::FromHandle(NDIS_HANDLE handle) {
    auto it = byHandle_.find(handle);
    kernel_.Checked();
    if (it != byHandle_.end()) return it->second;
    kernel_.Report(verifier::check::kBadHandle, "unknown miniport adapter handle");
    return nullptr;
}

Adapter* Ndis::FromContext(NDIS_HANDLE context) {
    if (context == nullptr) return nullptr;
    auto it = byContext_.find(context);
    return it == byContext_.end() ? nullptr : it->second;
}

void Ndis::SetContext(Adapter& a, NDIS_HANDLE context) {
    if (a.context != nullptr) {
        auto it = byContext_.find(a.context);
        if (it != byContext_.end() && it->second == &a) {
            byContext_.erase(it);
            // Another adapter told the same context answers for it now, the first one first.
            for (auto& other : adapters_)
                if (other.get() != &a && other->context == a.context) {
                    byContext_.emplace(a.context, other.get());
                    break;
                }
        }
    }
    a.context = context;
    if (context != nullptr) byContext_.emplace(context, &a);
}

void Ndis::TraceCall(Adapter& a, const char* call, const NDIS_STATUS* status, trace::Json extra) {
    const std::string_view kind =
        std::string_view(call) == "MiniportSend" ? trace::Trace::kMiniportSend : "miniport";
    if (!trace_.Enabled(kind)) return;
    trace::Json f{{"call", call}};
    if (status) f["status"] = trace::Status32(static_cast<uint32_t>(*status));
    for (auto& [k, v] : extra.items()) f[k] = v;
    trace_.Emit("miniport", a.name, std::move(f), kind);
}

void Ndis::RunPassive(Adapter& a, const char* name, const std::function<void()>& fn) {
    // Passive handlers may wait for the device for seconds: a line says when one begins, so a
    // reader sees what runs meanwhile (its `miniport` line comes when it returns).
    if (trace_.Enabled("handler_start")) trace_.Emit("handler_start", a.name, trace::Json{{"call", name}});
    ++passiveDepth_;
    a.passiveBusy = true;
    kernel_.RunInContext(name, PASSIVE_LEVEL, a.id, [&] {
        kernel::RaceAcquire(&a.raceCalls);
        fn();
    });
    a.passiveBusy = false;
    --passiveDepth_;
    if (passiveDepth_ == 0) kernel_.Scheduler().ReleaseDeferred();
}

NDIS_STATUS Ndis::Initialize(Adapter& a, const std::vector<NDIS_MEDIUM>& media, UINT* selected) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    UINT index = UINT32_MAX;
    std::vector<NDIS_MEDIUM> array = media;
    RunPassive(a, "MiniportInitialize", [&] {
        NDIS_STATUS openError = NDIS_STATUS_SUCCESS;
        status = kernel::CallDriver(kernel_, "MiniportInitialize",
                                    characteristics_.Ndis40Chars.Ndis30Chars.InitializeHandler, &openError,
                                    &index, array.empty() ? nullptr : array.data(),
                                    static_cast<UINT>(array.size()), a.Handle(), &a.wrapperConfig);
    });
    if (selected) *selected = index;
    a.state = status == NDIS_STATUS_SUCCESS ? AdapterState::Initialized : AdapterState::Failed;
    if (status != NDIS_STATUS_SUCCESS) {
        // A failed initialise must leave nothing behind: one audit, however much it finds.
        kernel_.Checked();
        for (const auto& [addr, res] : kernel_.ResourcesOf(a.id)) {
            kernel_.Verifier().Report(verifier::check::kLeak,
                                      std::string(kernel::ResourceKindName(res.kind)) + " of " +
                                          std::to_string(res.size) +
                                          " bytes left by a failed initialise",
                                      a.name);
        }
    }
    TraceCall(a, "MiniportInitialize", &status);
    return status;
}

void Ndis::Halt(Adapter& a, bool implicit) {
    // NDIS calls halt once no other handler call of the adapter is running: a send running on
    // another processor, or a query or set not yet completed, ends first.
    while ((a.sendersRunning > 0 || a.request != Adapter::Request::Idle) &&
           kernel_.Scheduler().RunOne(sim::Scheduler::kNever)) {
    }
    RunPassive(a, "MiniportHalt", [&] {
        kernel::CallDriver(kernel_, "MiniportHalt", characteristics_.Ndis40Chars.Ndis30Chars.HaltHandler, a.context);
    });
    a.state = AdapterState::Halted;
    a.landed.clear();
    TraceCall(a, "MiniportHalt", nullptr, implicit ? trace::Json{{"implicit", true}} : trace::Json::object());
    // Three audits of what the halted adapter left: memory and handles, armed timers, USB
    // requests. Each counts once, however many resources it looks at.
    kernel_.Checked(3);
    for (const auto& [addr, res] : kernel_.ResourcesOf(a.id)) {
        char tag[5] = {static_cast<char>(res.tag & 0xFF), static_cast<char>((res.tag >> 8) & 0xFF),
                       static_cast<char>((res.tag >> 16) & 0xFF),
                       static_cast<char>((res.tag >> 24) & 0xFF), 0};
        for (char& c : tag)
            if (c && (c < 32 || c > 126)) c = '?';
        kernel_.Verifier().Report(verifier::check::kLeak,
                                  std::string(kernel::ResourceKindName(res.kind)) + " tag '" + tag +
                                      "' of " + std::to_string(res.size) +
                                      " bytes still allocated after halt",
                                  a.name);
    }
    if (ArmedTimers(a.id) > 0) {
        kernel_.Verifier().Report(verifier::check::kTimerArmedAtFree,
                                  std::to_string(ArmedTimers(a.id)) + " timer(s) armed after halt",
                                  a.name);
    }
    if (a.bus->Outstanding() > 0) {
        kernel_.Verifier().Report(verifier::check::kRequestOutstandingAtFree,
                                  std::to_string(a.bus->Outstanding()) +
                                      " USB request(s) outstanding after halt",
                                  a.name);
    }
    SetContext(a, nullptr);
}

NDIS_STATUS Ndis::Reset(Adapter& a, BOOLEAN* addressingReset) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    BOOLEAN addressing = TRUE;
    RunPassive(a, "MiniportReset",
               [&] {
                   status = kernel::CallDriver(kernel_, "MiniportReset",
                                               characteristics_.Ndis40Chars.Ndis30Chars.ResetHandler,
                                               &addressing, a.context);
               });
    if (addressingReset) *addressingReset = addressing;
    TraceCall(a, "MiniportReset", &status);
    return status;
}

void Ndis::Shutdown(Adapter& a) {
    a.shutdownCalled = true;
    if (a.shutdownHandler == nullptr) return;
    RunPassive(a, "MiniportShutdown",
               [&] { kernel::CallDriver(kernel_, "MiniportShutdown", a.shutdownHandler, a.shutdownContext); });
    TraceCall(a, "MiniportShutdown", nullptr);
}

namespace {

// What BytesWritten, BytesRead and BytesNeeded hold before the miniport is called: a count still
// holding it was never written, and the trace says so with null rather than a made-up number.
constexpr ULONG kNotWritten = 0xDEADBEEF;

trace::Json CountOrNull(ULONG count) {
    return count == kNotWritten ? trace::Json(nullptr) : trace::Json(count);
}

}  // namespace

void Ndis::RunRequest(Adapter& a, const char* name, NDIS_STATUS& status, sim::FunctionRef call,
                      const std::function<void(bool)>& completed) {
    using Request = Adapter::Request;
    // A request issued while another runs (a scenario event that waited behind a reset, let go
    // together with the next one) waits its turn, as NDIS queues it.
    while (a.request != Request::Idle && kernel_.Scheduler().RunOne(sim::Scheduler::kNever)) {
    }
    // A halt that came meanwhile (after the request before it ended) leaves nobody to ask.
    if (a.state != AdapterState::Initialized || a.context == nullptr) {
        status = NDIS_STATUS_FAILURE;
        return;
    }
    a.request = Request::Running;
    a.early = Adapter::Completion{};
    Adapter::Completion completion;
    completion.status = &status;
    completion.then = &completed;
    // The request is over when the handler returns (or, pended, when the miniport completes it),
    // not when this frame gets back: a halt or another request waiting for it may run nested in
    // the wait below this frame.
    kernel_.RunInContext(name, DISPATCH_LEVEL, a.id, [&] {
        kernel::RaceAcquire(&a.raceRequests);
        call();
        kernel::RaceRelease(&a.raceCalls);
        if (status == NDIS_STATUS_PENDING && !a.early.done) {
            a.pended = &completion;
            a.request = Request::Pended;
            return;
        }
        kernel::RaceRelease(&a.raceRequests);
        a.request = Request::Idle;
        const bool pended = status == NDIS_STATUS_PENDING;
        // Completed before its handler even returned.
        if (pended) status = a.early.earlyStatus;
        completion.done = true;
        // Its line now, before a request that waited for this one begins.
        completed(pended);
    });
    if (completion.done) return;
    while (!completion.done && kernel_.Scheduler().RunOne(sim::Scheduler::kNever)) {
    }
    kernel_.Checked();  // a pended request is completed while something can still complete it
    if (!completion.done) {
        kernel_.Verifier().Report(verifier::check::kDeadlock,
                                  std::string(name) + " pended and never completed", a.name);
        a.pended = nullptr;
        a.request = Request::Idle;
        status = NDIS_STATUS_FAILURE;
        completed(true);
    }
}

void Ndis::CompleteRequest(NDIS_HANDLE handle, NDIS_STATUS status, const char* routine) {
    Adapter* a = FromHandle(handle);
    if (!a) return;
    kernel_.Checked();  // a request of this adapter is pended, or its handler is running
    if (a->request == Adapter::Request::Running) {
        a->early.done = true;
        a->early.earlyStatus = status;
        return;
    }
    if (a->request != Adapter::Request::Pended || a->pended == nullptr) {
        kernel_.Report(verifier::check::kBadHandle,
                       std::string(routine) + " with no query or set pended");
        return;
    }
    // The request ends here: its line is written now, and the next request may begin.
    Adapter::Completion& c = *a->pended;
    kernel::RaceRelease(&a->raceRequests);
    a->pended = nullptr;
    a->request = Adapter::Request::Idle;
    c.done = true;
    *c.status = status;
    (*c.then)(true);
}

QueryResult Ndis::Query(Adapter& a, NDIS_OID oid, ULONG length) {
    QueryResult r{NDIS_STATUS_FAILURE, kNotWritten, kNotWritten, {}};
    r.buffer.assign(length + kGuardBytes, kGuardByte);
    sim::TimeUs called = 0;  // when the handler was called, after the request waited its turn
    // Once the request has ended (a pended one when the miniport completes it): the guard bytes
    // past the buffer, and the request's line.
    const auto ended = [&](bool pended) {
        kernel_.Checked();  // the guard bytes past the buffer
        for (size_t i = length; i < r.buffer.size(); ++i) {
            if (r.buffer[i] != kGuardByte) {
                kernel_.Verifier().Report(verifier::check::kOverrun,
                                          "MiniportQueryInformation wrote past its " +
                                              std::to_string(length) + "-byte buffer",
                                          a.name);
                break;
            }
        }
        if (!trace_.Enabled()) return;
        // Every query line carries both counts, whatever the status; only a success has data.
        trace::Json f{{"oid", trace::Status32(oid)},
                      {"length", length},
                      {"bytes_written", CountOrNull(r.bytesWritten)},
                      {"bytes_needed", CountOrNull(r.bytesNeeded)}};
        if (r.status == NDIS_STATUS_SUCCESS && r.bytesWritten != kNotWritten)
            trace_.PutData(f, "miniport", r.buffer.data(), std::min<size_t>(r.bytesWritten, length));
        if (pended) f["pended"] = true;
        f["called_us"] = called;
        TraceCall(a, "MiniportQueryInformation", &r.status, std::move(f));
    };
    RunRequest(
        a, "MiniportQueryInformation", r.status,
        [&] {
            called = kernel_.Scheduler().Now();
            r.status = kernel::CallDriver(kernel_, "MiniportQueryInformation",
                                          characteristics_.Ndis40Chars.Ndis30Chars.QueryInformationHandler,
                                          a.context, oid, r.buffer.data(), length, &r.bytesWritten,
                                          &r.bytesNeeded);
        },
        ended);
    r.buffer.resize(length);
    return r;
}

SetResult Ndis::Set(Adapter& a, NDIS_OID oid, const std::vector<uint8_t>& data) {
    SetResult r{NDIS_STATUS_FAILURE, kNotWritten, kNotWritten};
    std::vector<uint8_t> buffer = data;
    buffer.resize(data.size() + kGuardBytes, kGuardByte);
    sim::TimeUs called = 0;  // when the handler was called, after the request waited its turn
    const auto ended = [&](bool pended) {
        if (!trace_.Enabled()) return;
        trace::Json f{{"oid", trace::Status32(oid)},
                      {"length", data.size()},
                      {"bytes_read", CountOrNull(r.bytesRead)},
                      {"bytes_needed", CountOrNull(r.bytesNeeded)}};
        if (pended) f["pended"] = true;
        f["called_us"] = called;
        TraceCall(a, "MiniportSetInformation", &r.status, std::move(f));
    };
    RunRequest(
        a, "MiniportSetInformation", r.status,
        [&] {
            called = kernel_.Scheduler().Now();
            r.status = kernel::CallDriver(kernel_, "MiniportSetInformation",
                                          characteristics_.Ndis40Chars.Ndis30Chars.SetInformationHandler,
                                          a.context, oid, buffer.data(), static_cast<ULONG>(data.size()),
                                          &r.bytesRead, &r.bytesNeeded);
        },
        ended);
    return r;
}

uint64_t Ndis::Send(Adapter& a, const std::vector<uint8_t>& frame, size_t pieces) {
    auto packet = a.protocol.MakePacket(frame, pieces);
    const uint64_t id = packet->id;
    a.protocol.queue.PushBack(std::move(packet));
    Queued(a);
    return id;
}

uint64_t Ndis::Send(Adapter& a, const FrameSource& source, uint64_t index) {
    const uint64_t id = a.protocol.nextId++;
    a.protocol.queue.PushBack(source, id, index);
    Queued(a);
    return id;
}

void Ndis::Queued(Adapter& a) {
    ++a.protocol.sends.queued;
    // While a retry is scheduled the head is waiting out its millisecond; a new packet queues
    // behind it instead of offering it again now.
    if (!a.protocol.pumpScheduled) StartSends(a);
}

void Ndis::StartSends(Adapter& a) {
    if (!kernel_.Multiprocessor()) {
        PumpSends(a);
        return;
    }
    if (a.sendersRunning >= sendLanes_ || a.protocol.queue.empty()) return;
    ++a.sendersRunning;
    Adapter* ap = &a;
    kernel_.Dispatch("protocol send", DISPATCH_LEVEL, a.id, [this, ap] {
        PumpSends(*ap);
        kernel::RaceRelease(&ap->raceCalls);
        --ap->sendersRunning;
    });
}

void Ndis::ScheduleRetry(Adapter& a) {
    if (a.protocol.pumpScheduled) return;
    a.protocol.pumpScheduled = true;
    Adapter* ap = &a;
    kernel_.Scheduler().At(
        kernel_.Scheduler().Now() + 1000,
        [this, ap] {
            ap->protocol.pumpScheduled = false;
            StartSends(*ap);
        },
        sim::Phase::Internal);
}

void Ndis::PumpSends(Adapter& a) {
    Protocol& p = a.protocol;
    while (!p.queue.empty()) {
        if (a.state != AdapterState::Initialized) {
            // Nobody below to take it: the protocol gives the packets up.
            while (!p.queue.empty()) {
                ++p.sends.dropped;
                if (p.onSendDone) p.onSendDone(p.queue.FrontId(), NDIS_STATUS_FAILURE);
                p.queue.DropFront();
            }
            return;
        }
        if (a.passiveBusy || (kernel_.Multiprocessor() && p.pumpScheduled)) {
            ScheduleRetry(a);
            return;
        }
        auto owned = p.TakeFront();
        PNDIS_PACKET packet = owned->Packet();
        ProtocolPacket* raw = owned.get();
        p.Hand(std::move(owned));
        ++p.sends.offered;
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        // Taken now: a packet completed within the call is the protocol's again when it returns.
        const uint64_t id = raw->id;
        sim::TimeUs called = 0;
        kernel_.RunInContext("MiniportSend", DISPATCH_LEVEL, a.id, [&] {
            called = kernel_.Scheduler().Now();
            status = kernel::CallDriver(kernel_, "MiniportSend",
                                        characteristics_.Ndis40Chars.Ndis30Chars.SendHandler,
                                        a.context, packet, 0u);
        });
        // One per frame: skip even building the line's arguments when nobody reads it. The
        // packet's number pairs this line with its send_complete line.
        if (trace_.Enabled(trace::Trace::kMiniportSend))
            TraceCall(a, "MiniportSend", &status, trace::Json{{"packet", id}, {"called_us", called}});
        if (status == NDIS_STATUS_PENDING) continue;  // completed through NdisMSendComplete
        ProtocolPacket* held = p.Held(packet);
        kernel_.Checked();  // a packet not pended is still the protocol's to take back
        if (status == NDIS_STATUS_SUCCESS) {
            ++p.sends.completed;
            if (p.onSendDone) p.onSendDone(id, status);
            if (held != nullptr) p.Recycle(p.TakeBack(held));
            continue;
        }
        if (held == nullptr) {
            // Completed and also refused: the packet went back twice.
            kernel_.Verifier().Report(verifier::check::kSendCompleteForeign,
                                      "packet completed with NdisMSendComplete and also refused",
                                      a.name);
            continue;
        }
        std::unique_ptr<ProtocolPacket> back = p.TakeBack(held);
        if (status == NDIS_STATUS_RESOURCES) {
            ++p.sends.resourcesAnswers;
            p.queue.PushFront(std::move(back));
            ScheduleRetry(a);
            return;
        }
        ++p.sends.failures;
        if (p.onSendDone) p.onSendDone(back->id, status);
        p.Recycle(std::move(back));
    }
}

void Ndis::SetAttributes(NDIS_HANDLE handle, NDIS_HANDLE context, UINT hang, ULONG flags,
                         NDIS_INTERFACE_TYPE type) {
    Adapter* a = FromHandle(handle);
    if (!a) return;
    SetContext(*a, context);
    a->hangSeconds = hang;
    a->attributeFlags = flags;
    a->interfaceType = type;
    a->attributesSet = true;
}

void Ndis::InitializeTimer(PNDIS_MINIPORT_TIMER timer, NDIS_HANDLE handle, PNDIS_TIMER_FUNCTION fn,
                           PVOID context) {
    Adapter* a = FromHandle(handle);
    auto key = reinterpret_cast<uintptr_t>(timer);
    auto it = timers_.find(key);
    if (it != timers_.end()) kernel_.Scheduler().Cancel(it->second.event);
    std::memset(timer, 0, sizeof *timer);
    timer->MiniportTimerFunction = fn;
    timer->MiniportTimerContext = context;
    timer->Miniport = handle;
    timers_[key] = TimerState{a ? a->id : -1, 0};
}

void Ndis::SetTimer(PNDIS_MINIPORT_TIMER timer, UINT ms) {
    if (!kernel_.CheckNotFreed(timer, "NdisMSetTimer")) return;
    auto it = FindTimer(timer);
    kernel_.Checked();
    if (it == timers_.end()) {
        kernel_.Report(verifier::check::kTimerUninitialized,
                       "NdisMSetTimer on a timer never initialised");
        return;
    }
    if (kernel_.Multiprocessor()) {
        kernel_.Point("NdisMSetTimer");  // another processor may free the timer here
        it = FindTimer(timer);
        if (it == timers_.end()) return;
    }
    // What the setter did happens before the routine runs.
    kernel::RaceRelease(timer);
    auto& sched = kernel_.Scheduler();
    sched.Cancel(it->second.event);
    const int adapter = it->second.adapter;
    sim::TimeUs due = sched.Now() + static_cast<sim::TimeUs>(ms) * 1000;
    if (timerGranularityUs_ > 0)
        due = (due + timerGranularityUs_ - 1) / timerGranularityUs_ * timerGranularityUs_;
    it->second.due = due;
    it->second.event = sched.At(due, [this, timer, adapter] {
        auto t = FindTimer(timer);
        if (t == timers_.end()) return;
        t->second.event = 0;
        PNDIS_TIMER_FUNCTION fn = timer->MiniportTimerFunction;
        PVOID ctx = timer->MiniportTimerContext;
        kernel_.Dispatch("timer", DISPATCH_LEVEL, adapter, [this, timer, fn, ctx] {
            kernel::RaceAcquire(timer);
            kernel::CallDriver(kernel_, "timer routine", fn, nullptr, ctx, nullptr, nullptr);
        });
    });
}

bool Ndis::CancelTimer(PNDIS_MINIPORT_TIMER timer) {
    if (!kernel_.CheckNotFreed(timer, "NdisMCancelTimer")) return false;
    auto it = FindTimer(timer);
    kernel_.Checked();
    if (it == timers_.end()) {
        kernel_.Report(verifier::check::kTimerUninitialized,
                       "NdisMCancelTimer on a timer never initialised");
        return false;
    }
    kernel_.Point("NdisMCancelTimer");
    it = FindTimer(timer);
    if (it == timers_.end()) return false;
    const bool was = kernel_.Scheduler().Cancel(it->second.event);
    it->second.event = 0;
    return was;
}

bool Ndis::TimerArmed(const void* timer) const {
    auto it = timers_.find(reinterpret_cast<uintptr_t>(timer));
    return it != timers_.end() && it->second.event != 0;
}

sim::TimeUs Ndis::TimerDue(const void* timer) const {
    return TimerArmed(timer) ? timers_.at(reinterpret_cast<uintptr_t>(timer)).due
                             : sim::Scheduler::kNever;
}

size_t Ndis::ArmedTimers(int adapter) const {
    size_t n = 0;
    for (const auto& [addr, t] : timers_)
        if (t.event != 0 && (adapter < 0 || t.adapter == adapter)) ++n;
    return n;
}

void Ndis::OnFree(uintptr_t base, size_t size) {
    for (auto it = timers_.lower_bound(base); it != timers_.end() && it->first < base + size;) {
        kernel_.Checked();  // a timer in the freed block is not armed
        if (it->second.event != 0) {
            kernel_.Report(verifier::check::kTimerArmedAtFree,
                           "memory freed while a timer in it is still armed");
            kernel_.Scheduler().Cancel(it->second.event);
        }
        it = timers_.erase(it);
        lastTimer_ = timers_.end();
    }
    if (Adapter* a = FromContext(reinterpret_cast<NDIS_HANDLE>(base))) {
        const size_t inFlight = kernel_.InFlightIrps(a->id);
        kernel_.Checked();
        if (inFlight > 0) {
            kernel_.Report(verifier::check::kRequestOutstandingAtFree,
                           "adapter context freed with " + std::to_string(inFlight) +
                               " request(s) still at the USB stack");
        }
    }
}

void Ndis::IndicateReceive(NDIS_HANDLE handle, PPNDIS_PACKET packets, UINT count) {
    kernel_.Point("NdisMIndicateReceivePacket");
    Adapter* a = FromHandle(handle);
    if (!a) return;
    kernel_.Checked(2);  // no spin lock held, the adapter's initialise has returned
    if (kernel_.HoldsAnyLock()) {
        kernel_.Report(verifier::check::kLockAcrossIndication,
                       "NdisMIndicateReceivePacket with a spin lock held");
    }
    Protocol& p = a->protocol;
    ++p.receiveCallCount;
    if (p.keepReceived) p.receiveCalls.push_back(count);
    if (a->state == AdapterState::Bound) {
        // No protocol is bound to an adapter whose initialise has not returned: NDIS drops them.
        kernel_.Verifier().Report(verifier::check::kReceiveBeforeInit,
                                  std::to_string(count) +
                                      " packet(s) indicated before MiniportInitialize returned",
                                  a->name);
        return;
    }
    for (UINT i = 0; i < count; ++i) {
        PNDIS_PACKET packet = packets[i];
        const kernel::Resource* res = kernel_.Find(packet);
        kernel_.Checked();
        if (res == nullptr || res->kind != kernel::ResourceKind::Packet) {
            kernel_.Report(verifier::check::kBadHandle, "indicated packet is not a live packet");
            continue;
        }
        // A frame that is not kept is read into the same buffer every time.
        ReceivedFrame kept;
        ReceivedFrame& f = p.keepReceived ? kept : p.lastReceived;
        f.t_us = kernel_.Scheduler().Now();
        f.packetStatus = NDIS_GET_PACKET_STATUS(packet);
        const PacketReading r = ReadPacket(packet, f.data, p.keepReceived);
        f.bytes = r.bytes;
        // The frame the bus put in the packet's buffer: what it reported, less the check
        // sequence and status trailer.
        const auto landed = a->landed.find(r.firstBuffer);
        const bool known = landed != a->landed.end();
        const uint32_t onWire = known && landed->second > kReceiveTrailer ? landed->second - kReceiveTrailer : 0;
        kernel_.Checked(2);  // the length told, and not shorter than its header
        if (r.told != r.held || (known && r.told != onWire)) {
            kernel_.Verifier().Report(
                verifier::check::kReceiveLength,
                "packet indicated with a total length of " + std::to_string(r.told) +
                    " bytes; its buffers hold " + std::to_string(r.held) +
                    (known ? " and the frame that landed in its buffer has " + std::to_string(onWire)
                           : std::string()),
                a->name);
        }
        if (std::min(r.told, r.held) < r.headerSize) {
            kernel_.Verifier().Report(verifier::check::kReceiveRunt,
                                      "packet of " + std::to_string(std::min(r.told, r.held)) +
                                          " bytes indicated, shorter than its " +
                                          std::to_string(r.headerSize) + "-byte header",
                                      a->name);
        }
        if (trace_.Enabled("indicate_receive"))
        {
            trace::Json fields{{"length", f.bytes.size()}};
            trace_.PutData(fields, "indicate_receive", f.bytes.data(), f.bytes.size());
            fields["packet_status"] = trace::Status32(static_cast<uint32_t>(f.packetStatus));
            trace_.Emit("indicate_receive", a->name, std::move(fields));
        }
        ++p.receivedCount;
        if (p.keepReceived) {
            p.received.push_back(std::move(f));
            if (p.onReceive) p.onReceive(p.received.back());
        } else {
            if (p.onReceive) p.onReceive(f);
            f.bytes = {};  // the buffer is the miniport's again
        }
        if (NDIS_GET_PACKET_STATUS(packet) != NDIS_STATUS_RESOURCES && characteristics_.Ndis40Chars.ReturnPacketHandler) {
            // The protocol keeps the packet for a moment and gives it back.
            NDIS_HANDLE ctx = a->context;
            W_RETURN_PACKET_HANDLER ret = characteristics_.Ndis40Chars.ReturnPacketHandler;
            const int id = a->id;
            kernel::RaceRelease(packet);
            kernel_.Scheduler().After(0, [this, ret, ctx, packet, id] {
                kernel_.Dispatch("MiniportReturnPacket", DISPATCH_LEVEL, id, [this, ret, ctx, packet] {
                    kernel::RaceAcquire(packet);
                    kernel::CallDriver(kernel_, "MiniportReturnPacket", ret, ctx, packet);
                });
            });
        }
    }
}

void Ndis::SendComplete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status) {
    kernel_.Point("NdisMSendComplete");
    Adapter* a = FromHandle(handle);
    if (!a) return;
    kernel_.Checked(2);  // no spin lock held, a packet the miniport holds
    if (kernel_.HoldsAnyLock()) {
        kernel_.Report(verifier::check::kLockAcrossIndication,
                       "NdisMSendComplete with a spin lock held");
    }
    ProtocolPacket* held = a->protocol.Held(packet);
    if (held == nullptr) {
        kernel_.Report(verifier::check::kSendCompleteForeign,
                       "NdisMSendComplete for a packet the miniport does not hold");
        return;
    }
    if (trace_.Enabled("send_complete"))
        trace_.Emit("send_complete", a->name,
                trace::Json{{"status", trace::Status32(static_cast<uint32_t>(status))},
                            {"packet", held->id}});
    if (status == NDIS_STATUS_SUCCESS) ++a->protocol.sends.completed;
    else ++a->protocol.sends.completedFailed;
    const uint64_t id = held->id;
    a->protocol.Recycle(a->protocol.TakeBack(held));
    if (a->protocol.onSendDone) a->protocol.onSendDone(id, status);
}

void Ndis::IndicateStatus(NDIS_HANDLE handle, NDIS_STATUS status) {
    kernel_.Point("NdisMIndicateStatus");
    Adapter* a = FromHandle(handle);
    if (!a) return;
    kernel_.Checked();
    if (kernel_.HoldsAnyLock()) {
        kernel_.Report(verifier::check::kLockAcrossIndication,
                       "NdisMIndicateStatus with a spin lock held");
    }
    trace_.Emit("indicate_status", a->name,
                trace::Json{{"status", trace::Status32(static_cast<uint32_t>(status))}});
    a->protocol.statuses.push_back(StatusIndication{kernel_.Scheduler().Now(), status});
    if (a->protocol.onStatus) a->protocol.onStatus(status);
}

void Ndis::IndicateStatusComplete(NDIS_HANDLE handle) {
    Adapter* a = FromHandle(handle);
    if (!a) return;
    kernel_.Checked();
    if (kernel_.HoldsAnyLock()) {
        kernel_.Report(verifier::check::kLockAcrossIndication,
                       "NdisMIndicateStatusComplete with a spin lock held");
    }
    ++a->protocol.statusCompletes;
}

void Ndis::WriteErrorLog(NDIS_HANDLE handle, NDIS_ERROR_CODE code, std::vector<uint32_t> values) {
    Adapter* a = FromHandle(handle);
    kernel_.Checked();
    if (!a) {
        kernel_.Report(verifier::check::kBadHandle,
                       "NdisWriteErrorLogEntry with a handle that is no adapter's");
        return;
    }
    if (trace_.Enabled()) {
        trace::Json list = trace::Json::array();
        for (uint32_t v : values) list.push_back(v);
        trace_.Emit("error_log", a->name,
                    trace::Json{{"code", trace::Status32(code)}, {"values", list}});
    }
    a->errorLog.push_back(ErrorLogEntry{kernel_.Scheduler().Now(), code, std::move(values)});
}

}  // namespace host::ndis
