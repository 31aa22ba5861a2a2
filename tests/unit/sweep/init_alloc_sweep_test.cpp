// The allocation sweep of MiniportInitialize: in a fresh world for each k, the k-th allocation
// (of any kind, or of one kind) fails. Every run must either fail start-up with nothing left
// behind, or go on past a failure that start-up is allowed to ignore and still halt clean; the
// sweep ends at the first k that start-up never reaches, and that run halts clean as well.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "host/device/adapter_device.h"
#include "host/device/scripted_device.h"
#include "host/wire/link.h"
#include "host/world/world.h"
#include "tests/support/shipped_image.h"

namespace {

using host::sim::AllocKind;
using Json = host::trace::Json;
using Image = std::shared_ptr<const host::image::ImageFile>;

constexpr NDIS_STATUS kResources = static_cast<NDIS_STATUS>(0xC000009AL);
// Stop a sweep that never reaches an untouched run rather than loop for ever.
constexpr uint64_t kMaxK = 5000;

std::string KindName(std::optional<AllocKind> kind) {
    return kind ? std::string(host::sim::AllocKindName(*kind)) : std::string("any");
}

// A control transfer as the device saw it, without its data.
using SetupKey = std::tuple<int, int, int, int, int>;  // bmRequestType, bRequest, wValue, wIndex, wLength

SetupKey KeyOf(const Json& l) {
    return {l["bmRequestType"].get<int>(), l["bRequest"].get<int>(), l["wValue"].get<int>(),
            l["wIndex"].get<int>(), l["wLength"].get<int>()};
}

// Requests whose failure start-up must not ignore: the configuration requests, the node address
// read, and the writes of the node address and of the multicast hash.
bool StartUpDependsOn(const SetupKey& k) {
    const auto [type, request, value, index, length] = k;
    (void)type;
    switch (request) {
        case 6:  // GET_DESCRIPTOR, device and configuration
        case 9:  // SET_CONFIGURATION (select-configuration)
        case 0:  // GET_STATUS
            return true;
        case 3:  // SET_FEATURE 0 at start; the remote-wake-up one belongs to shutdown
            return value == 0;
        // The node address read, and the EEPROM port: the permanent address cannot be known
        // from a word whose requests were never sent.
        case 0xF0:
            return (index == 0x10 && length == 6) || (index == 0x23 && length == 2) ||
                   (index == 0x21 && length == 3);
        case 0xF1:
            return (index == 0x10 && length == 6) || (index == 0x08 && length == 8) ||
                   (index == 0x20 && length == 4);
        default:
            return false;
    }
}

std::string Describe(const SetupKey& k) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "type 0x%02X request 0x%02X value 0x%04X index 0x%04X length %d",
                  std::get<0>(k), std::get<1>(k), std::get<2>(k), std::get<3>(k), std::get<4>(k));
    return buf;
}

struct InitRun {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    uint64_t injected = 0;
    std::vector<SetupKey> control;  // control transfers during initialise
    uint64_t inlineCompletions = 0;
    std::array<uint64_t, host::sim::kAllocKinds> counts{};
};

// What sits behind the bus: the minimal scripted device (no PHY answers, so discovery records
// none), or the adapter model with an Ethernet PHY and a phone-line PHY that both have link and
// the spare PHY that discovery isolates, so that discovery tests links and writes PHYs.
enum class Device { Scripted, Modelled };

host::device::PhyConfig Phy(uint8_t address, uint32_t id) {
    host::device::PhyConfig phy;
    phy.address = address;
    phy.id = id;
    return phy;
}

const char* DeviceName(Device d) { return d == Device::Scripted ? "scripted" : "modelled"; }

