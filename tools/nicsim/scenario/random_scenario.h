// Random scenarios for `nicsim explore`: one per seed, written in the scenario file format so
// that `nicsim run`, `show` and `check` take them like any file. Each has one adapter (one of
// four PHY sets, random descriptor counts) on an Ethernet and a phone-line medium with
// responders, and 15 to 60 events: traffic, pings, frames from the partner, link flaps, resets,
// packet filters, multicast lists, queries and the fault plans the caller allows, now and then a
// fault during start-up, a shutdown or a vanished device, and a halt at the end.
//
// A generated scenario is named "random:SEED", or "random:SEED:KIND,KIND" when only some fault
// kinds may be armed ("random:SEED:none" for none); that name is all it takes to make it again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/nicsim/scenario/scenario.h"

namespace nicsim {

// The fault kinds a random scenario may arm: every fault plan the scenario format knows.
const std::vector<std::string>& RandomFaultKinds();

// A parsed "random:SEED[:FAULTS]" name. `faults` is empty for "none"; every kind when the name
// has no list.
struct RandomName {
    uint64_t seed = 0;
    std::vector<std::string> faults;
    bool allFaults = true;
};

// Nothing when `text` does not start with "random:"; otherwise the name, or `error` says what is
// wrong with it (an unknown fault kind comes with a did-you-mean).
std::optional<RandomName> ParseRandomName(std::string_view text, std::string& error);
// "a,b,c", "none" or "all" (every kind): the kinds in the order of RandomFaultKinds(), or
// nothing with `error` filled.
std::optional<std::vector<std::string>> ParseFaultList(std::string_view text, std::string& error);
// The canonical name of a random scenario: "random:SEED" or "random:SEED:LIST".
std::string RandomScenarioName(uint64_t seed, const std::vector<std::string>& faults, bool allFaults);

// The scenario of `name`, as the JSON text a file of it would hold (two-space indented).
std::string RandomScenarioText(const RandomName& name);

// Fills `out` with the generated scenario (source "generated NAME", its text's SHA-256).
void LoadRandomScenario(const RandomName& name, Scenario& out);

}  // namespace nicsim
