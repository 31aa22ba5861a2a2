#include "tools/nicsim/cli/standard_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace nicsim {

namespace {

int g_errno = 0;     // why standard output first failed; 0 while it has not
bool g_told = false;  // a message about it is already on standard error

void Note(int why) {
    if (g_errno == 0) g_errno = why != 0 ? why : EIO;
}

}  // namespace

std::string StandardOutputError() {
    errno = 0;
    std::cout.flush();
    if (!std::cout) Note(errno);
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) Note(errno);
    if (g_errno == 0) return {};
    return std::string("writing standard output failed: ") + std::strerror(g_errno);
}

void NoteStandardOutputWrite() {
    const int why = errno;
    if (!std::cout || std::ferror(stdout)) Note(why);
}

void StandardOutputErrorTold() { g_told = true; }

int FinishStandardOutput(int status) {
    std::string error = StandardOutputError();
    // A file system may report a failed write only when the file is closed (NFS, a quota).
    errno = 0;
    if (error.empty() && std::fclose(stdout) != 0 && errno != EBADF) {  // EBADF: no standard output at all
        Note(errno);
        error = std::string("writing standard output failed: ") + std::strerror(g_errno);
    }
    if (error.empty()) return status;
    if (!g_told) std::cerr << "nicsim: " << error << "\n";
    g_told = true;
    return kOutputError;
}

}  // namespace nicsim