// One world: arm the fault, initialise, check what a failure or a survived fault must leave,
// halt whatever came up. Every expectation names the seed, kind and k.
// `image`, when given, runs in place of the built-in driver. `callsOnly` stops the built-in
// driver only where an image can be stopped (at its calls into the world), so that both see the
// same interleaving.
InitRun RunOnce(uint64_t seed, Device device, std::optional<AllocKind> kind, uint64_t k,
                const Image& image = nullptr, bool callsOnly = false) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + DeviceName(device) + " device, kind " +
                 KindName(kind) + ", k " + std::to_string(k) + (image ? ", shipped image" : ""));
    InitRun run;
    // The media outlive the world, whose PHYs are attached to them.
    host::wire::Link ethernet("ethernet", host::wire::MediumKind::Ethernet, {});
    host::wire::Link phoneLine("phone", host::wire::MediumKind::PhoneLine, {});
    host::world::World world(seed);
    host::trace::Recorder recorder(world.Trace());
    if (image) world.UseImage(image);
    world.Kernel().SetCallsOnly(callsOnly);
    EXPECT_EQ(world.LoadDriver(), STATUS_SUCCESS);
    std::unique_ptr<host::usb::UsbDevice> usb;
    if (device == Device::Scripted) {
        usb = std::make_unique<host::device::ScriptedDevice>();
    } else {
        host::device::DeviceConfig config;
        config.phys = {{Phy(1, 0x00406210), &ethernet},
                       {Phy(3, 0x00006B90), &phoneLine},
                       {Phy(5, 0x00006B70), nullptr}};
        usb = std::make_unique<host::device::AdapterDevice>(world.Scheduler(), world.Trace(), "A",
                                                            std::move(config));
    }
    auto& a = world.AddAdapter("A", std::move(usb));
    if (k != 0) world.Faults().Arm(kind, k);

    run.status = world.Ndis().Initialize(a);
    run.injected = world.Faults().Injected();
    for (size_t i = 0; i < host::sim::kAllocKinds; ++i)
        run.counts[i] = world.Faults().Count(static_cast<AllocKind>(i));
    for (const Json& l : recorder.Of("control")) run.control.push_back(KeyOf(l));
    run.inlineCompletions = a.bus->Stats().inlineCompletions;
    world.Faults().Clear();
    EXPECT_LE(run.injected, 1u);

    if (run.status == NDIS_STATUS_SUCCESS) {
        world.RunFor(5'000'000);
        world.Ndis().Halt(a);
    } else {
        // Only the record's own allocation answers its own status; any later failure is
        // reported as resources.
        const bool recordAllocation = k == 1 && (!kind || *kind == AllocKind::Memory);
        EXPECT_EQ(run.status, recordAllocation ? NDIS_STATUS_FAILURE : kResources);
        EXPECT_EQ(run.injected, 1u) << "start-up failed with no fault injected";
        EXPECT_EQ(a.shutdownHandler, nullptr);
        EXPECT_EQ(world.Ndis().ArmedTimers(a.id), 0u);
        EXPECT_EQ(world.Kernel().InFlightIrps(a.id), 0u);
        // Nothing of the adapter may still fire.
        world.RunFor(5'000'000);
    }
    EXPECT_EQ(world.Kernel().ResourcesOf(a.id).size(), 0u);
    EXPECT_EQ(a.bus->Outstanding(), 0u);
    EXPECT_EQ(world.Verifier().Count(), 0u) << world.Verifier().Describe();
    return run;
}

struct SweepResult {
    uint64_t swept = 0;    // values of k with a fault injected
    uint64_t failed = 0;   // start-up failed cleanly
    uint64_t survived = 0; // start-up went on past the fault and halted clean
    std::vector<InitRun> runs; // by k - 1, the faulted runs
    InitRun untouched;        // the first run the fault never reached
};

SweepResult Sweep(uint64_t seed, Device device, std::optional<AllocKind> kind,
                  const Image& image = nullptr, bool callsOnly = false) {
    SweepResult result;
    for (uint64_t k = 1; k <= kMaxK; ++k) {
        InitRun run = RunOnce(seed, device, kind, k, image, callsOnly);
        if (run.injected == 0) {
            EXPECT_EQ(run.status, NDIS_STATUS_SUCCESS) << "seed " << seed << ", "
                                                        << DeviceName(device) << ", kind "
                                                        << KindName(kind) << ", k " << k;
            result.untouched = run;
            return result;
        }
        ++result.swept;
        if (run.status == NDIS_STATUS_SUCCESS) ++result.survived;
        else ++result.failed;
        result.runs.push_back(std::move(run));
    }
    ADD_FAILURE() << "seed " << seed << ", " << DeviceName(device) << ", kind " << KindName(kind)
                  << ": no untouched run by k " << kMaxK;
    return result;
}

void Report(const std::string& what, Device device, uint64_t seed, const SweepResult& r) {
    std::printf("[ sweep    ] %s, %s device, seed %llu: %llu k swept, %llu failed start-up, "
                "%llu survived\n",
                what.c_str(), DeviceName(device), static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(r.swept),
                static_cast<unsigned long long>(r.failed),
                static_cast<unsigned long long>(r.survived));
}

// ---- any kind, over several seeds ----

using SeedAndDevice = std::tuple<uint64_t, Device>;

std::string SeedAndDeviceName(const ::testing::TestParamInfo<SeedAndDevice>& info) {
    return std::string(DeviceName(std::get<1>(info.param))) + "_seed" +
           std::to_string(std::get<0>(info.param));
}

