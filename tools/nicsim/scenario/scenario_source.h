// The scenario a command names: a file, "-" for standard input, an embedded scenario's name,
// "random:SEED[:FAULTS]" for a generated one, or nothing for the embedded default. Shared by
// `run`, `check`, `bridge` and `explore`, which all take a scenario the same way.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/nicsim/scenario/embedded.h"
#include "tools/nicsim/scenario/scenario.h"

namespace nicsim {

const EmbeddedScenario* FindEmbedded(const std::string& name);
std::vector<std::string> EmbeddedNames();

// The name a scenario's messages and run record give it: "-" is standard input.
std::string Label(const std::string& source);

// Reads and loads the scenario `source` names into `out`, with its source, SHA-256 and text.
// Prints what is wrong on standard error; 0, or 2 on failure.
int LoadNamedScenario(const std::string& source, std::optional<Scenario>& out);

// What loaded but is probably not meant, on standard error, where a run's outputs are not.
void WarnScenario(const std::string& source, const Scenario& s);

}  // namespace nicsim
