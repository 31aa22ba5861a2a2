// The USB stack below the miniport: one lower device object per adapter that accepts
// IOCTL_INTERNAL_USB_SUBMIT_URB, turns each URB into a transfer on the device's default or bulk
// pipes, and completes it on a 1 ms frame boundary (plus a seeded jitter), or inside
// IofCallDriver when the seed says so. Fault plans make it stall, fail or never answer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/platform/usb.h"
#include "host/kernel/kernel.h"
#include "host/sim/ring_queue.h"
#include "host/sim/scheduler.h"
#include "host/trace/trace.h"
#include "host/usb/usb_device.h"

namespace host::usb {

struct BusFaults {
    // What a plan does to the request it hits: stall or fail it (control requests only), never
    // answer it until it is cancelled, or answer it `lateUs` later than it would be answered.
    enum class ControlFault : uint8_t { None, Stall, Error, Silent, Late };
    // Which requests a plan counts. Control requests are the default pipe's, a pipe reset
    // included (the bus sends CLEAR_FEATURE(ENDPOINT_HALT) for it); bulk transfers go either
    // way; Any counts both in the order the bus takes them. A pipe abort is the host
    // controller's own act and is never counted or faulted.
    enum class Target : uint8_t { Control, Bulk, Any };
    struct Plan {
        ControlFault fault;
        Target target;
        uint64_t remaining;  // requests of `target` still to come before the first one hit
        uint64_t count;      // consecutive requests hit, from that one on
        uint64_t lateUs;     // Late: the extra time
    };

    // The nth control request from now (1-based) meets `fault`, and so do the `count - 1`
    // control requests after it.
    void ArmControl(ControlFault fault, uint64_t nth, uint64_t count = 1, uint64_t lateUs = 0) {
        Arm(Plan{fault, Target::Control, nth, count, lateUs});
    }
    // The nth bulk transfer from now and the `count - 1` after it: Silent or Late only.
    void ArmBulk(ControlFault fault, uint64_t nth, uint64_t count = 1, uint64_t lateUs = 0) {
        Arm(Plan{fault, Target::Bulk, nth, count, lateUs});
    }
    // The nth request of either kind from now: Silent or Late only.
    void ArmAny(ControlFault fault, uint64_t nth, uint64_t lateUs = 0) {
        Arm(Plan{fault, Target::Any, nth, 1, lateUs});
    }
    void Arm(Plan plan);
    bool PlansPending() const { return !plans.empty(); }

    uint32_t bulkInErrors = 0;   // the next n bulk-in transfers complete with an error
    uint32_t bulkOutErrors = 0;  // the next n bulk-out transfers complete with an error
    // Added to the length every bulk-in transfer reports, beyond the bytes it moved: a lower
    // driver that claims more than was asked for.
    uint32_t bulkInOverstate = 0;
    bool irpCompleteError = false;  // the next bulk request fails inside IofCallDriver
    // A lower driver slow to end what it is told to cancel: the next `cancelLateCount` requests
    // cancelled through IoCancelIrp complete `cancelLateUs` after the cancel (otherwise inside
    // it or within the next millisecond, as the seed says).
    uint64_t cancelLateCount = 0;
    uint64_t cancelLateUs = 0;
    bool vanished = false;          // every request from now on fails (see UsbBus::Vanish)
    // Percentage of requests completed inside IofCallDriver when nothing forbids it.
    uint32_t inlinePercent = 25;
    // Microseconds of seeded jitter added to each completion (0..maxJitterUs).
    uint32_t maxJitterUs = 250;

