#include "tools/nicsim/oids.h"

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

}  // namespace nicsim
