#include "tools/nicsim/cli/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace nicsim {

namespace {

// Limits are whole numbers of seconds; print them as such, never in a double's full expansion.
std::string Whole(double v) { return std::to_string(static_cast<long long>(v)); }

std::string SecondsBounds(bool zeroAllowed) {
    return std::string("a number of seconds from 0") + (zeroAllowed ? "" : " (excluded)") + " to " +
           Whole(kMaxSeconds) + " (the longest a run lasts, as a scenario's duration_s)";
}

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Optimal string alignment distance: insertions, deletions, substitutions and swaps of two
// neighbours, each one edit; letters compared without case.
size_t EditDistance(std::string_view a, std::string_view b) {
    const size_t n = a.size(), m = b.size();
    std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
    for (size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j) {
            const size_t cost = Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) && Lower(a[i - 2]) == Lower(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m];
}

}  // namespace

std::optional<double> ParseSeconds(std::string_view text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<uint64_t> ParseUint64(std::string_view text) {
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

CLI::Validator SecondsCheck(bool zeroAllowed) {
    return CLI::Validator(
        [zeroAllowed](std::string& text) -> std::string {
            const auto s = ParseSeconds(text);
            if (!s || *s < 0 || (*s == 0 && !zeroAllowed) || *s > kMaxSeconds)
                return "\"" + text + "\" is not " + SecondsBounds(zeroAllowed);
            // The world counts whole microseconds, and a run converts its end as the runner does:
            // a time that truncates to none would be a run of zero seconds.
            if (!zeroAllowed && static_cast<uint64_t>(*s * 1'000'000) == 0)
                return "\"" + text + "\" is less than 1 microsecond, the smallest time nicsim counts: give at "
                       "least 0.000001 seconds";
            return {};
        },
        "SECONDS", "seconds");
}

CLI::Validator SeedCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (!ParseUint64(text))
                return "\"" + text + "\" is not a seed: a whole number from 0 to 18446744073709551615 (64 bits)";
            return {};
        },
        "0..2^64-1", "seed");
}

std::optional<std::pair<double, double>> ParseFlap(std::string_view text) {
    const size_t colon = text.find(':');
    const auto at = ParseSeconds(text.substr(0, colon));
    if (!at || *at < 0 || *at > kMaxSeconds) return std::nullopt;
    double length = 5;
    if (colon != std::string_view::npos) {
        const auto f = ParseSeconds(text.substr(colon + 1));
        if (!f || *f <= 0 || *f > kMaxSeconds) return std::nullopt;
        length = *f;
    }
    return std::pair{*at, length};
}

bool ReadInputFile(const std::string& path, std::string& text, std::string& error, bool& exists) {
    exists = true;
    // Not blocking: opening a FIFO would otherwise wait for a writer before the type is known.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            exists = false;
            return false;
        }
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    const auto fail = [&](const std::string& why) {
        error = path + ": " + why;
        ::close(fd);
        return false;
    };
    if (::fstat(fd, &st) != 0) return fail(std::string("cannot read: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail("is a directory, not a scenario file");
    if (S_ISFIFO(st.st_mode)) return fail("is a FIFO; nicsim reads scenarios from regular files only");
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return fail("is a device; nicsim reads scenarios from regular files only");
    if (!S_ISREG(st.st_mode)) return fail("is not a regular file; nicsim reads scenarios from regular files only");
    const std::string tooLarge = "is larger than " + std::to_string(kMaxInputBytes) +
                                 " bytes (16 MiB), the most a scenario file may have";
    if (static_cast<uint64_t>(st.st_size) > kMaxInputBytes) return fail(tooLarge);
    // The size may change while it is read: read at most one byte past the limit.
    text.clear();
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(std::string("cannot read: ") + std::strerror(errno));
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxInputBytes) return fail(tooLarge);
    }
    ::close(fd);
    return true;
}

bool ReadStandardInput(std::string& text, std::string& error) {
    text.clear();
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) return true;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxInputBytes) {
            error = "standard input holds more than " + std::to_string(kMaxInputBytes) +
                    " bytes (16 MiB), the most a scenario may have";
            return false;
        }
    }
}

std::optional<std::string> ClosestName(std::string_view word, const std::vector<std::string>& candidates) {
    std::optional<std::string> best;
    size_t bestDistance = 0;
    for (const std::string& c : candidates) {
        const size_t d = EditDistance(word, c);
        if (!best || d < bestDistance) {
            best = c;
            bestDistance = d;
        }
    }
    // A typo is a few edits (or only a different case), fewer than the word has letters.
    if (!best || *best == word || bestDistance >= word.size() ||
        bestDistance > std::max<size_t>(1, word.size() / 4))
        return std::nullopt;
    return best;
}

std::string DidYouMean(std::string_view word, const std::vector<std::string>& candidates) {
    const auto c = ClosestName(word, candidates);
    return c ? " (did you mean \"" + *c + "\"?)" : "";
}

}  // namespace nicsim
