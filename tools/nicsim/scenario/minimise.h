// Shrinking a failing scenario: fewer events, fewer frames, faults that strike later, a shorter
// run, for as long as it still fails the same way. What is left is the story a person reads to
// find the fault.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace nicsim {

struct Minimised {
    std::string text;   // the smallest scenario found, as a file holds it
    size_t events = 0;  // its events
    size_t eventsBefore = 0;
    uint64_t runs = 0;  // candidates tried
};

// `stillFails` plays a candidate (scenario JSON text) and says whether it fails as the original
// did; a candidate that does not load counts as not failing. At most `budget` candidates are
// tried. `text` must be a scenario that fails.
Minimised Minimise(const std::string& text, const std::function<bool(const std::string&)>& stillFails,
                   uint64_t budget);

}  // namespace nicsim
