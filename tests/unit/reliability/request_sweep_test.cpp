// Late and unanswered requests at run time. A story that makes every kind of run-time request
// (link-poll cycles, an Ethernet loss and the media switch both ways, a packet filter, keep-alive
// frames on the 0x20005C20 phone-line PHY, traffic both ways, shutdown, halt) is run once to count
// its run-time requests; then, for every k, once with the k-th of them answered 12 s late (past
// the 10 s a synchronous request waits) and once with it never answered. Every run must halt
// clean (no violation, no resource, nothing at the bus, no timer armed) within a bounded time,
// and the link poll must be polling again before shutdown.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/reliability_rig.h"
#include "tests/support/self_path.h"
#include "tests/support/shipped_image.h"

namespace {

using Fault = host::usb::BusFaults::ControlFault;
using testing_support::ReliabilityRig;
using testing_support::RigOptions;
using testing_support::RigPhys;
using testing_support::SelfPath;
using Image = std::shared_ptr<const host::image::ImageFile>;

constexpr uint64_t kLateUs = 12'000'000;
// Shutdown and halt together: power-down's waits (a poll cycle in flight, the media), one second
// after the pipe resets, and a synchronous request given up after 10 s fit in this.
constexpr uint64_t kHaltBoundUs = 40'000'000;

// Names each request the bus takes, in the order the fault plans count them.
class RequestNames : public host::usb::TransferObserver {
public:
    explicit RequestNames(host::kernel::Kernel& kernel) : kernel_(kernel) {}
    void Submitted(int, const host::usb::TransferRecord& t) override {
        const bool sync = kernel_.IrpIsSynchronous(static_cast<PIRP>(const_cast<void*>(t.key)));
        char name[96];
        if (t.type == 2 && t.setup.bmRequestType == 0x02 && t.setup.bRequest == 1)
            std::snprintf(name, sizeof name, "pipe reset");
        else if (t.type == 2)
            std::snprintf(name, sizeof name, "%s control %02X/%02X at 0x%02X",
                          sync ? "synchronous" : "asynchronous", t.setup.bmRequestType,
                          t.setup.bRequest, t.setup.wIndex);
        else if (t.In())
            std::snprintf(name, sizeof name, "bulk-in read");
        else
            std::snprintf(name, sizeof name, "bulk-out of %u bytes", t.requested);
        names.emplace_back(name);
    }
    void Completed(int, const host::usb::TransferRecord&) override {}
    std::vector<std::string> names;

private:
    host::kernel::Kernel& kernel_;
};

struct StoryRun {
    uint64_t requests = 0;  // run-time requests the bus counted
    uint64_t fired = 0;
    uint64_t haltUs = 0;
    bool pollAlive = false;
    std::vector<uint8_t> activePhys;  // after start-up and after each media move
    std::vector<std::string> names;   // the run-time requests, in order
    std::vector<std::string> failures;
};

// Plays the story; `fault`, when given, hits the k-th run-time request.
StoryRun PlayStory(uint64_t seed, std::optional<std::pair<Fault, uint64_t>> fault,
                   unsigned cpus, const Image& image) {
    StoryRun out;
    RigOptions options;
    options.phys = RigPhys::EthernetAndKeepAlivePhone;
    options.cpus = cpus;
    options.image = image;
    ReliabilityRig rig(seed, options);
    // Start-up finds only the phone line with link: it chooses it and starts the keep-alive.
    rig.Ethernet().SetUp(false);
    if (rig.Initialize() != NDIS_STATUS_SUCCESS) {
        out.failures.push_back("initialise failed");
        return out;
    }
    RequestNames names(rig.world.Kernel());
    rig.Bus().AddObserver(&names);
    const uint64_t base = rig.Bus().Stats().counted;
    if (fault) {
        rig.Bus().Faults().ArmAny(fault->first, fault->second, kLateUs);
        rig.Disrupted();
    }
    out.activePhys.push_back(rig.Record().ActivePhyAddress);
    rig.Run(5'000'000);
    rig.HostSends(4, 100);
    rig.TesterSends(4, 200);
    rig.Run(2'000'000);
    rig.SetPacketFilter(0x0B);
    // The phone line goes and Ethernet comes: after three polls without link the switch moves.
    rig.SetLink(rig.Phone(), false);
    rig.SetLink(rig.Ethernet(), true);
    rig.Run(16'000'000);
    out.activePhys.push_back(rig.Record().ActivePhyAddress);
    rig.HostSends(4, 300);
    rig.TesterSends(4, 400);
    rig.Run(2'000'000);
    // And back: Ethernet is lost, the 100 Mb/s recovery fails, the phone line is tried.
    rig.SetLink(rig.Ethernet(), false);
    rig.SetLink(rig.Phone(), true);
    rig.Run(20'000'000);
    out.activePhys.push_back(rig.Record().ActivePhyAddress);
    rig.HostSends(4, 500);
    rig.TesterSends(4, 600);
    rig.Run(3'000'000);
    // Long enough for a late answer to have come; then the poll must poll. A fault that fires
    // in the meantime gets the same time again.
    for (int round = 0; round < 2 && !out.pollAlive; ++round) {
        const uint64_t firedBefore = rig.Bus().Stats().faultsInjected;
        rig.Run(kLateUs + 1'000'000);
        const size_t mark = rig.HistoryMark();
        rig.Run(7'000'000);
        out.pollAlive = rig.StatusReadsSince(mark) > 0;
        if (rig.Bus().Stats().faultsInjected == firedBefore) break;
    }
    // Shutdown and halt together: the shutdown's power-down and pipe requests meet the fault as
    // well as halt's own waits.
    const uint64_t stopStart = rig.world.NowUs();
    rig.Shutdown();
    const uint64_t shutdownUs = rig.world.NowUs() - stopStart;
    rig.Run(2'000'000);
    const uint64_t haltStart = rig.world.NowUs();
    rig.Halt();  // checks resources, the bus and timers, then runs 2 s more
    out.haltUs = shutdownUs + (rig.world.NowUs() - haltStart - 2'000'000);
    rig.Bus().RemoveObserver(&names);
    out.requests = rig.Bus().Stats().counted - base;
    out.fired = rig.Bus().Stats().faultsInjected;
    out.names = std::move(names.names);
    out.failures = rig.Failures();
    if (!out.pollAlive) out.failures.push_back("the link poll did not poll again before shutdown");
    if (out.haltUs > kHaltBoundUs)
        out.failures.push_back("halt took " + std::to_string(out.haltUs / 1000) + " ms");
    return out;
}

const char* FaultName(Fault f) { return f == Fault::Late ? "late" : "silent"; }

// What a failure is about, without its times and counts: the key failures are grouped by. For
// violations, the checks that fired.
std::string Gist(std::string failure) {
    const size_t t = failure.find("us ");
    if (failure.rfind("t=", 0) == 0 && t != std::string::npos) failure.erase(0, t + 3);
    const size_t colon = failure.find(": ");
    if (failure.rfind("violation after ", 0) == 0 && colon != std::string::npos) {
        std::set<std::string> checks;
        for (size_t at = colon; (at = failure.find(" [", at)) != std::string::npos; ++at) {
            const size_t start = failure.rfind(' ', at - 1) + 1;
            checks.insert(failure.substr(start, at - start));
        }
        std::string out = failure.substr(0, colon + 1);
        for (const auto& c : checks) out += " " + c;
        return out;
    }
    std::string out;
    for (char c : failure.substr(0, failure.find('\n')).substr(0, 160)) {
        if (c < '0' || c > '9') out += c;
        else if (out.empty() || out.back() != 'N') out += 'N';
    }
    return out;
}

// NICSIM_REQUEST_SWEEP=late:37 (or silent:37) replays one run alone.
std::optional<std::pair<Fault, uint64_t>> ReplayCase() {
    const char* s = std::getenv("NICSIM_REQUEST_SWEEP");
    if (s == nullptr || *s == 0) return std::nullopt;
    const std::string text(s);
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const Fault fault = text.substr(0, colon) == "late" ? Fault::Late : Fault::Silent;
    return std::make_pair(fault, std::strtoull(text.c_str() + colon + 1, nullptr, 10));
}

struct Group {
    size_t runs = 0;
    std::string example;
};

struct SweepTotals {
    uint64_t seeds = 0, requests = 0, runs = 0, fired = 0, failed = 0, slowestHaltUs = 0;
    std::map<std::string, Group> groups;  // failures by fault, request and what went wrong
};

// Sweeps every run-time request of the story under `seed`, late and silent (or only the case
// NICSIM_REQUEST_SWEEP names).
void SweepSeed(uint64_t seed, const char* filter, SweepTotals& totals, unsigned cpus,
               const Image& image) {
    const StoryRun reference = PlayStory(seed, std::nullopt, cpus, image);
    ASSERT_TRUE(reference.failures.empty()) << "seed " << seed << ": " << reference.failures.front();
    // The story reaches what it is meant to: both media moves, keep-alive frames, the filter
    // write, synchronous requests and pipe resets at shutdown.
    EXPECT_EQ(reference.activePhys, (std::vector<uint8_t>{3, 1, 3})) << "seed " << seed;
    ASSERT_EQ(reference.names.size(), reference.requests);
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (const auto& name : reference.names) n += name.find(what) != std::string::npos;
        return n;
    };
    EXPECT_GT(count("bulk-out of 32 bytes"), 3u) << "keep-alive frames";
    EXPECT_GT(count("asynchronous control 40/F1 at 0x00"), 0u) << "the packet filter write";
    EXPECT_EQ(count("pipe reset"), 2u);
    EXPECT_GT(count("synchronous control"), 0u);
    EXPECT_GT(count("bulk-in read"), 4u);
    // NICSIM_SWEEP_REQUESTS=1 lists them.
    if (const char* list = std::getenv("NICSIM_SWEEP_REQUESTS"); list != nullptr && *list == '1')
        for (size_t i = 0; i < reference.names.size(); ++i)
            std::printf("[ requests ]   %zu: %s\n", i + 1, reference.names[i].c_str());

