#include "host/loader/link_map.h"

#include <algorithm>
#include <cctype>

#include "host/loader/load_error.h"

namespace host::loader {

namespace {

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) tokens.push_back(line.substr(start, i - start));
    }
    return tokens;
}

std::optional<uint64_t> HexToken(std::string_view token) {
    if (token.size() < 3 || token.size() > 18 || token.substr(0, 2) != "0x") return std::nullopt;
    uint64_t value = 0;
    for (char c : token.substr(2)) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return std::nullopt;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    return value;
}

// The text after the first `count` tokens of `line`.
std::string_view After(std::string_view line, size_t count) {
    size_t i = 0;
    for (size_t t = 0; t < count; ++t) {
        while (i < line.size() && line[i] == ' ') ++i;
        while (i < line.size() && line[i] != ' ') ++i;
    }
    while (i < line.size() && line[i] == ' ') ++i;
    std::string_view rest = line.substr(i);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\r')) rest.remove_suffix(1);
    return rest;
}

// "MiniportSend(void*, _NDIS_PACKET*, unsigned int)@12" -> "MiniportSend",
// "(anonymous namespace)::Step(int)" -> "(anonymous namespace)::Step", "DriverEntry@8" ->
// "DriverEntry".
std::string ShortName(std::string_view name) {
    if (const size_t at = name.rfind('@'); at != std::string_view::npos && at + 1 < name.size() &&
        std::all_of(name.begin() + static_cast<ptrdiff_t>(at) + 1, name.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        name = name.substr(0, at);
    if (name.size() > 6 && name.substr(name.size() - 6) == " const") name.remove_suffix(6);
    if (!name.empty() && name.back() == ')') {
        int depth = 0;
        for (size_t i = name.size(); i-- > 0;) {
            if (name[i] == ')') ++depth;
            if (name[i] == '(' && --depth == 0) {
                if (i > 0) name = name.substr(0, i);
                break;
            }
        }
    }
    return std::string(name);
}

std::string BaseName(std::string_view path) {
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

LinkMap LinkMap::Parse(std::string_view text) {
    LinkMap map;
    bool started = false;
    bool haveBase = false;
    std::string pendingOutput;  // an output section whose address is on the next line
    std::string pendingInput;   // likewise for an input section
    bool inOutput = false;      // symbols seen now belong to outputs_.back()

    auto addInput = [&](std::string_view section, uint64_t address, uint64_t size,
                        std::string_view file) {
        if (inOutput && size != 0)
            map.inputs_.push_back({address, size, BaseName(file) + "(" + std::string(section) + ")"});
    };

    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!started) {
            started = line == "Linker script and memory map";
            continue;
        }
        const auto tokens = Tokens(line);
        if (tokens.empty()) continue;
        const std::string input = std::move(pendingInput);
        const std::string output = std::move(pendingOutput);
        pendingInput.clear();
        pendingOutput.clear();

        if (line[0] != ' ') {
            // An output section ("name 0xaddress 0xsize", or its name alone when the numbers
            // follow on the next line), or a directive such as LOAD or OUTPUT.
            inOutput = false;
            if (tokens.size() == 3 && HexToken(tokens[1]) && HexToken(tokens[2])) {
                map.outputs_.push_back({*HexToken(tokens[1]), *HexToken(tokens[2]),
                                        std::string(tokens[0])});
                inOutput = true;
            } else if (tokens.size() == 1) {
                pendingOutput = tokens[0];
            }
            continue;
        }
        if (line.size() > 1 && line[1] != ' ') {
            // An input section (" .text 0xaddress 0xsize file", or its name alone), a fill, or a
            // pattern of the linker script (" *(.text)").
            if (line[1] == '*') continue;
            if (tokens.size() >= 4 && HexToken(tokens[1]) && HexToken(tokens[2]))
                addInput(tokens[0], *HexToken(tokens[1]), *HexToken(tokens[2]), After(line, 3));
            else if (tokens.size() == 1)
                pendingInput = tokens[0];
            continue;
        }
        const auto address = HexToken(tokens[0]);
        if (!address) continue;  // "[!provide] PROVIDE (...)"
        if (tokens.size() >= 2 && HexToken(tokens[1])) {
            // The numbers of a wrapped output or input section, or a data statement
            // ("0xaddress 0x4 LONG 0x0").
            if (!output.empty() && tokens.size() == 2) {
                map.outputs_.push_back({*address, *HexToken(tokens[1]), output});
                inOutput = true;
            } else if (!input.empty() && tokens.size() >= 3) {
                addInput(input, *address, *HexToken(tokens[1]), After(line, 2));
            }
            continue;
        }
        const std::string_view rest = After(line, 1);
        if (rest.find(" = ") != std::string_view::npos) {
            // An assignment of the script: only the image base matters.
            if (rest.substr(0, 16) == "__image_base__ =") {
                map.imageBase_ = *address;
                haveBase = true;
            }
            continue;
        }
        if (inOutput) map.symbols_.push_back({*address, 0, ShortName(rest)});
    }
    if (!started)
        throw LoadError("not a GNU ld link map: no \"Linker script and memory map\" line");
    if (!haveBase) throw LoadError("the link map has no __image_base__: it is not of a PE image");
    const auto byAddress = [](const Place& a, const Place& b) { return a.address < b.address; };
    std::stable_sort(map.inputs_.begin(), map.inputs_.end(), byAddress);
    std::stable_sort(map.symbols_.begin(), map.symbols_.end(), byAddress);
    return map;
}

void LinkMap::CheckDescribes(const Headers& headers) const {
    if (imageBase_ != headers.imageBase)
        throw LoadError("the link map is of an image based at " + Hex(imageBase_) +
                        ", this image's ImageBase is " + Hex(headers.imageBase));
    for (const Place& out : outputs_) {
        if (out.size == 0) continue;
        for (const Section& s : headers.sections)
            if (s.name == out.name && out.address - imageBase_ != s.rva)
                throw LoadError("the link map places section " + s.name + " at RVA " +
                                Hex(out.address - imageBase_) + ", the image at " + Hex(s.rva));
    }
    const uint64_t entry = imageBase_ + headers.entryRva;
    if (!std::any_of(symbols_.begin(), symbols_.end(),
                     [&](const Place& p) { return p.address == entry; }))
        throw LoadError("the link map has no symbol at the image's entry point (RVA " +
                        Hex(headers.entryRva) + "): it is of another link");
}

const LinkMap::Place* LinkMap::OutputAt(uint64_t address) const {
    for (const Place& out : outputs_)
        if (address >= out.address && address - out.address < out.size) return &out;
    return nullptr;
}

std::string LinkMap::Nearest(uint32_t rva) const {
    const uint64_t address = imageBase_ + rva;
    const Place* out = OutputAt(address);
    if (out == nullptr) return {};
    const auto after = [](uint64_t a, const Place& p) { return a < p.address; };

    const Place* symbol = nullptr;
    auto s = std::upper_bound(symbols_.begin(), symbols_.end(), address, after);
    if (s != symbols_.begin() && std::prev(s)->address >= out->address) symbol = &*std::prev(s);

    const Place* input = nullptr;
    auto i = std::upper_bound(inputs_.begin(), inputs_.end(), address, after);
    if (i != inputs_.begin() && address - std::prev(i)->address < std::prev(i)->size)
        input = &*std::prev(i);

    const Place* best = symbol;
    if (input != nullptr && (symbol == nullptr || symbol->address < input->address)) best = input;
    if (best == nullptr) return {};
    const uint64_t offset = address - best->address;
    return offset == 0 ? best->name : best->name + "+" + Hex(offset);
}

std::optional<uint32_t> LinkMap::RvaOf(std::string_view name) const {
    for (const Place& s : symbols_)
        if (s.name == name && s.address >= imageBase_)
            return static_cast<uint32_t>(s.address - imageBase_);
    return std::nullopt;
}

}  // namespace host::loader
