// Text that came from the user (a scenario's names and description, a path, an argument) as it
// may go to a terminal. Printed raw, a control character in it moves the cursor, clears the screen
// or retitles the window; printed this way it shows what it is. The JSON outputs need none of it:
// their encoder escapes control characters itself.
#pragma once

#include <memory>
#include <streambuf>
#include <string>
#include <string_view>

namespace nicsim {

// Length of the well-formed UTF-8 sequence at `text[i]` (1 to 4), or 0 when the bytes there are
// not one (overlong forms and surrogates included).
size_t Utf8Length(std::string_view text, size_t i);

// C0 controls (tab and line breaks included), DEL and bytes that are not UTF-8 as \xNN (\x1b,
// \x7f, \xff); the C1 controls, U+0080 to U+009F, as \u0080 to \u009f. Everything else, a
// backslash included, is left as it is.
std::string Printable(std::string_view text);

// The same for a message of several lines that nicsim wrote itself around user text: its line
// breaks stay.
std::string PrintableLines(std::string_view text);

// While it lives, everything written to std::cerr passes through PrintableLines: every error and
// warning nicsim prints there, whichever part of it (or CLI11) wrote it, quotes the user's input
// escaped. Made once, around the whole command, by main.
class PrintableErrors {
public:
    PrintableErrors();
    ~PrintableErrors();
    PrintableErrors(const PrintableErrors&) = delete;
    PrintableErrors& operator=(const PrintableErrors&) = delete;

private:
    class Filter;
    std::unique_ptr<Filter> filter_;
    std::streambuf* original_;
};

}  // namespace nicsim
