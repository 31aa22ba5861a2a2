// The link map GNU ld writes beside a PE image (-Map=, as the Windows build of the driver does):
// where each output section, each input section and each global symbol landed. It turns an RVA
// into "MiniportSend+0x56", so a fault inside a loaded image can be reported by the routine it hit.
// Routines without a global symbol (static ones) are named by their object file's input section,
// "eeprom.cpp.obj(.text)+0x40".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/loader/pe_headers.h"

namespace host::loader {

class LinkMap {
public:
    // Parses the text of a map. Throws LoadError when it is not a GNU ld link map of a PE image
    // (no memory map part, no __image_base__).
    static LinkMap Parse(std::string_view text);

    // Throws LoadError naming the disagreement unless the map is of the image whose headers are
    // given: the same ImageBase, each section at the same RVA, a symbol at the entry point.
    void CheckDescribes(const Headers& headers) const;

    // The symbol, or else the input section, at or nearest below `rva` within the output section
    // holding it: "MiniportSend+0x56", "DriverEntry", "eeprom.cpp.obj(.text)+0x40"; empty when the
    // map places nothing there. Symbols are named without their parameter list or stdcall
    // decoration ("MiniportSend(void*, _NDIS_PACKET*, unsigned int)@12" is "MiniportSend").
    std::string Nearest(uint32_t rva) const;

    // The RVA of the first symbol called `name` (named as Nearest names them).
    std::optional<uint32_t> RvaOf(std::string_view name) const;

    uint64_t ImageBase() const { return imageBase_; }

private:
    struct Place {
        uint64_t address = 0;
        uint64_t size = 0;  // 0 for a symbol
        std::string name;   // symbol, "object(section)" or output section name
    };
    const Place* OutputAt(uint64_t address) const;

    uint64_t imageBase_ = 0;
    std::vector<Place> outputs_;  // in map order
    std::vector<Place> inputs_;   // by address, non-empty ones only
    std::vector<Place> symbols_;  // by address
};

}  // namespace host::loader
