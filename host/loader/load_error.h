// The one way the loader refuses an image or a link map: a LoadError whose message names what is
// wrong (the field, the section, the import, the relocation) in words a user can act on. Nothing
// the loader parses is trusted, so every refusal is an ordinary outcome, never a crash.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace host::loader {

class LoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "0x1a2b": how offsets, RVAs, sizes and addresses appear in every message.
std::string Hex(uint64_t value);

}  // namespace host::loader
