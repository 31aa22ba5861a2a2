#include "tools/nicsim/scenario/oids.h"

#include <cstdio>

#include "driver/platform/ndis.h"

namespace nicsim {

namespace {
struct Named {
    const char* name;
    uint32_t oid;
};
#define OID(x) {#x, x}
const Named kOids[] = {
    OID(OID_GEN_SUPPORTED_LIST), OID(OID_GEN_HARDWARE_STATUS), OID(OID_GEN_MEDIA_SUPPORTED),
    OID(OID_GEN_MEDIA_IN_USE), OID(OID_GEN_MAXIMUM_LOOKAHEAD), OID(OID_GEN_MAXIMUM_FRAME_SIZE),
    OID(OID_GEN_LINK_SPEED), OID(OID_GEN_TRANSMIT_BUFFER_SPACE), OID(OID_GEN_RECEIVE_BUFFER_SPACE),
    OID(OID_GEN_TRANSMIT_BLOCK_SIZE), OID(OID_GEN_RECEIVE_BLOCK_SIZE), OID(OID_GEN_VENDOR_ID),
    OID(OID_GEN_VENDOR_DESCRIPTION), OID(OID_GEN_CURRENT_PACKET_FILTER),
    OID(OID_GEN_CURRENT_LOOKAHEAD), OID(OID_GEN_DRIVER_VERSION), OID(OID_GEN_MAXIMUM_TOTAL_SIZE),
    OID(OID_GEN_PROTOCOL_OPTIONS), OID(OID_GEN_MAC_OPTIONS), OID(OID_GEN_MEDIA_CONNECT_STATUS),
    OID(OID_GEN_MAXIMUM_SEND_PACKETS), OID(OID_GEN_VENDOR_DRIVER_VERSION),
    OID(OID_GEN_SUPPORTED_GUIDS), OID(OID_GEN_XMIT_OK), OID(OID_GEN_RCV_OK),
    OID(OID_GEN_XMIT_ERROR), OID(OID_GEN_RCV_ERROR), OID(OID_GEN_RCV_NO_BUFFER),
    OID(OID_GEN_RCV_CRC_ERROR), OID(OID_802_3_PERMANENT_ADDRESS), OID(OID_802_3_CURRENT_ADDRESS),
    OID(OID_802_3_MULTICAST_LIST), OID(OID_802_3_MAXIMUM_LIST_SIZE),
    OID(OID_802_3_RCV_ERROR_ALIGNMENT), OID(OID_802_3_XMIT_ONE_COLLISION),
    OID(OID_802_3_XMIT_MORE_COLLISIONS), OID(OID_802_3_XMIT_DEFERRED),
    OID(OID_802_3_XMIT_MAX_COLLISIONS), OID(OID_802_3_RCV_OVERRUN), OID(OID_802_3_XMIT_UNDERRUN),
    OID(OID_TCP_TASK_OFFLOAD), OID(OID_TCP_TASK_IPSEC_ADD_SA), OID(OID_TCP_TASK_IPSEC_DELETE_SA),
    OID(OID_PNP_CAPABILITIES), OID(OID_PNP_SET_POWER), OID(OID_PNP_QUERY_POWER),
    OID(OID_PNP_ADD_WAKE_UP_PATTERN), OID(OID_PNP_REMOVE_WAKE_UP_PATTERN),
    OID(OID_PNP_ENABLE_WAKE_UP),
};
#undef OID
}  // namespace

std::optional<uint32_t> OidByName(const std::string& name) {
    for (const Named& n : kOids)
        if (name == n.name) return n.oid;
    return std::nullopt;
}

std::vector<std::string> OidNames() {
    std::vector<std::string> names;
    for (const Named& n : kOids) names.emplace_back(n.name);
    return names;
}

std::string OidName(uint32_t oid) {
    for (const Named& n : kOids)
        if (n.oid == oid) return n.name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", oid);
    return buf;
}

std::optional<uint32_t> AnswerSize(uint32_t oid) {
    switch (oid) {
        case OID_GEN_SUPPORTED_LIST: return 180;  // 45 OIDs
        case OID_GEN_VENDOR_DESCRIPTION: return 19;  // "Brellwick NDIS 5.0" and its zero byte
        case OID_GEN_DRIVER_VERSION:
        case OID_GEN_VENDOR_DRIVER_VERSION: return 2;
        case OID_802_3_PERMANENT_ADDRESS:
        case OID_802_3_CURRENT_ADDRESS: return 6;
        case OID_GEN_HARDWARE_STATUS: case OID_GEN_MEDIA_SUPPORTED: case OID_GEN_MEDIA_IN_USE:
        case OID_GEN_MAXIMUM_LOOKAHEAD: case OID_GEN_MAXIMUM_FRAME_SIZE: case OID_GEN_LINK_SPEED:
        case OID_GEN_TRANSMIT_BUFFER_SPACE: case OID_GEN_RECEIVE_BUFFER_SPACE:
        case OID_GEN_TRANSMIT_BLOCK_SIZE: case OID_GEN_RECEIVE_BLOCK_SIZE: case OID_GEN_VENDOR_ID:
        case OID_GEN_CURRENT_PACKET_FILTER: case OID_GEN_CURRENT_LOOKAHEAD:
        case OID_GEN_MAXIMUM_TOTAL_SIZE: case OID_GEN_PROTOCOL_OPTIONS: case OID_GEN_MAC_OPTIONS:
        case OID_GEN_MEDIA_CONNECT_STATUS: case OID_GEN_MAXIMUM_SEND_PACKETS: case OID_GEN_XMIT_OK:
        case OID_GEN_RCV_OK: case OID_GEN_XMIT_ERROR: case OID_GEN_RCV_ERROR:
        case OID_GEN_RCV_NO_BUFFER: case OID_GEN_RCV_CRC_ERROR: case OID_802_3_MAXIMUM_LIST_SIZE:
        case OID_802_3_RCV_ERROR_ALIGNMENT: case OID_802_3_XMIT_ONE_COLLISION:
        case OID_802_3_XMIT_MORE_COLLISIONS: case OID_802_3_XMIT_DEFERRED:
        case OID_802_3_XMIT_MAX_COLLISIONS: case OID_802_3_RCV_OVERRUN: case OID_802_3_XMIT_UNDERRUN:
            return 4;
        default:
            return std::nullopt;
    }
}

namespace {

uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
    return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
}

std::string Macs(const std::vector<uint8_t>& d) {
    std::string out;
    for (size_t at = 0; at + 6 <= d.size(); at += 6) {
        char mac[24];
        std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", d[at], d[at + 1], d[at + 2],
                      d[at + 3], d[at + 4], d[at + 5]);
        out += (out.empty() ? "" : ", ") + std::string(mac);
    }
    return out.empty() ? "none" : out;
}

