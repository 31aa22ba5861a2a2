// The timeline on standard output: one line per notable event with its virtual time, for people.
// It reads the same trace lines the JSON Lines file gets, so what it shows is what was traced.
#pragma once

#include <cstdio>
#include <string>

#include "host/trace/trace.h"

namespace nicsim {

class Timeline {
public:
    explicit Timeline(std::FILE* out) : out_(out) {}
    void OnLine(const host::trace::Json& line);

private:
    void Print(uint64_t t_us, const std::string& adapter, const std::string& text);
    std::FILE* out_;
};

}  // namespace nicsim
