// `nicsim report`: draws a trace of `nicsim run` as one self-contained HTML page.
#pragma once

#include <memory>

#include <CLI/CLI.hpp>

#include "tools/nicsim/cli/command.h"

namespace nicsim {

std::unique_ptr<Command> MakeReportCommand(CLI::App& app);

}  // namespace nicsim
