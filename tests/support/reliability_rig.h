// Test support for the reliability runs: one modelled adapter with an Ethernet medium and a
// phone-line medium, a tester on each medium that sends checkable frames to the adapter and takes
// the adapter's frames off the medium, and the books that hold the data path to its promises.
//
// Invariants, checked as the run goes (each check counted):
// - every frame the adapter puts on a medium is an intact test frame the protocol handed to
//   MiniportSend and that was completed, seen once and in the order of the sends; a refused frame
//   never appears;
// - every frame indicated is an intact tester frame, once and in order;
// - at quiet points (nothing left to send, the media idle): the transmit descriptors are all on
//   TxFreeList and nothing waits in PendingTxIrps; the receive descriptors are all idle but the
//   one read that is outstanding whenever the adapter runs; a link poll is either in flight or
//   armed; frames completed but not seen, and frames delivered by the device but not indicated,
//   grew only across something that names a loss (a link down, a reset, a bus fault, a
//   vanished device, shutdown);
// - in a calm window (link up, adapter running, nothing disrupted) every frame arrives;
// - the verifier stays silent, and the halt leaves nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "driver/frame/adapter_record.h"
#include "driver/usb/phy_access.h"
#include "host/device/adapter_device.h"
#include "host/image/image_driver.h"
#include "host/usb/bus.h"
#include "host/wire/frames.h"
#include "host/wire/link.h"
#include "host/world/world.h"

namespace testing_support {

enum class RigPhys : uint8_t {
    EthernetAndPhone,  // Ethernet 0x406210, phone line 0x6B90 and the spare 0x6B70: three PHYs
    EthernetOnly,      // Ethernet 0x225410 alone
    KeepAlivePhone,    // the keep-alive phone-line PHY 0x20005C20 alone
    // Ethernet 0x406210, the keep-alive phone-line PHY 0x20005C20 and the spare 0x6B70: three
    // PHYs, so the media switch moves both ways, with keep-alive frames when start-up chose the
    // phone line.
    EthernetAndKeepAlivePhone,
};

struct RigOptions {
    RigPhys phys = RigPhys::EthernetAndPhone;
    uint32_t txDescriptors = 20;
    uint32_t rxDescriptors = 20;
    unsigned cpus = 1;  // processors of the world
    uint32_t alivePara = 0;  // the "AlivePara" keyword, when not 0
    // The shipped driver image to run instead of the built-in driver (shipped_image.h). The
    // rig reads the adapter record the image allocates with the built-in driver's layout, which
    // the image shares on this machine.
    std::shared_ptr<const host::image::ImageFile> image;
};

class ReliabilityRig {
public:
    static constexpr uint32_t kHostStream = 1;    // protocol -> medium
    static constexpr uint32_t kTesterStream = 2;  // medium -> protocol

    ReliabilityRig(uint64_t seed, RigOptions options)
        : world(seed),
          options_(options),
          ethernet_(&world.AddLink("ethernet", host::wire::MediumKind::Ethernet)),
          phone_(&world.AddLink("phone", host::wire::MediumKind::PhoneLine)) {
        world.SetProcessors(options.cpus);
        if (options.image) world.UseImage(options.image);
        world.LoadDriver();
        host::device::DeviceConfig config;
        config.eeprom = host::device::EepromFromAddress(kAdapterMac.data());
        switch (options.phys) {
            case RigPhys::EthernetAndPhone:
                config.phys = {Phy(1, 0x00406210, ethernet_), Phy(3, 0x00006B90, phone_),
                               Phy(5, 0x00006B70, nullptr)};
                break;
            case RigPhys::EthernetOnly:
                config.phys = {Phy(1, 0x00225410, ethernet_)};
                break;
            case RigPhys::KeepAlivePhone:
                config.phys = {Phy(2, 0x20005C20, phone_)};
                break;
            case RigPhys::EthernetAndKeepAlivePhone:
                config.phys = {Phy(1, 0x00406210, ethernet_), Phy(3, 0x20005C20, phone_),
                               Phy(5, 0x00006B70, nullptr)};
                break;
        }
        auto device = std::make_unique<host::device::AdapterDevice>(world.Scheduler(),
                                                                    world.Trace(), "A", config);
        device_ = device.get();
        host::ndis::Registry registry;
        registry["TxPacketDesc"] = options.txDescriptors;
        registry["RxPacketDesc"] = options.rxDescriptors;
        if (options.alivePara != 0) registry["AlivePara"] = options.alivePara;
        adapter_ = &world.AddAdapter("A", std::move(device), registry);
        for (host::wire::Link* link : {ethernet_, phone_}) {
            const int side = link->AddSide(host::wire::Link::Side{
                "tester", [this](const host::wire::Frame& f) { OnMedium(f); },
                [] { return true; }, nullptr});
            sides_.push_back(side);
        }
        adapter_->protocol.onReceive = [this](const host::ndis::ReceivedFrame& f) {
            OnIndicated(f);
        };
        adapter_->protocol.onSendDone = [this](uint64_t id, NDIS_STATUS status) {
            OnSendDone(id, status);
        };
    }

