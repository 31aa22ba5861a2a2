#include "tools/nicsim/scenario/scenario_source.h"

#include <iostream>

#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/scenario/random_scenario.h"

namespace nicsim {

const EmbeddedScenario* FindEmbedded(const std::string& name) {
    for (const auto& s : EmbeddedScenarios())
        if (name == s.name) return &s;
    return nullptr;
}

std::vector<std::string> EmbeddedNames() {
    std::vector<std::string> names;
    for (const auto& s : EmbeddedScenarios()) names.emplace_back(s.name);
    return names;
}

std::string Label(const std::string& source) { return source.empty() ? "default" : source == "-" ? "stdin" : source; }

int LoadNamedScenario(const std::string& source, std::optional<Scenario>& out) {
    std::string text;
    bool embedded = true;
    if (source.empty()) {
        text = FindEmbedded("default")->json;
    } else if (source == "-") {
        embedded = false;
        std::string error;
        if (!ReadStandardInput(text, error)) {
            std::cerr << "nicsim: " << error << "\n";
            return 2;
        }
    } else {
        embedded = false;
        std::string error;
        bool exists = true;
        if (!ReadInputFile(source, text, error, exists)) {
            std::string randomError;
            if (const auto random = exists ? std::nullopt : ParseRandomName(source, randomError)) {
                if (!randomError.empty()) {
                    std::cerr << "nicsim: " << randomError << "\n";
                    return 2;
                }
                out.emplace();
                LoadRandomScenario(*random, *out);
                return 0;
            }
            const auto* named = exists ? nullptr : FindEmbedded(source);
            if (named == nullptr) {
                if (exists) std::cerr << "nicsim: " << error << "\n";
                else
                    std::cerr << "nicsim: cannot read " << source
                              << ": no such file, and no embedded scenario has that name"
                              << DidYouMean(source, EmbeddedNames()) << "; see `nicsim scenarios`\n";
                return 2;
            }
            text = named->json;
            embedded = true;
        }
    }
    std::vector<std::string> errors;
    out = LoadScenario(text, errors);
    if (!out) {
        for (const auto& e : errors) std::cerr << Label(source) << ": " << e << "\n";
        return 2;
    }
    out->source = embedded ? "embedded " + out->name : Label(source);
    out->sha256 = Sha256Hex(text);
    out->text = std::move(text);
    return 0;
}

void WarnScenario(const std::string& source, const Scenario& s) {
    for (const auto& w : s.warnings) std::cerr << Label(source) << ": warning: " << w << "\n";
}

}  // namespace nicsim
