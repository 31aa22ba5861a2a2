#include "tools/nicsim/cli/command.h"

#include <algorithm>
#include <iostream>
#include <vector>

#include "tools/nicsim/cli/input.h"

namespace nicsim {

void SuggestOptions(CLI::App& app, int argc, char** argv) {
    if (argc < 2) return;
    CLI::App* command = nullptr;
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        if (sub->get_name() == argv[1]) command = sub;
    if (command == nullptr) return;
    std::vector<std::string> names;
    for (const CLI::Option* o : command->get_options())
        for (const std::string& l : o->get_lnames()) names.push_back("--" + l);
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") continue;
        arg = arg.substr(0, arg.find('='));
        if (std::find(names.begin(), names.end(), arg) != names.end()) continue;
        if (const auto close = ClosestName(arg, names))
            std::cerr << "nicsim " << argv[1] << ": unknown option " << arg << " (did you mean " << *close << "?)\n";
    }
}

int ReadImageOption(const std::string& path, std::shared_ptr<const host::image::ImageFile>& out) {
    if (path.empty()) return 0;
    std::string error;
    out = host::image::ImageFile::Read(path, error);
    if (out) return 0;
    std::cerr << "nicsim: " << error << "\n";
    return 2;
}

}  // namespace nicsim