    std::vector<Plan> plans;
};

// One request as a capture on the bus sees it, at its submission and again at its completion.
struct TransferRecord {
    const void* key = nullptr;  // the same for a request's submission and its completion
    uint8_t type = 2;           // usbmon numbering: 0 isochronous, 1 interrupt, 2 control, 3 bulk
    uint8_t endpoint = 0;       // endpoint address, bit 0x80 set for device-to-host
    bool hasSetup = false;      // control transfers: `setup` is what went on the bus
    Setup setup{};
    uint32_t requested = 0;          // bytes the request asked to move
    const uint8_t* data = nullptr;   // OUT data at submission, IN data at completion
    uint32_t length = 0;             // bytes at `data`; at completion, the bytes moved
    Result result = Result::Ok;      // at completion
    // IN transfers: whether a data stage shorter than asked for is taken without an error
    // (USBD_SHORT_TRANSFER_OK; see AcceptsShortTransfer).
    bool shortOk = true;
    bool In() const { return (endpoint & 0x80) != 0; }
};

// Whether an IN request accepts a data stage shorter than it asked for: the
// USBD_SHORT_TRANSFER_OK flag its sender set in a vendor or bulk request. A host controller ends
// a short IN transfer of a request without it as an error (Windows USBD_STATUS_ERROR_SHORT_TRANSFER,
// Linux URB_SHORT_NOT_OK). The standard requests carry no flags of their sender's: the bus driver
// builds their transfers itself and takes a short answer (a configuration descriptor set shorter
// than the 255 bytes asked for).
bool AcceptsShortTransfer(const URB* urb);

// Told of every request the bus takes and of its completion, before the sender's completion
// routine runs (the URB is still the sender's to read then, not after). Requests that never reach
// the bus as a transfer (pipe aborts) are not reported.
class TransferObserver {
public:
    virtual ~TransferObserver() = default;
    virtual void Submitted(int adapter, const TransferRecord& t) = 0;
    virtual void Completed(int adapter, const TransferRecord& t) = 0;
};

// How long transfers take.
//   Frame: every request completes at the first 1 ms frame boundary after it reaches the head of
//     its pipe, plus the seeded jitter, whatever its size (the default).
//   FullSpeed: a USB 1.1 full-speed bus. Bulk transfers move in 64-byte packets, at most 19 of
//     them per 1 ms frame, shared by every bulk pipe of the device; a transfer starts in the frame
//     it reaches the head of its pipe (with the share of that frame still to come) and completes
//     exactly at the boundary after the frame that carries its last packet. Control requests keep
//     the frame timing.
enum class BusTiming : uint8_t { Frame, FullSpeed };

struct BusStats {
    // control: transfers on the control pipe that reached the bus (pipe resets included, as the
    // CLEAR_FEATURE they are; pipe aborts not). bulkOutToDevice: bulk-out transfers the device
    // was handed (the others failed on the bus).
    uint64_t control = 0, bulkIn = 0, bulkOut = 0, bulkOutToDevice = 0, pipeRequests = 0;
    uint64_t inlineCompletions = 0, cancelled = 0, faultsInjected = 0;
    // Requests the fault plans count (control requests, pipe resets and bulk transfers; not pipe
    // aborts, nor requests already cancelled when they arrived), in the order the bus took them.
    uint64_t counted = 0;
    uint64_t bulkPackets = 0;  // 64-byte packets under the full-speed timing
};

class UsbBus {
public:
    UsbBus(kernel::Kernel& kernel, trace::Trace& trace, int adapter, std::string adapterName,
           UsbDevice& device);
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    PDEVICE_OBJECT DeviceObject() { return &deviceObject_; }
    BusFaults& Faults() { return faults_; }
    const BusStats& Stats() const { return stats_; }
    void SetTiming(BusTiming timing) { timing_ = timing; }
    BusTiming Timing() const { return timing_; }
    // The full-speed bus: packets per frame and bytes per packet of bulk transfers.
    static constexpr uint32_t kPacketsPerFrame = 19;
    static constexpr uint32_t kBulkPacketBytes = 64;
    // Requests the bus holds (queued, delayed, never to be answered, or cancelled and not yet
    // completed); what a halted adapter must leave at 0.
    size_t Outstanding() const;
    // Held requests a late plan is delaying now.
    size_t Delayed() const;
    // Fails every request still held, now, with `result`.
    void FailAll(Result result);
    // The device is pulled out: what the bus holds completes with an error at once, as a host
    // controller completes it on surprise removal, and every later request fails.
    void Vanish();
    // Arms `count` bulk-in errors; a read already waiting for data takes the first of them at
    // the next frame boundary instead of waiting on.
    void FailBulkIn(uint32_t count);
    // Told of every bulk-in transfer the bus completes, before the sender's completion routine
    // runs: the buffer it landed in and the length the bus reports for it (0 after an error).
    void SetBulkInHandler(std::function<void(const void* buffer, uint32_t length)> handler) {
        bulkInLanded_ = std::move(handler);
    }
    // Observers stay attached until removed; the bus does not own them.
    void AddObserver(TransferObserver* observer) { observers_.push_back(observer); }
    void RemoveObserver(TransferObserver* observer);
    int Adapter() const { return adapter_; }

private:
    enum class PipeKind : uint8_t { Control, BulkIn, BulkOut, Interrupt };
    struct Request {
        PIRP irp;
        PURB urb;
        sim::TimeUs submitted;
        bool silent = false;  // answered by nobody until cancelled
        Result fault = Result::Ok;  // planned outcome instead of the device's
        sim::TimeUs lateUs = 0;     // answered this much later than it would be
        uint64_t packets = 0;       // full-speed bulk: the 64-byte packets booked for it
    };
    struct Pipe {
        PipeKind kind;
        uint8_t endpoint = 0;
        uint16_t maxPacket = 0;
        sim::RingQueue<Request> queue;
        sim::EventId service = 0;  // scheduled completion of the head, 0 when none
        sim::TimeUs lastDone = 0;
        sim::TimeUs dataSince = 0;  // bulk-in: when the waiting data was first seen, 0 if none
        // With several processors: the head was taken and its completion task has not yet
        // executed it; the pipe carries nothing else meanwhile.
        bool inService = false;
    };

    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Submit(PIRP irp, PURB urb);
    // Applies the fault plans that count this request.
    void ApplyPlans(Request& req, bool control);
    void ApplyPlan(Request& req, BusFaults::ControlFault fault, sim::TimeUs lateUs, bool control);
    // A `fault` trace line: the fault plan named `name` (as scenarios name it) hit a request.
    void FaultFired(const char* name);
    Pipe* PipeFor(PURB urb);
    bool Ready(const Pipe& pipe) const;
    void Kick(Pipe& pipe);
    void Service(Pipe& pipe);
    // Executes `req` in a completion task of its own, on a processor the seed chooses.
    void DispatchExecute(Pipe& pipe, Request req);
    // Performs the head request of `pipe` against the device and completes its IRP.
    void Execute(Pipe& pipe, Request req, Result forced = Result::Ok);
    Result DoControl(Request& req, Result forced);
    Result DoBulk(Pipe& pipe, Request& req, Result forced);
    Result DoSelectConfiguration(PURB urb, bool sync, sim::TimeUs submitted);
    void Complete(PIRP irp, PURB urb, Result result);
    // What an observer is shown of `urb`; false for requests that are not bus transfers.
    bool Describe(PIRP irp, PURB urb, TransferRecord& t) const;
    // A `bulk` line for `req`, completed with `result` after moving `length` bytes at `data`.
    void TraceBulk(const Request& req, const char* ep, const uint8_t* data, size_t length, Result result);
    // `submitted` is when the request reached the bus: with the completion's time, how long it
    // was in flight.
    // `shortOk` is said of an IN transfer only (AcceptsShortTransfer).
    void TraceControl(const Setup& setup, const uint8_t* data, size_t length, Result result,
                      bool sync, sim::TimeUs submitted, bool shortOk = true);
    sim::TimeUs NextBoundary(sim::TimeUs t) const { return (t / 1000 + 1) * 1000; }
    // Full-speed timing: books the packets of the head transfer of `pipe` into frames from now on
    // and returns the boundary at which it completes.
    sim::TimeUs BookFullSpeed(Pipe& pipe);

    kernel::Kernel& kernel_;
    sim::Scheduler& scheduler_;
    trace::Trace& trace_;
    int adapter_;
    std::string adapterName_;
    UsbDevice& device_;
    DRIVER_OBJECT driverObject_{};
    DEVICE_OBJECT deviceObject_{};
    BusFaults faults_;
    BusStats stats_;
    Pipe control_;
    // Pipe aborts: the host controller's own acts, never queued behind the device's default pipe.
    Pipe host_;
    std::vector<std::unique_ptr<Pipe>> pipes_;  // created by select-configuration
    // Cancelled requests whose completion the seed put a little later: IRP -> its event.
    std::map<PIRP, sim::EventId> cancelling_;
    std::function<void(const void*, uint32_t)> bulkInLanded_;
    bool inExecute_ = false;
    BusTiming timing_ = BusTiming::Frame;
    std::map<uint64_t, uint32_t> framePackets_;  // full-speed: packets booked per frame number
    std::vector<TransferObserver*> observers_;
};

}  // namespace host::usb
