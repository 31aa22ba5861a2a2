#include "driver/requests/set.h"

#include "driver/frame/atomic.h"
#include "driver/media/mac_mode.h"

namespace {

constexpr ULONG kAddressLength = 6;

// The receive-mode mask ApplyPacketFilter takes, from an NDIS packet filter: the OR of the
// rows of the bits present. Directed frames need no mode of their own, and the bits 0x0100 to
// 0x0800 and above 0xFFFF map to nothing.
ULONG ReceiveModeMaskFor(ULONG Filter) {
    ULONG mask = 0;
    if (Filter & NDIS_PACKET_TYPE_MULTICAST) mask |= RECEIVE_MODE_MULTICAST;
    if (Filter & NDIS_PACKET_TYPE_ALL_MULTICAST) mask |= RECEIVE_MODE_ALL_MULTICAST;
    if (Filter & NDIS_PACKET_TYPE_BROADCAST) mask |= RECEIVE_MODE_BROADCAST;
    if (Filter & NDIS_PACKET_TYPE_PROMISCUOUS)
        mask |= RECEIVE_MODE_ALL_MULTICAST | RECEIVE_MODE_PROMISCUOUS | RECEIVE_MODE_BROADCAST;
    return mask;
}

// Length exactly 4. The value is stored before it is judged: a later query answers what was
// offered even when it was refused, while the registers keep the earlier receive mode.
NDIS_STATUS SetPacketFilter(AdapterRecord* Adapter, const UCHAR* Buffer, PULONG BytesRead) {
    const ULONG filter = static_cast<ULONG>(Buffer[0]) | static_cast<ULONG>(Buffer[1]) << 8 |
                         static_cast<ULONG>(Buffer[2]) << 16 |
                         static_cast<ULONG>(Buffer[3]) << 24;
    WriteShared(Adapter->PacketFilter, filter);
    if (filter & REFUSED_PACKET_FILTER_BITS) return NDIS_STATUS_NOT_SUPPORTED;
    // Answers success at once; the register write goes out on its own.
    ApplyPacketFilter(Adapter, ReceiveModeMaskFor(filter));
    *BytesRead = sizeof(ULONG);
    return NDIS_STATUS_SUCCESS;
}

// Length a multiple of 6. The list is kept only: the device's multicast hash keeps every
// bucket open as start-up left it, so it already passes every group and the protocol sorts
// them out. A list MulticastList cannot hold is refused whole rather than cut short, so what is
// stored is always a list the protocol really set.
NDIS_STATUS SetMulticastList(AdapterRecord* Adapter, const UCHAR* Buffer, ULONG Length,
                             PULONG BytesRead) {
    const ULONG count = Length / kAddressLength;
    if (count > MAX_MULTICAST) return NDIS_STATUS_MULTICAST_FULL;
    // Row by row: each address is one row of the list (a pointer into the first row may not run
    // on into the next).
    for (ULONG row = 0; row < count; ++row)
        for (ULONG i = 0; i < kAddressLength; ++i)
            Adapter->MulticastList[row][i] = Buffer[row * kAddressLength + i];
    Adapter->MulticastCount = static_cast<USHORT>(count);
    *BytesRead = Length;
    return NDIS_STATUS_SUCCESS;
}

}  // namespace

NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         PULONG BytesRead, PULONG BytesNeeded) {
    auto* adapter = static_cast<AdapterRecord*>(MiniportAdapterContext);
    const auto* buffer = static_cast<const UCHAR*>(InformationBuffer);
    *BytesRead = 0;
    *BytesNeeded = 0;

    switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
        if (InformationBufferLength != sizeof(ULONG)) {
            *BytesNeeded = sizeof(ULONG);
            return NDIS_STATUS_INVALID_LENGTH;
        }
        return SetPacketFilter(adapter, buffer, BytesRead);

    case OID_802_3_MULTICAST_LIST:
        if (InformationBufferLength % kAddressLength != 0) {
            *BytesNeeded = kAddressLength;
            return NDIS_STATUS_INVALID_LENGTH;
        }
        return SetMulticastList(adapter, buffer, InformationBufferLength, BytesRead);

    // Every frame is indicated whole, so any lookahead is already satisfied; and a wake-up
    // request is taken without arming anything, since set-power is never accepted.
    case OID_GEN_CURRENT_LOOKAHEAD:
    case OID_PNP_ENABLE_WAKE_UP:
        *BytesRead = InformationBufferLength;
        return NDIS_STATUS_SUCCESS;

    case OID_PNP_SET_POWER:
    case OID_PNP_ADD_WAKE_UP_PATTERN:
    case OID_PNP_REMOVE_WAKE_UP_PATTERN:
        return NDIS_STATUS_NOT_SUPPORTED;

    default:
        return NDIS_STATUS_INVALID_OID;
    }
}
