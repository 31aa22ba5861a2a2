// What nicsim takes from its user, checked before anything runs: numbers on the command line,
// input files, and names. Each refusal says what would have been accepted, and a mistyped name
// gets the closest one the tool knows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

namespace nicsim {

// The longest a run lasts, in virtual seconds: the bound of `duration_s`, every `at` and
// interval of a scenario, `run --until`, `bridge --duration` and `--flap-at`. Ten million
// seconds (about 116 days) keeps every time, in microseconds, far inside 64 bits.
inline constexpr double kMaxSeconds = 10'000'000;

// The largest input file `nicsim` reads (a scenario): 16 MiB.
inline constexpr uint64_t kMaxInputBytes = 16u << 20;

// A decimal number of seconds, the whole text: "2", "0.5", "1e3". Nothing for NaN, infinities
// and anything else.
std::optional<double> ParseSeconds(std::string_view text);

// A decimal whole number of at most 64 bits, the whole text; nothing otherwise (no sign, no
// wrapping, no clamping).
std::optional<uint64_t> ParseUint64(std::string_view text);

// CLI11 checks: a time from 0 (excluded when `zeroAllowed` is false, and then at least the
// world's resolution, 1 microsecond) to kMaxSeconds, and a seed
// of 64 bits. Their messages name the bounds as numbers a person reads.
CLI::Validator SecondsCheck(bool zeroAllowed);
CLI::Validator SeedCheck();

// "AT[:FOR]" of `bridge --flap-at`: AT from 0 to kMaxSeconds, FOR above 0 up to kMaxSeconds
// (default 5). Nothing when the text is not that.
std::optional<std::pair<double, double>> ParseFlap(std::string_view text);

// Reads a whole input file of at most kMaxInputBytes. Refuses, with a message that says why, a
// directory, a FIFO, a device or a socket (which could block or never end), a file over the
// limit (the read stops there, so a file that grows is caught too) and a read error. `exists`
// is false, and the message empty, when nothing is at `path`.
bool ReadInputFile(const std::string& path, std::string& text, std::string& error, bool& exists);

// Reads standard input whole, at most kMaxInputBytes (a scenario piped in: `nicsim show random:7 |
// nicsim run -`); false with a message otherwise.
bool ReadStandardInput(std::string& text, std::string& error);

// The candidate closest to `word` (case-insensitive edit distance, a swap of two neighbours
// counting as one edit), when it is close enough to be a likely typo; nothing otherwise.
std::optional<std::string> ClosestName(std::string_view word, const std::vector<std::string>& candidates);
// " (did you mean \"x\"?)" for the closest candidate, else "".
std::string DidYouMean(std::string_view word, const std::vector<std::string>& candidates);

}  // namespace nicsim
