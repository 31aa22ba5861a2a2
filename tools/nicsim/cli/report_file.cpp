#include "tools/nicsim/cli/report_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nicsim {

bool ReportFile::Open(std::string& error) {
    if (path_.empty()) return true;
    out_.open(path_, std::ios::binary | std::ios::trunc);
    if (!out_) {
        error = "cannot write " + path_ + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
        return false;
    }
    return true;
}

ReportFile::~ReportFile() {
    if (out_.is_open() && !written_) {
        out_.close();
        std::remove(path_.c_str());
    }
}

bool ReportFile::Write(const std::string& text, std::string& error) {
    if (path_.empty()) return true;
    written_ = true;
    errno = 0;
    out_ << text;
    out_.flush();
    const int why = errno;
    out_.close();
    if (!out_) {
        error = "writing " + path_ + " failed: " + std::strerror(why != 0 ? why : errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

}  // namespace nicsim
