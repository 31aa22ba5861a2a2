// One command of nicsim (`run`, `explore`, ...): it adds its subcommand and options to the
// command line, and runs when the user chose it. main.cpp only builds the command line from these,
// parses it and runs the chosen one.
#pragma once

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "host/image/image_driver.h"

namespace nicsim {

class Command {
public:
    virtual ~Command() = default;
    // Whether the parsed command line named this command.
    virtual bool Chosen() const = 0;
    // Runs it: the exit status (0 clean, 1 a violation, 2 a usage or scenario error).
    virtual int Execute(int argc, char** argv) = 0;
};

// After CLI11 has refused an option: the closest option of the command for each unknown one.
void SuggestOptions(CLI::App& app, int argc, char** argv);

// --image: the file is read and checked once, before anything runs; a refusal names the file and
// what is wrong with it. 0, or 2 after saying why; nothing to read when `path` is empty.
int ReadImageOption(const std::string& path, std::shared_ptr<const host::image::ImageFile>& out);

}  // namespace nicsim
