// nicsim as a user runs it: a subprocess whose output and exit status the test reads, and files
// of its own for the run to write.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

struct Outcome {
    int status;       // the exit status, or -1 when the command did not exit normally
    std::string out;  // standard output, and standard error where the caller asked for it
};

// Runs a shell command; standard error joins the output when `withErrors`, else it is dropped.
inline Outcome Shell(const std::string& command, bool withErrors = false) {
    Outcome o{-1, {}};
    FILE* pipe = popen((command + (withErrors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
    if (pipe == nullptr) return o;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) o.out.append(buf, n);
    const int raw = pclose(pipe);
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return o;
}

// The nicsim built beside the tests, with both of its output streams.
inline Outcome Nicsim(const std::string& args) {
    return Shell(std::string(NICSIM_BINARY) + " " + args, true);
}

// The same, stopped (SIGTERM) after `seconds`: for commands that must be refused at once, so a
// regression that lets one run shows as a failure instead of a hung test.
inline Outcome NicsimRefusedWithin(const std::string& args, int seconds = 20) {
    return Shell("timeout " + std::to_string(seconds) + " " + std::string(NICSIM_BINARY) + " " + args, true);
}

// A directory of its own under the test temporary directory (mkdtemp, so tests run two at a time
// and test runs sharing a machine never meet), removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = ::testing::TempDir() + "nicsim_test_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot create a scratch directory from " << pattern;
            return;
        }
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A file for a run to write, in a scratch directory this test process owns and removes when it
// exits (CTest runs every test in a process of its own), so a failed assertion halfway through a
// test leaves nothing behind either.
inline std::string TempPath(const std::string& prefix, const std::string& name) {
    static const ScratchDir dir;
    return dir / (prefix + name);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace testing_support
