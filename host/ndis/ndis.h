// The emulated NDIS wrapper: miniport registration, adapters bound to emulated USB devices,
// calls into the miniport's handlers at the levels real NDIS 5 uses, configuration, memory,
// spin locks, timers, packet and buffer pools, and indications to the protocol side.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "driver/platform/ndis.h"
#include "host/kernel/kernel.h"
#include "host/ndis/miniport_block.h"
#include "host/ndis/protocol.h"
#include "host/usb/bus.h"
#include "host/usb/usb_device.h"

namespace host::ndis {

struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
// Registry keywords of one adapter: integers, or text read the way NDIS reads it.
using RegistryValue = std::variant<uint32_t, std::string>;
using Registry = std::map<std::string, RegistryValue, CaseInsensitiveLess>;

enum class AdapterState : uint8_t { Bound, Initialized, Halted, Failed };

struct Adapter;

// An entry the miniport wrote to the system event log.
struct ErrorLogEntry {
    uint64_t t_us;
    NDIS_ERROR_CODE code;
    std::vector<uint32_t> values;
};

// What NDIS hands the miniport as WrapperConfigurationContext.
struct WrapperConfiguration {
    Adapter* adapter;
};

struct Adapter {
    // What the miniport is given as its adapter handle (miniport_block.h).
    MiniportBlock block;
    NDIS_HANDLE Handle() { return block.Handle(); }
    int id = -1;
    std::string name;
    usb::UsbDevice* device = nullptr;
    std::unique_ptr<usb::UsbBus> bus;
    DRIVER_OBJECT fdoDriver{};
    DEVICE_OBJECT pdo{};
    DEVICE_OBJECT fdo{};
    WrapperConfiguration wrapperConfig{};
    Registry registry;
    AdapterState state = AdapterState::Bound;
    bool passiveBusy = false;  // initialise, reset or halt of this adapter is running
    // With several processors: protocol send tasks of this adapter now running MiniportSend.
    unsigned sendersRunning = 0;
    // Every handler call's end happens before a later initialise, reset or halt begins (a
    // fence of the tsan build).
    char raceCalls = 0;
    // A query or set's end (its handler's return, or its completion when pended) happens before
    // the next one begins (a fence of the tsan build).
    char raceRequests = 0;
    bool shutdownCalled = false;
    // NDIS hands a miniport one query or set at a time, deserialized or not: the next waits until
    // this one has completed, through NdisMQueryInformationComplete or
    // NdisMSetInformationComplete when the miniport pended it.
    enum class Request : uint8_t { Idle, Running, Pended } request = Request::Idle;
    // Where the completion of the request now pended goes (its caller's frame), and a
    // completion the miniport made before its handler even returned.
    struct Completion {
        bool done = false;
        NDIS_STATUS* status = nullptr;   // the caller's status, given the completion's
        NDIS_STATUS earlyStatus = NDIS_STATUS_SUCCESS;  // `early` only
        // Writes the request's line once it has ended (true: it was pended).
        const std::function<void(bool)>* then = nullptr;
    };
    Completion* pended = nullptr;
    Completion early;
    // Set by the miniport.
    NDIS_HANDLE context = nullptr;
    UINT hangSeconds = 0;
    ULONG attributeFlags = 0;
    NDIS_INTERFACE_TYPE interfaceType = NdisInterfaceInternal;
    bool attributesSet = false;
    ADAPTER_SHUTDOWN_HANDLER shutdownHandler = nullptr;
    PVOID shutdownContext = nullptr;
    Protocol protocol;
    std::vector<ErrorLogEntry> errorLog;
    // The bytes the bus reported for the last bulk-in transfer it completed into each buffer,
    // frame and trailer: what a packet over that buffer may claim to hold.
    std::unordered_map<const void*, uint32_t> landed;
};

struct QueryResult {
    NDIS_STATUS status;
    ULONG bytesWritten;
    ULONG bytesNeeded;
    std::vector<uint8_t> buffer;  // the whole information buffer after the call
};

struct SetResult {
    NDIS_STATUS status;
    ULONG bytesRead;
    ULONG bytesNeeded;
};

class Ndis {
public:
    Ndis(kernel::Kernel& kernel, trace::Trace& trace);
    ~Ndis();

    // ---- the driver ----
    // Calls DriverEntry as the system loader would. Returns its NT status.
    NTSTATUS LoadDriver();
    // The driver's entry: the built-in driver's DriverEntry unless a loaded image's is given.
    using DriverEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);
    void SetDriverEntry(DriverEntryRoutine entry) { entry_ = entry; }
    bool Registered() const { return registered_; }
    const NDIS_MINIPORT_CHARACTERISTICS& Characteristics() const { return characteristics_; }
    void FailNextRegistration() { failRegistration_ = true; }
    NDIS_STATUS Register(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS characteristics,
                         UINT length);

    // ---- adapters ----
    Adapter& AddAdapter(const std::string& name, usb::UsbDevice& device, Registry registry = {});
    Adapter& AdapterById(int id) { return *adapters_.at(id); }
    Adapter* FromHandle(NDIS_HANDLE handle);
    Adapter* FromContext(NDIS_HANDLE context);
    // Records the context the miniport set for `a` (nullptr once halted).
    void SetContext(Adapter& a, NDIS_HANDLE context);
    size_t AdapterCount() const { return adapters_.size(); }

