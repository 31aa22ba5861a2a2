// The commands about scenarios themselves, which run nothing: `scenarios` lists the embedded
// ones, `show` prints an embedded or generated one, `check` checks a file and explains its errors.
#pragma once

#include <memory>

#include <CLI/CLI.hpp>

#include "tools/nicsim/cli/command.h"

namespace nicsim {

std::unique_ptr<Command> MakeScenariosCommand(CLI::App& app);
std::unique_ptr<Command> MakeShowCommand(CLI::App& app);
std::unique_ptr<Command> MakeCheckCommand(CLI::App& app);

}  // namespace nicsim
