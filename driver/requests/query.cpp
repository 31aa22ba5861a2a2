#include "driver/requests/query.h"

#include "driver/frame/atomic.h"

namespace {

// What OID_GEN_SUPPORTED_LIST answers. It also names objects only the set handler takes (the
// multicast list, set-power, the wake-up objects) and objects both handlers refuse
// (OID_PNP_CAPABILITIES): protocols go by the answers, not by this list.
constexpr NDIS_OID SupportedOidList[45] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_GEN_RCV_CRC_ERROR,
    OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
    OID_802_3_XMIT_DEFERRED,
    OID_802_3_XMIT_MAX_COLLISIONS,
    OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,
    OID_PNP_CAPABILITIES,
    OID_PNP_SET_POWER,
    OID_PNP_QUERY_POWER,
    OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_REMOVE_WAKE_UP_PATTERN,
    OID_PNP_ENABLE_WAKE_UP,
};

// Answered with its terminating zero.
constexpr char VendorDescription[] = "Brellwick NDIS 5.0";

constexpr ULONG kMaximumLookahead = 1500;
constexpr ULONG kMaximumFrameSize = 1500;
constexpr ULONG kMaximumTotalSize = 1514;
constexpr ULONG kBlockSize = 1514;
constexpr ULONG kMaximumListSize = 32;
constexpr USHORT kNdisVersion = 0x0500;  // NDIS 5.0, major version in the high byte
constexpr ULONG kMacOptions = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA |
                              NDIS_MAC_OPTION_RECEIVE_SERIALIZED |
                              NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK |
                              NDIS_MAC_OPTION_FULL_DUPLEX;

// Link speed in units of 100 bit/s.
constexpr ULONG kSpeed1Mbps = 10000;
constexpr ULONG kSpeed10Mbps = 100000;
constexpr ULONG kSpeed100Mbps = 1000000;

// An answer being formed: where its bytes are and how many. Single numbers are built
// little-endian in `scratch`, whatever the alignment of the caller's buffer.
struct Answer {
    const UCHAR* source;
    ULONG size;
    UCHAR scratch[4];
};

void AnswerBytes(Answer* answer, const void* source, ULONG size) {
    answer->source = static_cast<const UCHAR*>(source);
    answer->size = size;
}

void AnswerUlong(Answer* answer, ULONG value) {
    for (ULONG i = 0; i < 4; ++i) answer->scratch[i] = static_cast<UCHAR>(value >> (8 * i));
    AnswerBytes(answer, answer->scratch, 4);
}

void AnswerUshort(Answer* answer, USHORT value) {
    answer->scratch[0] = static_cast<UCHAR>(value);
    answer->scratch[1] = static_cast<UCHAR>(value >> 8);
    AnswerBytes(answer, answer->scratch, 2);
}

ULONG LinkSpeed(AdapterRecord* Adapter) {
    switch (ReadShared(Adapter->SpeedCode)) {
    case SPEED_100: return kSpeed100Mbps;
    case SPEED_PHONE_LINE: return kSpeed1Mbps;
    default: return kSpeed10Mbps;  // 10 Mb/s, and also before media programming settled one
    }
}

