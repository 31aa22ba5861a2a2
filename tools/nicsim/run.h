// `nicsim run`: builds the emulated world, runs its story in virtual time, prints the timeline and
// the summary, writes the traces, and gives the verifier's verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nicsim {

struct RunOptions {
    std::optional<uint64_t> seed;
    std::optional<double> untilSeconds;
    std::string tracePath;
    bool quiet = false;
};

// Exit status: 0 no violation, 1 the verifier caught something, 2 a usage error.
int Run(const RunOptions& options);

}  // namespace nicsim
