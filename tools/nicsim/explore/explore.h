// `nicsim explore`: one run per seed of a range, each judged by the verifier and by the frame
// accounts of its summary, on worker processes of this machine, in shards across machines.
// Results are JSON Lines: one record per failing seed, sorted by seed, then a summary record;
// apart from the wall and CPU times they depend only on the seeds, scenario and options, so
// shards merged with `--merge` equal the unsharded sweep.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/image/image_driver.h"
#include "tools/nicsim/explore/seed_source.h"

namespace nicsim {

struct ExploreOptions {
    uint64_t first = 0, last = 0;  // the seed range, both included
    unsigned shard = 0, shards = 0;  // shard K of N (1-based); 0 when not sharded
    unsigned jobs = 1;               // worker processes
    std::optional<unsigned> cpus;
    std::string usbTiming;    // as given, empty for the default
    std::string until;        // `--until` as given, empty when not
    std::optional<double> untilSeconds;
    double timeLimitSeconds = 0;  // wall-clock budget of the sweep; 0 for none
    std::string outPath;          // JSON Lines; empty or "-" for standard output
    std::string junitPath;        // a JUnit XML report of the sweep; empty for none
    // Shrink each failing seed's scenario and write the smallest as DIR/minimised-SEED.json.
    bool minimise = false;
    std::string minimiseDir = ".";
    uint64_t minimiseBudget = 2000;  // runs per failing seed
    // The shipped driver image every seed runs (--image), or null for the built-in driver; its
    // path as given, for the replay commands.
    std::shared_ptr<const host::image::ImageFile> image;
    std::string imagePath;
    bool callsOnly = false;  // --points calls, as in `run`
};

// "A..B": two 64-bit seeds, A at most B. Nothing otherwise.
std::optional<std::pair<uint64_t, uint64_t>> ParseSeedRange(std::string_view text);
// "K/N" with 1 <= K <= N <= 1000000. Nothing otherwise.
std::optional<std::pair<unsigned, unsigned>> ParseShard(std::string_view text);
CLI::Validator SeedRangeCheck();
CLI::Validator ShardCheck();

// The seeds of shard K of N of [first, last]: consecutive slices, the first ones one seed
// shorter when the range does not divide evenly. Empty (first > last) when a slice has no seed.
std::pair<uint64_t, uint64_t> ShardRange(uint64_t first, uint64_t last, unsigned shard, unsigned shards);

// Exit statuses of a sweep and of a merge, most urgent first: an error means the records say
// nothing to rely on, a failing seed is a finding whether or not every seed ran, and a sweep
// that stopped short (the time limit) must not pass for one that ran every seed.
constexpr int kExploreError = 2;       // usage, a scenario or file that failed, shards that are not the sweep
constexpr int kExploreFailed = 1;      // at least one seed failed
constexpr int kExploreIncomplete = 3;  // none failed, but not every seed ran (the time limit stopped it)
constexpr int kExplorePassed = 0;      // every seed of the range (or shard) ran and passed

// Runs the sweep. Exit status as above; kExploreError when the results could not be written.
int Explore(SeedSource& source, const ExploreOptions& options);

// Merges the JSON Lines of shards of one sweep into the records of the whole sweep, written to
// `outPath` (empty or "-": standard output), and as a JUnit report to `junitPath` when given.
// Exit status as Explore's; kExploreError also when a file cannot be read, the files are not
// shards of one sweep, or a shard is missing (the records of those given are still written).
int MergeResults(const std::vector<std::string>& files, const std::string& outPath, const std::string& junitPath);

}  // namespace nicsim
