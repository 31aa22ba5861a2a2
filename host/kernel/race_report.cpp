#include "host/kernel/race_report.h"

#include <cstdio>

#if defined(NICSIM_TSAN)
#include <cstring>
#include <string>

#include "host/kernel/kernel.h"
#include "host/verifier/verifier.h"
#endif

namespace host::kernel {

#if defined(NICSIM_TSAN)
// ThreadSanitizer's report queries; its public header does not declare them.
extern "C" {
int __tsan_get_report_data(void* report, const char** description, int* count, int* stack_count,
                           int* mop_count, int* loc_count, int* mutex_count, int* thread_count,
                           int* unique_tid_count, void** sleep_trace, unsigned long trace_size);
int __tsan_get_report_mop(void* report, unsigned long idx, int* tid, void** addr, int* size,
                          int* write, int* atomic, void** trace, unsigned long trace_size);
int __tsan_get_report_thread(void* report, unsigned long idx, int* tid, uint64_t* os_id,
                             int* running, const char** name, int* parent_tid, void** trace,
                             unsigned long trace_size);
int __tsan_get_report_loc(void* report, unsigned long idx, const char** type, void** addr,
                          uintptr_t* start, uintptr_t* size, int* tid, int* fd, int* suppressable,
                          void** trace, unsigned long trace_size);
}

namespace {

thread_local const Kernel* t_reportKernel = nullptr;

// A ThreadSanitizer report as the hook saw it, copied into fixed storage: the hook runs inside
// the sanitizer (its report lock held, perhaps in the middle of a free), where allocating or
// freeing is not allowed. It becomes a violation at the world's next look at its verifier.
struct RaceRecord {
    const Kernel* kernel;
    int adapter;
    char description[32];
    char context[64];  // the execution context that met the report
    struct Access {
        void* addr;
        int size;
        bool write;
        bool atomic;
        char by[64];  // the context (fiber) that made it
    } access[2];
    int accesses;
    // The tracked block the accesses fell in, looked up while it was surely still tracked (the
    // report may come from freeing it).
    bool inBlock;
    uint32_t tag;
    uintptr_t blockStart;
};
constexpr size_t kRaceRecords = 32;
thread_local RaceRecord t_races[kRaceRecords];
thread_local size_t t_raceCount = 0;
thread_local size_t t_racesDropped = 0;

// A place in a tracked block as the kernel names a lock: its tag and offset.
std::string BlockPlace(uint32_t tag, uintptr_t offset) {
    std::string out = "'";
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        out += (c >= 32 && c < 127) ? c : '?';
    }
    char text[24];
    std::snprintf(text, sizeof text, "'+0x%zx", static_cast<size_t>(offset));
    return out + text;
}

void CopyName(char (&to)[64], const char* from) {
    std::snprintf(to, sizeof to, "%s", from != nullptr ? from : "?");
}

const char* ThreadName(void* report, int threads, int tid) {
    for (int i = 0; i < threads; ++i) {
        int id = 0, running = 0, parent = 0;
        uint64_t osId = 0;
        const char* name = nullptr;
        void* frames[1] = {};
        if (__tsan_get_report_thread(report, static_cast<unsigned long>(i), &id, &osId, &running,
                                     &name, &parent, frames, 1) != 0 &&
            id == tid)
            return name != nullptr ? name : "main";
    }
    return tid == 0 ? "main" : "?";
}

// Turns the records of `kernel` into data-race violations, oldest first. Records of another
// kernel (one current further in) stay for it.
void ReportRacesOf(Kernel& kernel) {
    RaceRecord taken[kRaceRecords];
    size_t n = 0;
    size_t kept = 0;
    for (size_t i = 0; i < t_raceCount; ++i) {
        if (t_races[i].kernel == &kernel)
            taken[n++] = t_races[i];
        else
            t_races[kept++] = t_races[i];
    }
    t_raceCount = kept;
    for (size_t i = 0; i < n; ++i) {
        const RaceRecord& r = taken[i];
        std::string detail = std::string("ThreadSanitizer: ") + r.description;
        // The first access is the one that met the report; the second, the earlier one nothing
        // orders it after.
        for (int a = 0; a < r.accesses; ++a) {
            const RaceRecord::Access& x = r.access[a];
            detail += a == 0 ? ": " : ", unordered with an earlier ";
            detail += std::string(x.atomic ? "atomic " : "") + (x.write ? "write" : "read") +
                      " of " + std::to_string(x.size) + " bytes at " +
                      (r.inBlock ? BlockPlace(r.tag, reinterpret_cast<uintptr_t>(x.addr) -
                                                         r.blockStart)
                                 : kernel.LockName(x.addr)) +
                      " by " + x.by;
        }
        detail += std::string(" (in ") + r.context + ")";
        kernel.Verifier().Report(verifier::check::kDataRace, std::move(detail),
                                kernel.AdapterName(r.adapter));
    }
    if (t_racesDropped != 0 && t_raceCount == 0) {
        kernel.Verifier().Report(verifier::check::kDataRace,
                                "ThreadSanitizer: " + std::to_string(t_racesDropped) +
                                    " more report(s), on standard error only");
        t_racesDropped = 0;
    }
}

}  // namespace