class InitAllocSweepAnyKind : public ::testing::TestWithParam<SeedAndDevice> {};

TEST_P(InitAllocSweepAnyKind, EveryAllocationFailsStartUpCleanlyOrIsSurvived) {
    const auto [seed, device] = GetParam();
    const SweepResult r = Sweep(seed, device, std::nullopt);
    Report("any kind", device, seed, r);
    // The untouched run made exactly as many allocations as there were k to sweep.
    uint64_t total = 0;
    for (uint64_t c : r.untouched.counts) total += c;
    EXPECT_EQ(total, r.swept) << "seed " << seed;
    EXPECT_GT(r.failed, 0u) << "seed " << seed;
    EXPECT_GT(r.survived, 0u) << "seed " << seed << ": no failure start-up may ignore was reached";
    // The very first allocation is the record: its failure is the only one answered with the
    // allocator's own status, and nothing was touched before it.
    ASSERT_FALSE(r.runs.empty());
    EXPECT_EQ(r.runs[0].status, NDIS_STATUS_FAILURE) << "seed " << seed;
    EXPECT_TRUE(r.runs[0].control.empty()) << "seed " << seed;
    ::testing::Test::RecordProperty("k_swept", static_cast<int>(r.swept));
}

INSTANTIATE_TEST_SUITE_P(Seeds, InitAllocSweepAnyKind,
                         ::testing::Combine(::testing::Values(1, 2, 3, 977, 65537),
                                            ::testing::Values(Device::Scripted, Device::Modelled)),
                         SeedAndDeviceName);

TEST(InitAllocSweep, SeedsDifferInWhereRequestsComplete) {
    // The seed decides whether the bus completes a request inside IofCallDriver; the sweeps
    // above only cover both ways if the seeds really differ there.
    // A register request completes inside the call only after its pipe rested a frame (after
    // the pauses of start-up), so a single seed may have none; together they must have both.
    std::set<uint64_t> inlineCounts;
    uint64_t inlineTotal = 0;
    for (uint64_t seed : {1, 2, 3, 977, 65537}) {
        const InitRun run = RunOnce(seed, Device::Scripted, std::nullopt, 0);
        EXPECT_EQ(run.status, NDIS_STATUS_SUCCESS) << "seed " << seed;
        EXPECT_LT(run.inlineCompletions, run.control.size()) << "seed " << seed;
        inlineCounts.insert(run.inlineCompletions);
        inlineTotal += run.inlineCompletions;
    }
    EXPECT_GT(inlineTotal, 0u);
    EXPECT_GT(inlineCounts.size(), 1u);
}

// The shipped image, swept the same way, fails start-up and survives exactly where the built-in
// driver does: at every k the same status, the same control transfers and the same allocations.
TEST(InitAllocSweep, TheShippedImageFailsAndSurvivesExactlyWhereTheBuiltInDriverDoes) {
    NEED_SHIPPED_IMAGE();
    const Image& image = testing_support::ShippedImage().file;
    for (Device device : {Device::Scripted, Device::Modelled}) {
        for (uint64_t seed : {1, 977}) {
            for (std::optional<AllocKind> kind : {std::optional<AllocKind>(), std::optional(AllocKind::Irp)}) {
                SCOPED_TRACE(std::string(DeviceName(device)) + " device, seed " +
                             std::to_string(seed) + ", kind " + KindName(kind));
                const SweepResult builtIn = Sweep(seed, device, kind, nullptr, true);
                const SweepResult shipped = Sweep(seed, device, kind, image);
                Report("shipped image, " + KindName(kind), device, seed, shipped);
                ASSERT_EQ(shipped.runs.size(), builtIn.runs.size());
                for (size_t i = 0; i < shipped.runs.size(); ++i) {
                    EXPECT_EQ(shipped.runs[i].status, builtIn.runs[i].status) << "k " << i + 1;
                    EXPECT_EQ(shipped.runs[i].control, builtIn.runs[i].control) << "k " << i + 1;
                    EXPECT_EQ(shipped.runs[i].counts, builtIn.runs[i].counts) << "k " << i + 1;
                }
                EXPECT_EQ(shipped.untouched.control, builtIn.untouched.control);
                EXPECT_EQ(shipped.untouched.counts, builtIn.untouched.counts);
                EXPECT_GT(shipped.failed, 0u);
                EXPECT_GT(shipped.survived, 0u);
            }
        }
    }
}

// ---- one kind at a time ----

struct KindCase {
    AllocKind kind;
    uint64_t sites;  // allocations of this kind that start-up makes
};

class InitAllocSweepByKind : public ::testing::TestWithParam<std::tuple<KindCase, Device>> {};

