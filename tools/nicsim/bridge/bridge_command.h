// `nicsim bridge`: carries real traffic between TAP interfaces through emulated adapters.
#pragma once

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/nicsim/cli/command.h"

namespace nicsim {

// Adds `bridge` to `app`. `version` goes into the run record.
std::unique_ptr<Command> MakeBridgeCommand(CLI::App& app, std::string version);

}  // namespace nicsim