// The runtime's defaults in the tsan build (TSAN_OPTIONS overrides each). The world is not
// instrumented, yet the runtime intercepts its allocations and its copies and would take them for
// accesses of whichever context runs host code at the time: host bookkeeping the scheduler
// orders, never the driver's, which calls no C library routine. Those are ignored; the driver's
// frees are told as writes instead (kernel/race_sync.h). A second race on a field already
// reported, from other places, is reported too; a race between the same two places is reported
// once per process (suppress_equal_stacks=0 names every seed that meets it). A fault in the
// driver ends the run from the signal handler, which formats and writes the run's outputs before
// the process exits (host/world/crash_guard.cpp): unsafe for a signal that interrupts the C
// library, deliberate for a fault in driver code, which never calls it, so not reported.
extern "C" const char* __tsan_default_options() {
    return "ignore_interceptors_accesses=1:suppress_equal_addresses=0:report_signal_unsafe=0";
}

// ThreadSanitizer calls this after printing a report to standard error, where it stays (the
// runtime's own definition is an empty weak one). The report is kept for the kernel of the current world, whose
// verifier then fails the test or run that met it and names its seed like any other violation.
// With no world current the run still fails: the sanitizer's exit status says so.
extern "C" void __tsan_on_report(void* report) {
    const Kernel* current = t_reportKernel;
    if (current == nullptr) return;
    if (t_raceCount == kRaceRecords) {
        ++t_racesDropped;
        return;
    }
    RaceRecord& r = t_races[t_raceCount++];
    r = RaceRecord{};
    r.kernel = current;
    const Kernel& kernel = *current;
    r.adapter = kernel.CurrentAdapter();
    const std::string_view context = kernel.CurrentContextName();
    std::snprintf(r.context, sizeof r.context, "%.*s", static_cast<int>(context.size()),
                  context.data());
    const char* description = nullptr;
    int count = 0, stacks = 0, mops = 0, locs = 0, mutexes = 0, threads = 0, tids = 0;
    void* sleepTrace[1] = {};
    __tsan_get_report_data(report, &description, &count, &stacks, &mops, &locs, &mutexes,
                           &threads, &tids, sleepTrace, 1);
    std::snprintf(r.description, sizeof r.description, "%s",
                  description != nullptr ? description : "report");
    for (int i = 0; i < mops && r.accesses < 2; ++i) {
        int tid = 0, size = 0, write = 0, atomic = 0;
        void* addr = nullptr;
        void* frames[1] = {};
        if (__tsan_get_report_mop(report, static_cast<unsigned long>(i), &tid, &addr, &size,
                                  &write, &atomic, frames, 1) == 0)
            continue;
        RaceRecord::Access& x = r.access[r.accesses++];
        x.addr = addr;
        x.size = size;
        x.write = write != 0;
        x.atomic = atomic != 0;
        CopyName(x.by, ThreadName(report, threads, tid));
    }
    // Where it is: the sanitizer knows the heap block, the kernel its tag (lookups only).
    for (int i = 0; i < locs && !r.inBlock; ++i) {
        const char* type = nullptr;
        void* addr = nullptr;
        uintptr_t start = 0, size = 0;
        int tid = 0, fd = 0, suppressable = 0;
        void* frames[1] = {};
        if (__tsan_get_report_loc(report, static_cast<unsigned long>(i), &type, &addr, &start,
                                  &size, &tid, &fd, &suppressable, frames, 1) == 0 ||
            type == nullptr || std::strcmp(type, "heap") != 0)
            continue;
        if (const Resource* block = kernel.Find(reinterpret_cast<void*>(start))) {
            r.inBlock = true;
            r.tag = block->tag;
            r.blockStart = start;
        }
    }
}

void SetRaceReportKernel(Kernel* kernel) { t_reportKernel = kernel; }

void ReportRaces(Kernel& kernel) { ReportRacesOf(kernel); }

void DropRaces(const Kernel& kernel, uint64_t seed) {
    size_t late = 0;
    for (size_t i = 0; i < t_raceCount; ++i) late += t_races[i].kernel == &kernel ? 1 : 0;
    if (late != 0)
        std::fprintf(stderr, "nicsim: %zu ThreadSanitizer report(s) after the last check, seed %llu\n",
                     late, static_cast<unsigned long long>(seed));
    size_t kept = 0;
    for (size_t i = 0; i < t_raceCount; ++i)
        if (t_races[i].kernel != &kernel) t_races[kept++] = t_races[i];
    t_raceCount = kept;
}
#else
void SetRaceReportKernel(Kernel*) {}
void ReportRaces(Kernel&) {}
void DropRaces(const Kernel&, uint64_t) {}
#endif

}  // namespace host::kernel
