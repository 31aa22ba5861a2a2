// How fast the emulated world runs whole scenarios: virtual seconds simulated per wall-clock
// second, through nicsim's own loader and runner (quiet, no trace, no captures).
//   DefaultStory  the default scenario: a minute of start-up, pings, a 1000-frame burst, two
//                 media switches, a packet filter, a reset, shutdown and halt.
//   IdleDay       one Ethernet adapter initialised and left alone for 24 hours: the link poll
//                 every 3 s and the bulk-in read waiting, nothing else.
// The counter `virtual_s_per_s` is the figure to compare: virtual seconds per wall-clock second
// (real time, so a busy machine shows in it; the CPU column tells the cost alone). Its time
// includes building the world and halting the adapter at the end.
#include <benchmark/benchmark.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "tools/nicsim/run/runner.h"
#include "tools/nicsim/scenario/scenario.h"

namespace {

nicsim::Scenario Load(const std::string& text) {
    std::vector<std::string> errors;
    auto s = nicsim::LoadScenario(text, errors);
    if (!s) {
        for (const auto& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
        std::abort();
    }
    return *s;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void RunScenario(benchmark::State& state, const nicsim::Scenario& scenario) {
    nicsim::RunOptions options;
    options.quiet = true;
    for (auto _ : state) {
        if (nicsim::RunScenario(scenario, options) != 0) {
            state.SkipWithError("the verifier caught a violation");
            return;
        }
    }
    state.counters["virtual_s_per_s"] =
        benchmark::Counter(scenario.durationS * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

void DefaultStory(benchmark::State& state) {
    static const nicsim::Scenario scenario = Load(ReadFile(NICSIM_SCENARIO_DIR "/default.json"));
    RunScenario(state, scenario);
}
BENCHMARK(DefaultStory)->Unit(benchmark::kMillisecond)->UseRealTime();

void IdleDay(benchmark::State& state) {
    static const nicsim::Scenario scenario = Load(R"({
      "name": "idle-day",
      "duration_s": 86400,
      "adapters": [ { "name": "A", "phys": [ { "address": 0, "id": "0x225410", "link": "eth0" } ] } ],
      "links": [ { "name": "eth0", "medium": "ethernet", "up": true } ],
      "events": [ { "at": 0, "do": "initialize", "adapter": "A" } ]
    })");
    RunScenario(state, scenario);
}
BENCHMARK(IdleDay)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