    const auto replay = ReplayCase();
    std::vector<std::pair<Fault, uint64_t>> cases;
    if (replay) cases.push_back(*replay);
    for (Fault fault : {Fault::Late, Fault::Silent})
        for (uint64_t k = 1; !replay && k <= reference.requests; ++k) cases.emplace_back(fault, k);
    ++totals.seeds;
    totals.requests += reference.requests;
    for (const auto& [fault, k] : cases) {
        ASSERT_LE(k, reference.requests);
        const StoryRun run = PlayStory(seed, std::make_pair(fault, k), cpus, image);
        ++totals.runs;
        totals.fired += run.fired;
        totals.slowestHaltUs = std::max(totals.slowestHaltUs, run.haltUs);
        std::vector<std::string> failures = run.failures;
        if (run.fired != 1) failures.push_back("the fault fired " + std::to_string(run.fired) + " times");
        if (failures.empty()) continue;
        ++totals.failed;
        std::string key = std::string(FaultName(fault)) + " " + reference.names[k - 1] + ":";
        for (const auto& f : failures) key += " [" + Gist(f) + "]";
        Group& g = totals.groups[key];
        if (g.runs++ == 0) {
            g.example = "seed " + std::to_string(seed) + ", k=" + std::to_string(k) +
                        "; replay: NICSIM_REQUEST_SWEEP_SEED=" + std::to_string(seed) +
                        " NICSIM_REQUEST_SWEEP=" + FaultName(fault) + ":" + std::to_string(k) +
                        " " + SelfPath() + " --gtest_filter=" + filter + "\n";
            for (const auto& f : failures) g.example += "    " + f + "\n";
        }
    }
}