    // Handlers, called as NDIS calls them. Passive ones run alone; others at DISPATCH_LEVEL.
    NDIS_STATUS Initialize(Adapter& a, const std::vector<NDIS_MEDIUM>& media = {NdisMedium802_3},
                           UINT* selected = nullptr);
    void Halt(Adapter& a, bool implicit = false);
    NDIS_STATUS Reset(Adapter& a, BOOLEAN* addressingReset = nullptr);
    void Shutdown(Adapter& a);
    QueryResult Query(Adapter& a, NDIS_OID oid, ULONG length);
    SetResult Set(Adapter& a, NDIS_OID oid, const std::vector<uint8_t>& data);
    // Queues a frame on the protocol side; it is offered to MiniportSend in order.
    uint64_t Send(Adapter& a, const std::vector<uint8_t>& frame, size_t pieces = 1);
    // Queues frame `index` of `source`, made when the miniport is offered it: a backlog of such
    // frames holds no frame bytes. Returns the packet's id, as the other Send.
    uint64_t Send(Adapter& a, const FrameSource& source, uint64_t index);

    // True while a passive handler of any adapter runs: scenario events that would start
    // another wait.
    bool PassiveBusy() const { return passiveDepth_ > 0; }

    // ---- services behind the exported routines ----
    void SetAttributes(NDIS_HANDLE handle, NDIS_HANDLE context, UINT hang, ULONG flags,
                       NDIS_INTERFACE_TYPE type);
    void InitializeTimer(PNDIS_MINIPORT_TIMER timer, NDIS_HANDLE handle, PNDIS_TIMER_FUNCTION fn,
                         PVOID context);
    void SetTimer(PNDIS_MINIPORT_TIMER timer, UINT ms);
    bool CancelTimer(PNDIS_MINIPORT_TIMER timer);
    bool TimerArmed(const void* timer) const;
    // When an armed timer fires; Scheduler::kNever when it is not armed.
    sim::TimeUs TimerDue(const void* timer) const;
    // Timers fall due on a tick of this many microseconds (0: exactly when asked), the way a
    // system clock tick delays a short timer.
    void SetTimerGranularity(uint64_t us) { timerGranularityUs_ = us; }
    // With several processors, how many processors the protocol side may call MiniportSend on
    // at once for one adapter (1: one at a time, in queue order).
    void SetSendLanes(unsigned lanes) { sendLanes_ = lanes == 0 ? 1 : lanes; }
    unsigned SendLanes() const { return sendLanes_; }
    size_t ArmedTimers(int adapter) const;
    void IndicateReceive(NDIS_HANDLE handle, PPNDIS_PACKET packets, UINT count);
    void SendComplete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status);
    void IndicateStatus(NDIS_HANDLE handle, NDIS_STATUS status);
    void IndicateStatusComplete(NDIS_HANDLE handle);
    // The miniport completes the query or set it pended.
    void CompleteRequest(NDIS_HANDLE handle, NDIS_STATUS status, const char* routine);
    void WriteErrorLog(NDIS_HANDLE handle, NDIS_ERROR_CODE code, std::vector<uint32_t> values);
    void NoteRelease(const std::string& what) { releases_.push_back(what); }
    const std::vector<std::string>& Releases() const { return releases_; }
    kernel::Kernel& Kernel() { return kernel_; }

private:
    struct TimerState {
        int adapter = -1;
        sim::EventId event = 0;
        sim::TimeUs due = 0;
    };
    void RunPassive(Adapter& a, const char* name, const std::function<void()>& fn);
    // Runs the miniport's query or set handler `call` once the request before it has completed,
    // and waits for its completion when the handler pended it; `completed` runs once, as soon as
    // the request has ended (inside the handler's context when it was answered at once), with
    // whether it was pended. An adapter halted while the request waited its turn is not called
    // at all, and `completed` does not run.
    void RunRequest(Adapter& a, const char* name, NDIS_STATUS& status, sim::FunctionRef call,
                    const std::function<void(bool)>& completed);
    void PumpSends(Adapter& a);
    // A packet joined the queue: counts it and offers the queue unless a retry is due.
    void Queued(Adapter& a);
    // Offers the queue to the miniport: at once on one processor, from send tasks with several.
    void StartSends(Adapter& a);
    void ScheduleRetry(Adapter& a);
    void OnFree(uintptr_t base, size_t size);
    void TraceCall(Adapter& a, const char* call, const NDIS_STATUS* status,
                   trace::Json extra = trace::Json::object());

    kernel::Kernel& kernel_;
    trace::Trace& trace_;
    DRIVER_OBJECT driverObject_{};
    DriverEntryRoutine entry_;
    bool registered_ = false;
    bool failRegistration_ = false;
    NDIS_MINIPORT_CHARACTERISTICS characteristics_{};
    std::vector<std::unique_ptr<Adapter>> adapters_;
    // Constant-time lookups: the handle NDIS gave each adapter, and the context its miniport
    // set (the first adapter that set it, when two set the same one).
    std::unordered_map<NDIS_HANDLE, Adapter*> byHandle_;
    std::unordered_map<NDIS_HANDLE, Adapter*> byContext_;
    // Ordered, so that a freed block's timers are a range. The driver sets one timer for every
    // frame it receives, and that timer fires: the record found last is tried first.
    using Timers = std::map<uintptr_t, TimerState>;
    Timers timers_;
    Timers::iterator lastTimer_ = timers_.end();  // end() again when a timer is erased
    Timers::iterator FindTimer(const void* timer) {
        const auto key = reinterpret_cast<uintptr_t>(timer);
        if (lastTimer_ != timers_.end() && lastTimer_->first == key) return lastTimer_;
        const auto it = timers_.find(key);
        if (it != timers_.end()) lastTimer_ = it;
        return it;
    }
    int passiveDepth_ = 0;
    uint64_t timerGranularityUs_ = 0;
    unsigned sendLanes_ = 1;
    std::vector<std::string> releases_;
};

}  // namespace host::ndis
