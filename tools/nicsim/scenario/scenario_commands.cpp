#include "tools/nicsim/scenario/scenario_commands.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/cli/printable.h"
#include "tools/nicsim/scenario/random_scenario.h"
#include "tools/nicsim/scenario/scenario_source.h"

namespace nicsim {
namespace {

class ScenariosCommand : public Command {
public:
    explicit ScenariosCommand(CLI::App& app)
        : cmd_(app.add_subcommand("scenarios", "List the embedded scenarios, one line each")) {}

    bool Chosen() const override { return cmd_->parsed(); }

    int Execute(int, char**) override {
        for (const auto& s : EmbeddedScenarios()) {
            std::vector<std::string> errors;
            auto parsed = LoadScenario(s.json, errors);
            std::printf("%-14s %s\n", s.name, parsed ? Printable(parsed->description).c_str() : "(does not load)");
        }
        return 0;
    }

private:
    CLI::App* cmd_;
};

class ShowCommand : public Command {
public:
    explicit ShowCommand(CLI::App& app)
        : cmd_(app.add_subcommand("show", "Print an embedded or generated scenario as JSON, to copy and edit")) {
        cmd_->add_option("name", name_,
                         "Embedded scenario name, or random:SEED[:FAULTS] for the scenario `explore` generates")
            ->required();
    }

    bool Chosen() const override { return cmd_->parsed(); }

    int Execute(int, char**) override {
        std::string randomError;
        if (const auto random = ParseRandomName(name_, randomError)) {
            if (!randomError.empty()) {
                std::cerr << "nicsim: " << randomError << "\n";
                return 2;
            }
            std::fputs(RandomScenarioText(*random).c_str(), stdout);
            return 0;
        }
        const auto* s = FindEmbedded(name_);
        if (s == nullptr) {
            std::cerr << "nicsim: no embedded scenario \"" << name_ << "\"" << DidYouMean(name_, EmbeddedNames())
                      << " (see `nicsim scenarios`)\n";
            return 2;
        }
        std::fputs(s->json, stdout);
        return 0;
    }

private:
    CLI::App* cmd_;
    std::string name_;
};

class CheckCommand : public Command {
public:
    explicit CheckCommand(CLI::App& app)
        : cmd_(app.add_subcommand("check", "Check a scenario file and explain each error with its JSON path")) {
        cmd_->add_option("file", path_, "Scenario file (JSON), or - for standard input")->required();
    }

    bool Chosen() const override { return cmd_->parsed(); }

    int Execute(int, char**) override {
        std::optional<Scenario> s;
        if (const int rc = LoadNamedScenario(path_, s)) return rc;
        const std::string shown = Printable(Label(path_));
        std::printf("%s: ok (%zu adapters, %zu links, %zu events)\n", shown.c_str(), s->adapters.size(),
                    s->links.size(), s->events.size());
        for (const auto& w : s->warnings) std::printf("%s: warning: %s\n", shown.c_str(), Printable(w).c_str());
        // Legal, but probably not what the author meant: a run stops at duration_s.
        for (const auto& e : s->events) {
            if (e.atUs <= static_cast<uint64_t>(s->durationS * 1e6)) continue;
            std::printf("%s: warning: events[%zu].at: %g s is after duration_s (%g s): the event "
                        "does not play unless --until is longer\n",
                        shown.c_str(), e.index, e.atUs / 1e6, s->durationS);
        }
        return 0;
    }

private:
    CLI::App* cmd_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Command> MakeScenariosCommand(CLI::App& app) { return std::make_unique<ScenariosCommand>(app); }
std::unique_ptr<Command> MakeShowCommand(CLI::App& app) { return std::make_unique<ShowCommand>(app); }
std::unique_ptr<Command> MakeCheckCommand(CLI::App& app) { return std::make_unique<CheckCommand>(app); }

}  // namespace nicsim