// NICSIM_REQUEST_SWEEP_SEED with NICSIM_REQUEST_SWEEP replays one run of one seed.
void Sweep(uint64_t firstSeed, uint64_t lastSeed, const char* filter, unsigned cpus = 1,
           const Image& image = nullptr) {
    if (const char* s = std::getenv("NICSIM_REQUEST_SWEEP_SEED"); s != nullptr && *s != 0)
        firstSeed = lastSeed = std::strtoull(s, nullptr, 10);
    SweepTotals totals;
    for (uint64_t seed = firstSeed; seed <= lastSeed; ++seed)
        SweepSeed(seed, filter, totals, cpus, image);
    std::printf("[ requests ] %s%u processor(s), seeds %llu..%llu: %llu run-time requests, each late and silent: "
                "%llu runs, %llu faults fired, %llu runs failed in %zu groups, slowest shutdown and "
                "halt %llu ms\n",
                image ? "shipped image, " : "", cpus, static_cast<unsigned long long>(firstSeed), static_cast<unsigned long long>(lastSeed),
                static_cast<unsigned long long>(totals.requests),
                static_cast<unsigned long long>(totals.runs),
                static_cast<unsigned long long>(totals.fired),
                static_cast<unsigned long long>(totals.failed), totals.groups.size(),
                static_cast<unsigned long long>(totals.slowestHaltUs / 1000));
    for (const auto& [key, g] : totals.groups)
        ADD_FAILURE() << g.runs << " run(s): " << key << "\n  first: " << g.example;
    EXPECT_EQ(totals.fired, totals.runs) << "every run's fault fired";
}

TEST(RunTimeRequestSweep, EveryRequestLateOrUnansweredHaltsCleanAndPollingLives) {
    Sweep(1, 10, "RunTimeRequestSweep.*");
}

// The same with handler calls, timer routines and completions interleaved on processors.
TEST(RunTimeRequestSweep, OnTwoAndFourProcessors) {
    Sweep(1, 3, "RunTimeRequestSweep.OnTwoAndFourProcessors", 2);
    Sweep(1, 3, "RunTimeRequestSweep.OnTwoAndFourProcessors", 4);
}

// The shipped image meets every request late and unanswered as the built-in driver does.
TEST(RunTimeRequestSweep, TheShippedImageOnOneAndTwoProcessors) {
    NEED_SHIPPED_IMAGE();
    Sweep(1, 3, "RunTimeRequestSweep.TheShippedImageOnOneAndTwoProcessors", 1,
          testing_support::ShippedImage().file);
    Sweep(1, 1, "RunTimeRequestSweep.TheShippedImageOnOneAndTwoProcessors", 2,
          testing_support::ShippedImage().file);
}

// More seeds: requests complete inside the call or at other moments, and what falls due together
// runs in other orders.
TEST(RunTimeRequestSweepLong, FiveHundredMoreSeeds) {
    Sweep(11, 510, "RunTimeRequestSweepLong.*");
}

}  // namespace
