// Where the scenario of each seed of a sweep comes from: one scenario for every seed, or a
// generated one per seed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/nicsim/scenario/scenario.h"

namespace nicsim {

// Where each seed's scenario comes from. A sweep over one scenario file hands out the same
// scenario for every seed; a generator of random scenarios would make one from the seed.
class SeedSource {
public:
    virtual ~SeedSource() = default;
    // The scenario the run of `seed` plays (it runs with `seed` as its world's seed).
    virtual const Scenario& ScenarioFor(uint64_t seed) = 0;
    // The arguments of `nicsim run` that name that scenario, before `--seed` (none for the
    // embedded default).
    virtual std::vector<std::string> ReplayArgs(uint64_t seed) const = 0;
    // What the summary record names as the sweep's scenario: "scenario", "source" and "sha256".
    virtual nlohmann::ordered_json Identity(uint64_t first) {
        const Scenario& s = ScenarioFor(first);
        return {{"scenario", s.name}, {"source", s.source}, {"sha256", s.sha256}};
    }
};

// The same scenario for every seed: a file or an embedded one, as the user named it.
class FixedScenario : public SeedSource {
public:
    FixedScenario(Scenario scenario, std::string argument)
        : scenario_(std::move(scenario)), argument_(std::move(argument)) {}
    const Scenario& ScenarioFor(uint64_t) override { return scenario_; }
    std::vector<std::string> ReplayArgs(uint64_t) const override {
        return argument_.empty() ? std::vector<std::string>{} : std::vector<std::string>{argument_};
    }

private:
    Scenario scenario_;
    std::string argument_;
};

// A sweep over generated scenarios: the one of each seed, its replay a `random:` name.
class RandomScenarios : public SeedSource {
public:
    RandomScenarios(std::vector<std::string> faults, bool allFaults)
        : faults_(std::move(faults)), allFaults_(allFaults) {}
    const Scenario& ScenarioFor(uint64_t seed) override;
    std::vector<std::string> ReplayArgs(uint64_t seed) const override;
    // "random", source "generated, faults: LIST", no SHA-256 (each seed's scenario has its own).
    nlohmann::ordered_json Identity(uint64_t first) override;

private:
    std::vector<std::string> faults_;
    bool allFaults_;
    std::optional<uint64_t> cached_;
    Scenario scenario_;
};

}  // namespace nicsim