    ~ReliabilityRig() {
        // Callbacks into this rig must not outlive it.
        adapter_->protocol.onReceive = nullptr;
        adapter_->protocol.onSendDone = nullptr;
    }

    host::world::World world;

    host::ndis::Adapter& Adapter() { return *adapter_; }
    host::device::AdapterDevice& Device() { return *device_; }
    host::usb::UsbBus& Bus() { return *adapter_->bus; }
    host::wire::Link& Ethernet() { return *ethernet_; }
    host::wire::Link& Phone() { return *phone_; }
    bool Running() const { return initialized_ && !halted_; }
    bool Halted() const { return halted_; }
    bool ShutDown() const { return shutDown_; }
    const AdapterRecord& Record() const { return *static_cast<const AdapterRecord*>(adapter_->context); }
    uint64_t Checks() const { return checks_; }
    uint64_t CalmWindows() const { return calmWindows_; }
    uint64_t QuietPoints() const { return quietPoints_; }
    const std::vector<std::string>& Failures() const { return failures_; }
    bool Failed() const { return !failures_.empty(); }
    uint64_t FramesSent() const { return hostNext_; }
    uint64_t FramesIndicated() const { return indicated_; }
    uint64_t FramesSeen() const { return seen_; }
    uint64_t FramesRefused() const { return refused_; }

    // ---- what happens ----

    NDIS_STATUS Initialize() {
        const NDIS_STATUS status = world.Ndis().Initialize(*adapter_);
        initialized_ = status == NDIS_STATUS_SUCCESS;
        if (initialized_) Disrupted();
        CheckNow("initialise");
        return status;
    }

    // The protocol hands `count` frames to NDIS; they are offered in order.
    void HostSends(uint32_t count, uint32_t size) {
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t seq = hostNext_++;
            const size_t bytes = 60 + (size + seq * 37) % (1514 - 60 + 1);
            // The send may be answered inside Send: the books know the packet's id first.
            const uint64_t expected = adapter_->protocol.nextId;
            idToSeq_[expected] = seq;
            tx_.push_back(TxState::Queued);
            const uint64_t id = world.Ndis().Send(
                *adapter_,
                host::wire::TestFrame(kTesterMac, kAdapterMac, kHostStream, seq, bytes),
                1 + seq % 3);
            Expect(id == expected, "the protocol numbered a packet out of turn");
        }
    }