std::string Hex(const std::vector<uint8_t>& d) {
    std::string out;
    char b[4];
    for (uint8_t x : d) {
        std::snprintf(b, sizeof b, "%02x", x);
        out += b;
    }
    return out;
}

}  // namespace

std::string DecodeAnswer(uint32_t oid, const std::vector<uint8_t>& d) {
    char text[64];
    switch (oid) {
        case OID_GEN_SUPPORTED_LIST: {
            if (d.size() % 4 != 0) break;
            std::string out = std::to_string(d.size() / 4) + " OIDs:";
            for (size_t at = 0; at < d.size(); at += 4) out += " " + OidName(Le32(d, at));
            return out;
        }
        case OID_GEN_VENDOR_DESCRIPTION: {
            std::string out;
            for (uint8_t c : d) {
                if (c == 0) break;
                out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
            }
            return "\"" + out + "\"";
        }
        case OID_GEN_DRIVER_VERSION:
            if (d.size() != 2) break;
            std::snprintf(text, sizeof text, "NDIS %u.%u", d[1], d[0]);
            return text;
        case OID_802_3_PERMANENT_ADDRESS:
        case OID_802_3_CURRENT_ADDRESS:
        case OID_802_3_MULTICAST_LIST:
            if (d.size() % 6 != 0) break;
            return Macs(d);
        default:
            break;
    }
    if (d.size() != 4 || !AnswerSize(oid)) return Hex(d);
    const uint32_t v = Le32(d, 0);
    switch (oid) {
        case OID_GEN_LINK_SPEED:  // in units of 100 b/s
            if (v % 10000 == 0) std::snprintf(text, sizeof text, "%u Mb/s", v / 10000);
            else std::snprintf(text, sizeof text, "%.4f Mb/s", v / 10000.0);
            return text;
        case OID_GEN_MEDIA_CONNECT_STATUS:
            return v == 0 ? "connected" : v == 1 ? "disconnected" : std::to_string(v);
        case OID_GEN_MEDIA_SUPPORTED:
        case OID_GEN_MEDIA_IN_USE:
            return v == 0 ? "802.3" : std::to_string(v);
        case OID_GEN_HARDWARE_STATUS:
            return v == 0 ? "ready" : std::to_string(v);
        case OID_GEN_VENDOR_ID:
        case OID_GEN_CURRENT_PACKET_FILTER:
        case OID_GEN_MAC_OPTIONS:
        case OID_GEN_PROTOCOL_OPTIONS:
            std::snprintf(text, sizeof text, "0x%08X", v);
            return text;
        default:
            return std::to_string(v);
    }
}

}  // namespace nicsim
