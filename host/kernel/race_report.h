// ThreadSanitizer's reports, in the tsan build, as the verifier's data-race violations: the
// runtime calls a hook after printing each report; the hook keeps it for the kernel whose world
// is current, and that kernel's verifier reports it at its next look. Empty elsewhere.
#pragma once

#include <cstdint>

namespace host::kernel {

class Kernel;

#if defined(NICSIM_TSAN)
inline constexpr bool kRaceReports = true;
#else
inline constexpr bool kRaceReports = false;
#endif

// The kernel the sanitizer's reports on this thread go to from now on (nullptr: none; the run then
// fails only by the sanitizer's exit status). The world that becomes current sets it.
void SetRaceReportKernel(Kernel* kernel);

// The reports kept for `kernel`, as data-race violations of its verifier, oldest first; the
// reports of another kernel (a world current further in) stay for it.
void ReportRaces(Kernel& kernel);

// At the end of `kernel`'s world: reports that came after its last look at the verifier fail
// nothing but the sanitizer's exit status, so they are counted on standard error with `seed`,
// then dropped.
void DropRaces(const Kernel& kernel, uint64_t seed);

}  // namespace host::kernel
