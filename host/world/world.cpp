#include "host/world/world.h"

#include "host/kernel/processors.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/world/current.h"

namespace host::world {

namespace {
thread_local World* g_current = nullptr;
}

#ifdef NICSIM_TSAN
// ThreadSanitizer's report queries; its public header does not declare them.
extern "C" {
int __tsan_get_report_data(void* report, const char** description, int* count, int* stack_count,
                           int* mop_count, int* loc_count, int* mutex_count, int* thread_count,
                           int* unique_tid_count, void** sleep_trace, unsigned long trace_size);
int __tsan_get_report_mop(void* report, unsigned long idx, int* tid, void** addr, int* size,
                          int* write, int* atomic, void** trace, unsigned long trace_size);
}

// ThreadSanitizer calls this after printing a report to standard error (its own definition is an
// empty weak one). The report becomes a violation of the current world, so the test or run that
// met it fails and names its seed like any other. The sanitizer holds its report lock and
// ignores interceptors meanwhile; the verifier only allocates and appends, which is safe there.
// With no world current the run still fails: the sanitizer's exit status at the end says so.
extern "C" void __tsan_on_report(void* report) {
    if (g_current == nullptr) return;
    const char* description = nullptr;
    int count = 0, stacks = 0, mops = 0, locs = 0, mutexes = 0, threads = 0, tids = 0;
    void* sleepTrace[1] = {};
    __tsan_get_report_data(report, &description, &count, &stacks, &mops, &locs, &mutexes,
                           &threads, &tids, sleepTrace, 1);
    kernel::Kernel& kernel = g_current->Kernel();
    std::string detail = std::string("ThreadSanitizer: ") + (description ? description : "report");
    // The first access is the one that met the report (the running context); the second, the
    // earlier one it is not ordered after.
    for (int i = 0; i < mops && i < 2; ++i) {
        int tid = 0, size = 0, write = 0, atomic = 0;
        void* addr = nullptr;
        void* frames[1] = {};
        if (__tsan_get_report_mop(report, static_cast<unsigned long>(i), &tid, &addr, &size, &write,
                                  &atomic, frames, 1) == 0)
            continue;
        detail += i == 0 ? ": " : ", unordered with an earlier ";
        detail += std::string(write ? "write" : "read") + " of " + std::to_string(size) +
                  " bytes at " + kernel.LockName(addr);
    }
    kernel.Report(verifier::check::kDataRace, std::move(detail));
}
#endif

World& Current() {
    if (g_current == nullptr) {
        std::fprintf(stderr, "a platform routine was called with no emulated world current\n");
        std::abort();
    }
    return *g_current;
}

kernel::Kernel& CurrentKernel() { return Current().Kernel(); }
ndis::Ndis& CurrentNdis() { return Current().Ndis(); }

World::World(uint64_t seed)
    : previous_(g_current),
      scheduler_(seed),
      trace_([this] { return scheduler_.Now(); }),
      verifier_(trace_, [this] { return scheduler_.Now(); }),
      kernel_(scheduler_, trace_, verifier_, faults_),
      ndis_(kernel_, trace_) {
    g_current = this;
}

World::~World() { g_current = previous_; }

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

NTSTATUS World::LoadDriver() {
    if (!loaded_) {
        loadStatus_ = ndis_.LoadDriver();
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
