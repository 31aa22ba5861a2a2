// What an image's imports are bound to: a resolver the world supplies, asked once per import
// with the module and the name as the image writes them, answering the address to bind or
// nullptr when it has no such export. ExportTable is a ready resolver over a table of exports.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace host::loader {

using Resolver = std::function<void*(std::string_view module, std::string_view name)>;

// Exports by module and name. Module names compare without regard to case, as Windows compares
// file names ("ndis.sys" is "NDIS.SYS"); export names compare exactly. Not thread-safe while
// being filled; lookups may run concurrently once it is.
class ExportTable {
public:
    // Adds or replaces module!name.
    void Add(std::string_view module, std::string_view name, void* address);
    // The address of module!name, or nullptr.
    void* Find(std::string_view module, std::string_view name) const;
    // A resolver that looks in this table, which must outlive it.
    Resolver AsResolver() const;

private:
    std::map<std::string, std::map<std::string, void*, std::less<>>, std::less<>> modules_;
};

}  // namespace host::loader
