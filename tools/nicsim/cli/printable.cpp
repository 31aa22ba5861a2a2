#include "tools/nicsim/cli/printable.h"

#include <cstdio>
#include <iostream>

namespace nicsim {

size_t Utf8Length(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    if (n == 2 && c < 0xC2) return 0;                       // overlong
    if (n == 3 && c == 0xE0 && b(i + 1) < 0xA0) return 0;   // overlong
    if (n == 3 && c == 0xED && b(i + 1) >= 0xA0) return 0;  // surrogate
    if (n == 4 && (c > 0xF4 || (c == 0xF0 && b(i + 1) < 0x90) || (c == 0xF4 && b(i + 1) >= 0x90))) return 0;
    return n;
}

namespace {

std::string Escape(std::string_view text, bool keepLineBreaks) {
    std::string out;
    out.reserve(text.size());
    char hex[8];
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = Utf8Length(text, i);
        if (n == 0 || (n == 1 && (c < 0x20 || c == 0x7F) && !(keepLineBreaks && c == '\n'))) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
            ++i;
            continue;
        }
        // U+0080..U+009F are C2 80..C2 9F in UTF-8.
        if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
            out += hex;
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

}  // namespace

std::string Printable(std::string_view text) { return Escape(text, false); }

std::string PrintableLines(std::string_view text) { return Escape(text, true); }

// std::cerr is unbuffered: each insertion (a whole string, so a whole UTF-8 sequence) arrives as
// one call here and is escaped as a piece.
class PrintableErrors::Filter : public std::streambuf {
public:
    explicit Filter(std::streambuf* to) : to_(to) {}

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const std::string text = PrintableLines(std::string_view(s, static_cast<size_t>(n)));
        return to_->sputn(text.data(), static_cast<std::streamsize>(text.size())) ==
                       static_cast<std::streamsize>(text.size())
                   ? n
                   : 0;
    }
    int overflow(int c) override {
        if (c == traits_type::eof()) return 0;
        const char ch = static_cast<char>(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
    int sync() override { return to_->pubsync(); }

private:
    std::streambuf* to_;
};

PrintableErrors::PrintableErrors()
    : filter_(std::make_unique<Filter>(std::cerr.rdbuf())), original_(std::cerr.rdbuf(filter_.get())) {}

PrintableErrors::~PrintableErrors() { std::cerr.rdbuf(original_); }

}  // namespace nicsim
