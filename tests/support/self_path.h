// The path of the running test binary, for the replay commands the sweeps print.
#pragma once

#include <unistd.h>

#include <string>

namespace testing_support {

inline std::string SelfPath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "build/default/tests/unit_tests";
    buf[n] = 0;
    std::string path(buf);
    // A binary rebuilt while it ran still names the same file to run again.
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

}  // namespace testing_support
