// `nicsim run`: plays one scenario and prints its timeline and summary; and the output options
// `run` and `bridge` share.
#pragma once

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/nicsim/cli/command.h"
#include "tools/nicsim/run/run_files.h"

namespace nicsim {

// Adds `run` to `app`. `version` goes into the run record.
std::unique_ptr<Command> MakeRunCommand(CLI::App& app, std::string version);

// The options that choose what a run writes; `run` and `bridge` take the same.
void AddOutputOptions(CLI::App& command, OutputOptions& o);

// Refuses output options that do not go together; 2 after saying why, else 0.
int CheckOutputs(const char* command, const OutputOptions& o, bool json);

}  // namespace nicsim