// Forms the answer for Oid. NDIS_STATUS_SUCCESS means `answer` holds it; anything else is the
// request's final status.
NDIS_STATUS FormAnswer(AdapterRecord* Adapter, NDIS_OID Oid, Answer* answer) {
    switch (Oid) {
    case OID_GEN_SUPPORTED_LIST:
        AnswerBytes(answer, SupportedOidList, sizeof(SupportedOidList));
        break;
    case OID_GEN_HARDWARE_STATUS: AnswerUlong(answer, NdisHardwareStatusReady); break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE: AnswerUlong(answer, NdisMedium802_3); break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_CURRENT_LOOKAHEAD: AnswerUlong(answer, kMaximumLookahead); break;
    case OID_GEN_MAXIMUM_FRAME_SIZE: AnswerUlong(answer, kMaximumFrameSize); break;
    case OID_GEN_LINK_SPEED: AnswerUlong(answer, LinkSpeed(Adapter)); break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
        AnswerUlong(answer, Adapter->TxDescriptorCount * kBlockSize);
        break;
    case OID_GEN_RECEIVE_BUFFER_SPACE:
        AnswerUlong(answer, Adapter->RxDescriptorCount * kBlockSize);
        break;
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE: AnswerUlong(answer, kBlockSize); break;
    case OID_GEN_VENDOR_ID:
        // The address's first four bytes as they stand: the vendor's prefix, in wire order.
        AnswerBytes(answer, Adapter->PermanentAddress, 4);
        break;
    case OID_GEN_VENDOR_DESCRIPTION:
        AnswerBytes(answer, VendorDescription, sizeof(VendorDescription));
        break;
    case OID_GEN_CURRENT_PACKET_FILTER:
        AnswerUlong(answer, ReadShared(Adapter->PacketFilter));
        break;
    case OID_GEN_DRIVER_VERSION:
    case OID_GEN_VENDOR_DRIVER_VERSION: AnswerUshort(answer, kNdisVersion); break;
    case OID_GEN_MAXIMUM_TOTAL_SIZE: AnswerUlong(answer, kMaximumTotalSize); break;
    case OID_GEN_MAC_OPTIONS: AnswerUlong(answer, kMacOptions); break;
    case OID_GEN_MEDIA_CONNECT_STATUS:
        // Anything but a link known to be down counts as connected.
        AnswerUlong(answer, ReadShared(Adapter->LinkState) == LINK_DISCONNECTED
                                ? NdisMediaStateDisconnected
                                : NdisMediaStateConnected);
        break;
    case OID_GEN_MAXIMUM_SEND_PACKETS: AnswerUlong(answer, Adapter->TxDescriptorCount); break;
    // Counters may be moving on another processor; each is read once, as it stands.
    case OID_GEN_XMIT_OK: AnswerUlong(answer, ReadShared(Adapter->XmitOk)); break;
    case OID_GEN_RCV_OK: AnswerUlong(answer, ReadShared(Adapter->RcvOk)); break;
    case OID_GEN_XMIT_ERROR: AnswerUlong(answer, ReadShared(Adapter->XmitError)); break;
    // Every frame received and not indicated for an error: those the device flagged with a bad
    // check sequence, and those too short to hold an Ethernet header.
    case OID_GEN_RCV_ERROR:
        AnswerUlong(answer, ReadShared(Adapter->RcvError) + ReadShared(Adapter->RcvRunt));
        break;
    case OID_GEN_RCV_CRC_ERROR: AnswerUlong(answer, ReadShared(Adapter->RcvError)); break;
    case OID_802_3_PERMANENT_ADDRESS: AnswerBytes(answer, Adapter->PermanentAddress, 6); break;
    case OID_802_3_CURRENT_ADDRESS: AnswerBytes(answer, Adapter->CurrentAddress, 6); break;
    case OID_802_3_MAXIMUM_LIST_SIZE: AnswerUlong(answer, kMaximumListSize); break;
    case OID_802_3_RCV_ERROR_ALIGNMENT:
        AnswerUlong(answer, ReadShared(Adapter->RcvAlignError));
        break;
    case OID_802_3_XMIT_ONE_COLLISION:
        AnswerUlong(answer, ReadShared(Adapter->XmitOneCollision));
        break;
    case OID_802_3_XMIT_DEFERRED: AnswerUlong(answer, ReadShared(Adapter->XmitDeferred)); break;
    case OID_802_3_XMIT_UNDERRUN: AnswerUlong(answer, ReadShared(Adapter->XmitUnderrun)); break;
    // Nothing the device reports feeds these.
    case OID_GEN_PROTOCOL_OPTIONS:
    case OID_GEN_RCV_NO_BUFFER:
    case OID_802_3_XMIT_MORE_COLLISIONS:
    case OID_802_3_XMIT_MAX_COLLISIONS:
    case OID_802_3_RCV_OVERRUN: AnswerUlong(answer, 0); break;
    // No GUIDs, no task offload, no power management.
    case OID_GEN_SUPPORTED_GUIDS:
    case OID_TCP_TASK_OFFLOAD:
    case OID_TCP_TASK_IPSEC_ADD_SA:
    case OID_TCP_TASK_IPSEC_DELETE_SA:
    case OID_PNP_CAPABILITIES:
    case OID_PNP_QUERY_POWER: return NDIS_STATUS_NOT_SUPPORTED;
    default: return NDIS_STATUS_INVALID_OID;
    }
    return NDIS_STATUS_SUCCESS;
}

}  // namespace

NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                           PVOID InformationBuffer, ULONG InformationBufferLength,
                                           PULONG BytesWritten, PULONG BytesNeeded) {
    auto* adapter = static_cast<AdapterRecord*>(MiniportAdapterContext);
    Answer answer;
    const NDIS_STATUS status = FormAnswer(adapter, Oid, &answer);
    if (status != NDIS_STATUS_SUCCESS) return status;

    if (answer.size > InformationBufferLength) {
        *BytesNeeded = answer.size - InformationBufferLength;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    // The caller's buffer beyond the answer is not ours to touch.
    NdisMoveMemory(InformationBuffer, const_cast<UCHAR*>(answer.source), answer.size);
    *BytesWritten = answer.size;
    return NDIS_STATUS_SUCCESS;
}
