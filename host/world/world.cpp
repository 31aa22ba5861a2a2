#include "host/world/world.h"

#include "host/image/image_driver.h"

#include "host/kernel/processors.h"
#include "host/kernel/race_report.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/world/current.h"

namespace host::world {

namespace {
thread_local World* g_current = nullptr;
}

namespace detail {
constinit thread_local Platform t_platform;

void NoWorld() {
    std::fprintf(stderr, "a platform routine was called with no emulated world current\n");
    std::abort();
}
}  // namespace detail

World& Current() {
    if (g_current == nullptr) detail::NoWorld();
    return *g_current;
}

World* CurrentOrNull() { return g_current; }

World::World(uint64_t seed)
    : previous_(g_current),
      scheduler_(seed),
      trace_([this] { return scheduler_.Now(); }),
      verifier_(trace_, [this] { return scheduler_.Now(); }),
      kernel_(scheduler_, trace_, verifier_, faults_),
      ndis_(kernel_, trace_) {
    g_current = this;
    detail::t_platform = {&kernel_, &ndis_};
    kernel::SetRaceReportKernel(&kernel_);
    if constexpr (kernel::kRaceReports) verifier_.SetPending([this] { kernel::ReportRaces(kernel_); });
}

World::~World() {
    kernel::DropRaces(kernel_, Seed());
    kernel::SetRaceReportKernel(previous_ != nullptr ? &previous_->Kernel() : nullptr);
    g_current = previous_;
    detail::t_platform = previous_ != nullptr
                             ? detail::Platform{&previous_->Kernel(), &previous_->Ndis()}
                             : detail::Platform{};
}

void World::SetProcessors(unsigned cpus) {
    kernel::ProcessorOptions options;
    options.cpus = cpus;
    kernel_.SetProcessors(options);
    ndis_.SetSendLanes(cpus);
    if (cpus > 1) {
        // Timer routines run on the 1 ms clock tick and transfers complete on their frame
        // boundary, so that DPCs of different sources fall due together and the seed
        // interleaves them on the processors (one processor spreads them with jitter instead).
        ndis_.SetTimerGranularity(1000);
        multiprocessorBus_ = true;
    }
}

void World::UseImage(std::shared_ptr<const image::ImageFile> file) {
    image_ = std::make_unique<image::ImageDriver>(file);
    ndis_.SetDriverEntry(image_->Entry());
    kernel_.SetCodeDescriber([this](const void* code) {
        bool discarded = false;
        return DescribeCode(code, discarded);
    });
}

std::string World::DescribeCode(const void* code, bool& discarded) const {
    discarded = false;
    return image_ ? image_->Describe(code, discarded) : std::string();
}

NTSTATUS World::LoadDriver() {
    if (!loaded_) {
        loadStatus_ = ndis_.LoadDriver();
        // Its INIT code goes once DriverEntry has returned, as a kernel frees it.
        if (image_) image_->Initialised();
        loaded_ = true;
    }
    return loadStatus_;
}

ndis::Adapter& World::AddAdapter(const std::string& name, std::unique_ptr<usb::UsbDevice> device,
                                 ndis::Registry registry) {
    devices_.push_back(std::move(device));
    ndis::Adapter& adapter = ndis_.AddAdapter(name, *devices_.back(), std::move(registry));
    if (multiprocessorBus_) adapter.bus->Faults().maxJitterUs = 0;
    return adapter;
}

wire::Link& World::AddLink(const std::string& name, wire::MediumKind kind,
                           wire::PartnerSettings partner) {
    links_.push_back(std::make_unique<wire::Link>(name, kind, partner));
    links_.back()->Connect(&scheduler_, &trace_);
    return *links_.back();
}

wire::Peer& World::AddPeer(wire::Link& link, wire::Peer::Kind kind, wire::Mac mac, wire::Ip4 ip) {
    peers_.push_back(std::make_unique<wire::Peer>(link, kind, mac, ip));
    return *peers_.back();
}

void World::Settle() {
    kernel::Processors* mp = kernel_.Mp();
    if (mp == nullptr || mp->Running() != nullptr) return;
    while (mp->Runnable()) mp->RunSlice();
}

void World::HaltRemaining() {
    for (size_t i = 0; i < ndis_.AdapterCount(); ++i) {
        ndis::Adapter& a = ndis_.AdapterById(static_cast<int>(i));
        if (a.state == ndis::AdapterState::Initialized) ndis_.Halt(a, true);
    }
}

}  // namespace host::world
