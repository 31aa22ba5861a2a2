// The scenarios nicsim carries inside it (built from scenarios/*.json); "default" runs when no
// file is named.
#pragma once

#include <string>
#include <vector>

namespace nicsim {

struct EmbeddedScenario {
    const char* name;
    const char* json;
};

const std::vector<EmbeddedScenario>& EmbeddedScenarios();

}  // namespace nicsim
