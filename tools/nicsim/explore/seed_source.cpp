#include "tools/nicsim/explore/seed_source.h"

#include "tools/nicsim/scenario/random_scenario.h"

namespace nicsim {

const Scenario& RandomScenarios::ScenarioFor(uint64_t seed) {
    if (cached_ != seed) {
        LoadRandomScenario(RandomName{seed, faults_, allFaults_}, scenario_);
        cached_ = seed;
    }
    return scenario_;
}

std::vector<std::string> RandomScenarios::ReplayArgs(uint64_t seed) const {
    return {RandomScenarioName(seed, faults_, allFaults_)};
}

Json RandomScenarios::Identity(uint64_t) {
    std::string faults = allFaults_ ? "all" : faults_.empty() ? "none" : "";
    for (size_t i = 0; !allFaults_ && i < faults_.size(); ++i) faults += (i ? "," : "") + faults_[i];
    return {{"scenario", "random"}, {"source", "generated, faults: " + faults}, {"sha256", nullptr}};
}

}  // namespace nicsim
