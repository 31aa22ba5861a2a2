#include "tools/nicsim/run/names.h"

#include <cstdio>
#include <cstdlib>

namespace nicsim {

std::string StatusName(uint32_t status) {
    switch (status) {
        case 0x00000000: return "NDIS_STATUS_SUCCESS";
        case 0x00000103: return "NDIS_STATUS_PENDING";
        case 0x4001000B: return "NDIS_STATUS_MEDIA_CONNECT";
        case 0x4001000C: return "NDIS_STATUS_MEDIA_DISCONNECT";
        case 0xC0000001: return "NDIS_STATUS_FAILURE";
        case 0xC000009A: return "NDIS_STATUS_RESOURCES";
        case 0xC00000BB: return "NDIS_STATUS_NOT_SUPPORTED";
        case 0xC0010009: return "NDIS_STATUS_MULTICAST_FULL";
        case 0xC0010014: return "NDIS_STATUS_INVALID_LENGTH";
        case 0xC0010017: return "NDIS_STATUS_INVALID_OID";
        case 0xC0010019: return "NDIS_STATUS_UNSUPPORTED_MEDIA";
        default: break;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", status);
    return buf;
}

uint32_t ParseStatus(const std::string& text) {
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

std::vector<uint8_t> FromHex(const std::string& text) {
    std::vector<uint8_t> out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) break;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

}  // namespace nicsim