    // The tester sends `count` frames to the adapter on the medium of its active PHY.
    void TesterSends(uint32_t count, uint32_t size) {
        if (!Running()) return;
        host::wire::Link* link = ActiveLink();
        const int side = link == ethernet_ ? sides_[0] : sides_[1];
        const uint32_t speed = link == ethernet_ ? 100 : 1;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t seq = testerNext_++;
            const size_t bytes = 60 + (size + seq * 53) % (1514 - 60 + 1);
            link->Send(side, host::wire::TestFrame(kAdapterMac, kTesterMac, kTesterStream, seq, bytes),
                       speed);
        }
    }

    void Run(uint64_t us) {
        world.RunFor(us);
        CheckNow("run");
    }

    NDIS_STATUS Reset() {
        Disrupted();
        const NDIS_STATUS status = world.Ndis().Reset(*adapter_);
        Expect(status == NDIS_STATUS_SUCCESS, "reset answered other than success");
        ++resets_;
        Disrupted();
        CheckNow("reset");
        return status;
    }

    void SetLink(host::wire::Link& link, bool up) {
        Disrupted();
        link.SetUp(up);
        CheckNow("link");
    }

    NDIS_STATUS SetPacketFilter(uint32_t filter) {
        std::vector<uint8_t> data(4);
        for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(filter >> (8 * i));
        const auto r = world.Ndis().Set(*adapter_, OID_GEN_CURRENT_PACKET_FILTER, data);
        CheckNow("packet filter");
        return r.status;
    }

    NDIS_STATUS SetMulticastList(uint32_t count) {
        std::vector<uint8_t> data;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t group[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, static_cast<uint8_t>(i)};
            data.insert(data.end(), group, group + 6);
        }
        const auto r = world.Ndis().Set(*adapter_, OID_802_3_MULTICAST_LIST, data);
        CheckNow("multicast list");
        return r.status;
    }

    NDIS_STATUS Query(NDIS_OID oid) {
        const auto r = world.Ndis().Query(*adapter_, oid, 1024);
        CheckNow("query");
        return r.status;
    }

    void Shutdown() {
        Disrupted();
        world.Ndis().Shutdown(*adapter_);
        shutDown_ = true;
        CheckNow("shutdown");
    }

    // The device is pulled out: every request from now on fails.
    void Vanish() {
        Disrupted();
        Bus().Vanish();
        vanished_ = true;
        CheckNow("vanish");
    }
    bool Vanished() const { return vanished_; }

    // A loss the books must accept from now on (bus faults injected by the caller).
    void Disrupted() {
        lastDisruptionUs_ = world.NowUs();
        calmSince_ = UINT64_MAX;
        lossNamed_ = true;
    }

    void Halt() {
        Disrupted();
        world.Ndis().Halt(*adapter_);
        halted_ = true;
        CheckNow("halt");
        Expect(world.Kernel().ResourcesOf(adapter_->id).empty(), "resources left after halt");
        Expect(Bus().Outstanding() == 0, "requests left at the bus after halt");
        Expect(world.Ndis().ArmedTimers(adapter_->id) == 0, "timers armed after halt");
        // Nothing of the adapter may fire any more.
        world.RunFor(2'000'000);
        CheckNow("after halt");
    }

    // ---- checks ----

    // Cheap invariants, after every event.
    void CheckNow(const char* what) {
        world.Settle();
        ++checks_;
        if (world.Verifier().Count() != violationsSeen_) {
            violationsSeen_ = world.Verifier().Count();
            Fail(std::string("violation after ") + what + ": " + world.Verifier().Describe());
        }
        if (!Running()) return;
        const AdapterRecord& r = Record();
        // A read the receive handler starts while the adapter is not running (after a failed
        // read, state 18) gives its frame up when it completes: a loss with a name.
        if (r.AdapterState != 12) lossNamed_ = true;
        ++checks_;
        const uint32_t rxHeld = r.RxFreeList.Count + r.RxReadyList.Count;
        Expect(rxHeld <= r.RxDescriptorCount && rxHeld + 1 >= r.RxDescriptorCount,
               std::string("receive descriptors not conserved after ") + what);
        ++checks_;
        Expect(r.TxFreeList.Count <= r.TxDescriptorCount &&
                   r.BulkOutOutstanding >= 0 &&
                   r.TxFreeList.Count + static_cast<uint32_t>(r.BulkOutOutstanding) <=
                       r.TxDescriptorCount,
               std::string("transmit descriptors not conserved after ") + what);
    }

    // Runs until nothing moves any more (the protocol's queue empty, the media drained), then
    // checks what must hold at rest. Returns false when the rig never came to rest.
    bool Quiet(const char* what) {
        // Anything that moves counts: frames seen or indicated, and frames the media or the
        // device still handle (a frame on a slow medium is on its way for milliseconds).
        auto progress = [this] {
            const auto& fs = device_->FrameStats();
            return seen_ + indicated_ + fs.rxFrames + fs.rxDelivered + fs.txFrames + fs.txNoLink +
                   fs.txMacOff + ethernet_->Stats().carried + ethernet_->Stats().notReceived +
                   phone_->Stats().carried + phone_->Stats().notReceived;
        };
        uint64_t last = progress();
        int still = 0;
        // A request a late plan holds back is on its way too (for up to the plan's time).
        for (int step = 0; step < 400 && still < 3; ++step) {
            world.RunFor(50'000);
            const uint64_t now = progress();
            const bool moved = now != last || !adapter_->protocol.queue.empty() ||
                               Bus().Delayed() > 0;
            last = now;
            still = moved ? 0 : still + 1;
        }
        CheckNow(what);
        ++quietPoints_;
        if (!Running()) return true;
        const AdapterRecord& r = Record();
        // A keep-alive transfer may be at the bus for a frame; let it come back.
        for (int i = 0; i < 5 && r.TxFreeList.Count != r.TxDescriptorCount; ++i)
            world.RunFor(2'000);
        ++checks_;
        const bool stopped = shutDown_ || vanished_;
        if (!stopped) {
            Expect(r.TxFreeList.Count == r.TxDescriptorCount && r.BulkOutOutstanding == 0,
                   std::string("transmit descriptors missing at rest (") + what + "): free " +
                       std::to_string(r.TxFreeList.Count) + " of " +
                       std::to_string(r.TxDescriptorCount) + ", outstanding " +
                       std::to_string(r.BulkOutOutstanding));
        }
        ++checks_;
        // A read that completes while the shutdown handler runs leaves its frame on the ready
        // list: nothing may be indicated once the adapter is powered down, and halt frees it.
        if (!shutDown_) {
            Expect(r.RxReadyList.Count == 0,
                   std::string("frames left waiting for indication at rest (") + what + ")");
        }
        const bool receiving = r.AdapterState == 12;
        ++checks_;
        if (receiving) {
            Expect(r.RxFreeList.Count + 1 == r.RxDescriptorCount,
                   std::string("no read outstanding while running (") + what + "): free " +
                       std::to_string(r.RxFreeList.Count) + " of " +
                       std::to_string(r.RxDescriptorCount));
        }
        ++checks_;
        if (!shutDown_ && (r.AdapterState == 12 || r.AdapterState == 18)) {
            Expect(r.MediaBusy != 0 || world.Ndis().TimerArmed(&r.LinkPollTimer),
                   std::string("link poll neither in flight nor armed (") + what + ")");
        }
        // Losses since the last quiet point need a name.
        const auto& fs = device_->FrameStats();
        const uint64_t txLost = completed_ - seenCompleted_;
        const uint64_t rxLost = fs.rxDelivered - indicated_;
        // What names a loss: a disruption in the last 20 s (a renegotiation after a link came
        // back drops the link for a while), frames the device could not put on a medium or take
        // off one, or a bus fault.
        const uint64_t deviceDrops = fs.txNoLink + fs.txMacOff + fs.rxMacOff + fs.rxOverflow +
                                     ethernet_->Stats().notReceived + phone_->Stats().notReceived;
        const uint64_t busFaults = Bus().Stats().faultsInjected;
        const bool named = lossNamed_ || world.NowUs() < lastDisruptionUs_ + 20'000'000 ||
                           deviceDrops != deviceDropsAtQuiet_ || busFaults != busFaultsAtQuiet_;
        deviceDropsAtQuiet_ = deviceDrops;
        busFaultsAtQuiet_ = busFaults;
        ++checks_;
        if (!named) {
            Expect(txLost == txLostAtQuiet_,
                   std::string("sent frames lost with nothing to explain it (") + what + "): " +
                       std::to_string(txLost - txLostAtQuiet_));
            Expect(rxLost == rxLostAtQuiet_,
                   std::string("received frames lost with nothing to explain it (") + what +
                       "): " + std::to_string(rxLost - rxLostAtQuiet_));
        }
        txLostAtQuiet_ = txLost;
        rxLostAtQuiet_ = rxLost;
        lossNamed_ = false;
        return still >= 3;
    }

    // A calm window: with the link of the active PHY up and the adapter running, frames sent now
    // both ways must all arrive.
    void CalmExchange(uint32_t frames, const char* what) {
        if (!Running() || shutDown_ || vanished_) return;
        if (Record().AdapterState != 12 || Record().LinkState != 5) return;
        if (!ActiveLink()->Partner().up) return;
        // Calm means nothing planned to go wrong and the last disruption long past (a poll cycle
        // renegotiates a link that came back, which drops it for a while).
        const auto& bus = Bus().Faults();
        if (bus.bulkInErrors != 0 || bus.bulkOutErrors != 0 || bus.PlansPending() ||
            bus.irpCompleteError || world.Faults().Armed())
            return;
        if (world.NowUs() < lastDisruptionUs_ + 20'000'000) return;
        const uint64_t disruptedAtStart = lastDisruptionUs_;
        Quiet(what);
        if (lastDisruptionUs_ != disruptedAtStart || !Running()) return;
        if (Record().AdapterState != 12 || Record().LinkState != 5) return;
        const uint64_t seenBefore = seen_, indicatedBefore = indicated_;
        const uint64_t refusedBefore = refused_;
        const uint64_t txDropsBefore = TxDeviceDrops(), rxDropsBefore = RxDeviceDrops();
        HostSends(frames, 100);
        TesterSends(frames, 200);
        const uint64_t disruptedBefore = lastDisruptionUs_;
        Quiet(what);
        if (lastDisruptionUs_ != disruptedBefore) return;
        ++checks_;
        Expect(refused_ == refusedBefore,
               std::string("send refused in a calm window (") + what + ")");
        // Frames the device itself could not carry (a register write start-up did without can
        // leave the MAC deaf to its own address) are accounted for by the device's counters.
        ++calmWindows_;
        const uint64_t txDrops = TxDeviceDrops() - txDropsBefore;
        const uint64_t rxDrops = RxDeviceDrops() - rxDropsBefore;
        ++checks_;
        Expect(seen_ - seenBefore + txDrops == frames,
               std::string("calm window (") + what + "): " + std::to_string(seen_ - seenBefore) +
                   " of " + std::to_string(frames) + " sent frames reached the medium, " +
                   std::to_string(txDrops) + " dropped by the device");
        ++checks_;
        Expect(indicated_ - indicatedBefore + rxDrops == frames,
               std::string("calm window (") + what + "): " +
                   std::to_string(indicated_ - indicatedBefore) + " of " +
                   std::to_string(frames) + " received frames were indicated, " +
                   std::to_string(rxDrops) + " dropped before the device delivered them");
    }

    uint64_t TxDeviceDrops() const {
        const auto& fs = device_->FrameStats();
        return fs.txNoLink + fs.txMacOff;
    }
    uint64_t RxDeviceDrops() const {
        const auto& fs = device_->FrameStats();
        return fs.rxFiltered + fs.rxMacOff + fs.rxOverflow + ethernet_->Stats().notReceived +
               phone_->Stats().notReceived;
    }

    // Counts PHY status reads the device has taken since `from` (an index into its register
    // write history): each link poll makes at least one.
    size_t StatusReadsSince(size_t from) const {
        const auto& h = device_->WriteHistory();
        size_t n = 0;
        for (size_t i = from; i < h.size(); ++i)
            if (h[i].reg == PHY_PORT + 3 && h[i].value == PHY_COMMAND_READ + 1) ++n;
        return n;
    }
    size_t HistoryMark() const { return device_->WriteHistory().size(); }

    void Expect(bool ok, const std::string& what) {
        if (!ok) Fail(what);
    }
    void Fail(const std::string& what) {
        if (failures_.size() < 20)
            failures_.push_back("t=" + std::to_string(world.NowUs()) + "us " + what);
    }
    std::string Describe() const {
        std::string out;
        for (const auto& f : failures_) out += f + "\n";
        const auto& fs = device_->FrameStats();
        out += "sent " + std::to_string(hostNext_) + " (completed " + std::to_string(completed_) +
               ", refused " + std::to_string(refused_) + ", seen " + std::to_string(seen_) +
               "); tester sent " + std::to_string(testerNext_) + ", indicated " +
               std::to_string(indicated_) + "; device tx " + std::to_string(fs.txFrames) +
               " no-link " + std::to_string(fs.txNoLink) + " mac-off " +
               std::to_string(fs.txMacOff) + ", rx " + std::to_string(fs.rxFrames) +
               " filtered " + std::to_string(fs.rxFiltered) + " mac-off " +
               std::to_string(fs.rxMacOff) + " overflow " + std::to_string(fs.rxOverflow) +
               " delivered " + std::to_string(fs.rxDelivered) + "; not received on the media " +
               std::to_string(ethernet_->Stats().notReceived + phone_->Stats().notReceived) +
               "; bus faults " + std::to_string(adapter_->bus->Stats().faultsInjected) + "\n";
        return out;
    }

private:
    enum class TxState : uint8_t { Queued, Completed, Refused };

    static constexpr host::wire::Mac kAdapterMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x0A};
    static constexpr host::wire::Mac kTesterMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};

    static host::device::PhySpec Phy(uint8_t address, uint32_t id, host::wire::Link* link) {
        host::device::PhySpec entry;
        entry.phy.address = address;
        entry.phy.id = id;
        entry.link = link;
        return entry;
    }

    host::wire::Link* ActiveLink() const {
        if (options_.phys == RigPhys::EthernetOnly) return ethernet_;
        if (options_.phys == RigPhys::KeepAlivePhone) return phone_;
        return Record().ActivePhyAddress == 3 ? phone_ : ethernet_;
    }

    void OnSendDone(uint64_t id, NDIS_STATUS status) {
        auto it = idToSeq_.find(id);
        if (it == idToSeq_.end()) {
            Fail("send answered for an unknown packet");
            return;
        }
        const uint32_t seq = it->second;
        idToSeq_.erase(it);
        ++checks_;
        if (tx_[seq] != TxState::Queued) {
            Fail("send " + std::to_string(seq) + " answered twice");
            return;
        }
        if (status == NDIS_STATUS_SUCCESS) {
            tx_[seq] = TxState::Completed;
            ++completed_;
        } else {
            tx_[seq] = TxState::Refused;
            ++refused_;
        }
    }

    void OnMedium(const host::wire::Frame& f) {
        ++checks_;
        const auto info = host::wire::CheckTestFrame(f);
        if (!info) {
            // The keep-alive frame is the adapter's own; nothing else may appear.
            const bool keepAlive = f.size() == 30 && f[11] == 0x01;
            Expect(keepAlive, "an altered or foreign frame on the medium");
            return;
        }
        if (info->stream != kHostStream) return;  // the tester's own, seen by nobody
        const uint32_t seq = info->sequence;
        if (seq >= tx_.size()) {
            Fail("a frame never sent appeared on the medium");
            return;
        }
        if (seq < txSeen_.size() && txSeen_[seq]) {
            Fail("sent frame " + std::to_string(seq) + " on the medium twice");
            return;
        }
        // Sends the protocol makes on several processors at once have no order among them.
        const bool ordered = !world.Kernel().Multiprocessor() || world.Ndis().SendLanes() == 1;
        if (ordered && static_cast<int64_t>(seq) <= lastSeen_) {
            Fail("sent frame " + std::to_string(seq) + " on the medium out of order");
            return;
        }
        if (txSeen_.size() <= seq) txSeen_.resize(seq + 1, false);
        txSeen_[seq] = true;
        if (tx_[seq] == TxState::Refused) Fail("refused frame " + std::to_string(seq) + " on the medium");
        lastSeen_ = std::max<int64_t>(lastSeen_, seq);
        ++seen_;
        if (tx_[seq] == TxState::Completed) ++seenCompleted_;
        else Fail("frame " + std::to_string(seq) + " on the medium before its send was answered");
    }

    void OnIndicated(const host::ndis::ReceivedFrame& f) {
        ++checks_;
        const auto info = host::wire::CheckTestFrame(f.bytes);
        if (!info || info->stream != kTesterStream) {
            Fail("an altered or foreign frame was indicated");
            return;
        }
        if (static_cast<int64_t>(info->sequence) <= lastIndicated_) {
            Fail("received frame " + std::to_string(info->sequence) +
                 " indicated out of order or twice");
            return;
        }
        lastIndicated_ = info->sequence;
        ++indicated_;
    }

    RigOptions options_;
    host::wire::Link* ethernet_;
    host::wire::Link* phone_;
    host::device::AdapterDevice* device_ = nullptr;
    host::ndis::Adapter* adapter_ = nullptr;
    std::vector<int> sides_;
    bool initialized_ = false, halted_ = false, shutDown_ = false, vanished_ = false;

    std::vector<TxState> tx_;
    std::vector<bool> txSeen_;
    std::unordered_map<uint64_t, uint32_t> idToSeq_;
    uint32_t hostNext_ = 0, testerNext_ = 0;
    int64_t lastSeen_ = -1, lastIndicated_ = -1;
    uint64_t seen_ = 0, seenCompleted_ = 0, completed_ = 0, refused_ = 0, indicated_ = 0;
    uint64_t txLostAtQuiet_ = 0, rxLostAtQuiet_ = 0;
    uint64_t deviceDropsAtQuiet_ = 0, busFaultsAtQuiet_ = 0;
    bool lossNamed_ = true;
    uint64_t lastDisruptionUs_ = 0, calmSince_ = UINT64_MAX;
    uint64_t resets_ = 0;
    size_t violationsSeen_ = 0;
    uint64_t checks_ = 0, calmWindows_ = 0, quietPoints_ = 0;
    std::vector<std::string> failures_;
};

}  // namespace testing_support
