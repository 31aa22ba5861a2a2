// `nicsim explore`: one run per seed of a range, its failing seeds as JSON Lines.
#pragma once

#include <memory>

#include <CLI/CLI.hpp>

#include "tools/nicsim/cli/command.h"

namespace nicsim {

std::unique_ptr<Command> MakeExploreCommand(CLI::App& app);

}  // namespace nicsim
