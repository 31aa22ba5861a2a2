// Whether what nicsim wrote to standard output arrived. A write to a full disk, a closed pipe's
// replacement or /dev/full fails without stopping the program, so every command asks at its end
// (and the run before it writes its --junit report, which must tell the same story) and exits 2,
// the status of an output error, with the reason on standard error.
#pragma once

#include <string>

namespace nicsim {

// The exit status of a run or command whose output was not written whole.
inline constexpr int kOutputError = 2;

// Flushes standard output (C stdio and std::cout, which share it); empty when everything written
// so far arrived, else "writing standard output failed: REASON", the first reason seen.
std::string StandardOutputError();

// For a caller that has just written to standard output through code of its own (CLI11's help):
// when the write failed, keeps the reason the system gave, before anything else can replace it.
void NoteStandardOutputWrite();

// Says that the caller has told the user of the failure, so the end of the process does not tell
// it a second time.
void StandardOutputErrorTold();

// The end of a command: flushes and closes standard output and returns `status` when everything
// arrived, else kOutputError after saying why on standard error (once).
int FinishStandardOutput(int status);

}  // namespace nicsim
