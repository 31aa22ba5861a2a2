#include "host/loader/exports.h"

namespace host::loader {

namespace {

std::string Folded(std::string_view module) {
    std::string key(module);
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return key;
}

}  // namespace

void ExportTable::Add(std::string_view module, std::string_view name, void* address) {
    modules_[Folded(module)][std::string(name)] = address;
}

void* ExportTable::Find(std::string_view module, std::string_view name) const {
    const auto m = modules_.find(Folded(module));
    if (m == modules_.end()) return nullptr;
    const auto e = m->second.find(name);
    return e == m->second.end() ? nullptr : e->second;
}

Resolver ExportTable::AsResolver() const {
    return [this](std::string_view module, std::string_view name) { return Find(module, name); };
}

}  // namespace host::loader
