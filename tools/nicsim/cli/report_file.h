#pragma once

#include <fstream>
#include <string>
#include <utility>

namespace nicsim {

// A report file (the JUnit verdict, the HTML page): created (truncated) when the run starts, so a
// path that cannot be written is refused before anything runs, and written once the report is
// known.
class ReportFile {
public:
    explicit ReportFile(std::string path) : path_(std::move(path)) {}
    // A report opened but never written (the run stopped before its verdict, say a TAP that
    // would not open) is removed: an empty report would read as a run with no tests.
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;
    bool Asked() const { return !path_.empty(); }
    // False, with a message naming the file, when it cannot be created; true if none was asked.
    bool Open(std::string& error);
    // False, with a message naming the file and the system's reason, when it was not written whole.
    bool Write(const std::string& text, std::string& error);

private:
    std::string path_;
    std::ofstream out_;
    bool written_ = false;
};

}  // namespace nicsim