TEST_P(InitAllocSweepByKind, EverySiteOfTheKindFailsStartUp) {
    const auto [c, device] = GetParam();
    const uint64_t seed = 1;
    const SweepResult r = Sweep(seed, device, c.kind);
    Report(std::string(host::sim::AllocKindName(c.kind)), device, seed, r);
    // What start-up keeps for the adapter's life: the record, the first ledger block, the
    // configuration buffer and interface copy, the descriptor block, the packet slots and the
    // packet pairs; both pools; a packet and a buffer per receive descriptor; and the one
    // select-configuration request block. None of these may be done without.
    EXPECT_EQ(r.swept, c.sites) << "seed " << seed;
    EXPECT_EQ(r.untouched.counts[static_cast<size_t>(c.kind)], c.sites) << "seed " << seed;
    EXPECT_EQ(r.survived, 0u) << "seed " << seed;
    EXPECT_EQ(r.failed, c.sites) << "seed " << seed;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, InitAllocSweepByKind,
    ::testing::Combine(::testing::Values(KindCase{AllocKind::Memory, 7},
                                         KindCase{AllocKind::PacketPool, 1},
                                         KindCase{AllocKind::BufferPool, 1},
                                         KindCase{AllocKind::Packet, 20},
                                         KindCase{AllocKind::Buffer, 20},
                                         KindCase{AllocKind::RequestBlock, 1}),
                       ::testing::Values(Device::Scripted, Device::Modelled)),
    [](const ::testing::TestParamInfo<std::tuple<KindCase, Device>>& info) {
        std::string name(host::sim::AllocKindName(std::get<0>(info.param).kind));
        for (char& ch : name)
            if (ch == '-') ch = '_';
        return name + "_" + DeviceName(std::get<1>(info.param));
    });

// IRPs carry every synchronous request of start-up. A failed IRP means its request never
// reached the device: start-up must fail exactly when that request is one it depends on.
class InitAllocSweepIrp : public ::testing::TestWithParam<SeedAndDevice> {};

TEST_P(InitAllocSweepIrp, StartUpFailsExactlyWhenARequestItDependsOnCannotBeSent) {
    const auto [seed, device] = GetParam();
    const InitRun reference = RunOnce(seed, device, std::nullopt, 0);
    ASSERT_EQ(reference.status, NDIS_STATUS_SUCCESS);
    std::multiset<SetupKey> required;
    for (const SetupKey& key : reference.control)
        if (StartUpDependsOn(key)) required.insert(key);
    // Two descriptor reads, select, set-feature, get-status, node address read and write, hash,
    // and the EEPROM port's command write, status read and data read (sixteen words of them).
    ASSERT_EQ(std::set<SetupKey>(required.begin(), required.end()).size(), 11u) << "seed " << seed;

    const SweepResult r = Sweep(seed, device, AllocKind::Irp);
    Report("irp", device, seed, r);
    EXPECT_EQ(r.swept, reference.counts[static_cast<size_t>(AllocKind::Irp)]) << "seed " << seed;
    std::set<SetupKey> shownFailing;
    for (uint64_t k = 1; k <= r.runs.size(); ++k) {
        const InitRun& run = r.runs[k - 1];
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + DeviceName(device) + " device, irp " +
                     std::to_string(k));
        if (run.status != NDIS_STATUS_SUCCESS) {
            // The run is the reference up to the request that could not be sent, and stops there.
            ASSERT_LT(run.control.size(), reference.control.size());
            for (size_t i = 0; i < run.control.size(); ++i)
                ASSERT_EQ(run.control[i], reference.control[i]) << "transfer " << i;
            const SetupKey& lost = reference.control[run.control.size()];
            EXPECT_TRUE(StartUpDependsOn(lost))
                << "start-up failed over a request it may ignore: " << Describe(lost);
            shownFailing.insert(lost);
        } else {
            // Every request start-up depends on still went through.
            std::multiset<SetupKey> sent;
            for (const SetupKey& key : run.control)
                if (StartUpDependsOn(key)) sent.insert(key);
            EXPECT_EQ(sent, required);
        }
    }
    EXPECT_EQ(shownFailing.size(), std::set<SetupKey>(required.begin(), required.end()).size());
    EXPECT_GT(r.survived, 0u) << "seed " << seed;
}

INSTANTIATE_TEST_SUITE_P(Seeds, InitAllocSweepIrp,
                         ::testing::Combine(::testing::Values(1, 2, 977),
                                            ::testing::Values(Device::Scripted, Device::Modelled)),
                         SeedAndDeviceName);

}  // namespace
