// Query and set requests with fuzzed OIDs, buffer lengths and contents, made the way NDIS makes
// them (at DISPATCH_LEVEL, for the adapter) into information buffers of exactly the length
// given, so any access past one is AddressSanitizer's to catch. Beside the verifier's checks
// the answers are held to the request contract: only the documented statuses, never more bytes
// written or read than the buffer holds, a shortfall that is exactly enough, and sets that the
// following queries reflect.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/frame/adapter_record.h"
#include "fuzz/fuzz_checks.h"

namespace {

// Every OID the handlers know, the refused ones, and neighbours of them.
constexpr NDIS_OID kOids[] = {
    OID_GEN_SUPPORTED_LIST, OID_GEN_HARDWARE_STATUS, OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE, OID_GEN_MAXIMUM_LOOKAHEAD, OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_LINK_SPEED, OID_GEN_TRANSMIT_BUFFER_SPACE, OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE, OID_GEN_RECEIVE_BLOCK_SIZE, OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION, OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_DRIVER_VERSION, OID_GEN_MAXIMUM_TOTAL_SIZE, OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_MAC_OPTIONS, OID_GEN_MEDIA_CONNECT_STATUS, OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_VENDOR_DRIVER_VERSION, OID_GEN_SUPPORTED_GUIDS, OID_GEN_XMIT_OK, OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR, OID_GEN_RCV_ERROR, OID_GEN_RCV_NO_BUFFER, OID_GEN_RCV_CRC_ERROR,
    OID_802_3_PERMANENT_ADDRESS, OID_802_3_CURRENT_ADDRESS, OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE, OID_802_3_RCV_ERROR_ALIGNMENT, OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS, OID_802_3_XMIT_DEFERRED, OID_802_3_XMIT_MAX_COLLISIONS,
    OID_802_3_RCV_OVERRUN, OID_802_3_XMIT_UNDERRUN, OID_TCP_TASK_OFFLOAD,
    OID_TCP_TASK_IPSEC_ADD_SA, OID_TCP_TASK_IPSEC_DELETE_SA, OID_PNP_CAPABILITIES,
    OID_PNP_SET_POWER, OID_PNP_QUERY_POWER, OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_REMOVE_WAKE_UP_PATTERN, OID_PNP_ENABLE_WAKE_UP, 0x00010100, 0x00010118,
    0x00020100, 0x0002020E, 0x01010105, 0x01020205, 0xFD010105, 0x00000000, 0xFFFFFFFF,
};

bool OneOf(NDIS_STATUS s, std::initializer_list<NDIS_STATUS> allowed) {
    for (NDIS_STATUS a : allowed)
        if (s == a) return true;
    return false;
}

struct Call {
    NDIS_STATUS status;
    ULONG done;    // bytes written or read
    ULONG needed;
    std::vector<uint8_t> buffer;
};

constexpr ULONG kUnset = 0xDEADBEEF;

Call Query(fuzz::OneAdapter& f, NDIS_OID oid, ULONG length) {
    Call c{NDIS_STATUS_FAILURE, kUnset, kUnset, {}};
    // Exactly `length` bytes: the handler may touch nothing beyond them.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length ? length : 1]);
    std::memset(buffer.get(), 0xEE, length);
    const auto handler = f.world.Ndis().Characteristics().Ndis40Chars.Ndis30Chars.QueryInformationHandler;
    f.world.Kernel().RunInContext("MiniportQueryInformation", DISPATCH_LEVEL, f.adapter->id, [&] {
        c.status = handler(f.adapter->context, oid, length ? buffer.get() : nullptr, length,
                           &c.done, &c.needed);
    });
    c.buffer.assign(buffer.get(), buffer.get() + length);
    return c;
}

Call Set(fuzz::OneAdapter& f, NDIS_OID oid, const std::vector<uint8_t>& data) {
    Call c{NDIS_STATUS_FAILURE, kUnset, kUnset, {}};
    const ULONG length = static_cast<ULONG>(data.size());
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length ? length : 1]);
    if (length) std::memcpy(buffer.get(), data.data(), length);
    const auto handler = f.world.Ndis().Characteristics().Ndis40Chars.Ndis30Chars.SetInformationHandler;
    f.world.Kernel().RunInContext("MiniportSetInformation", DISPATCH_LEVEL, f.adapter->id, [&] {
        c.status = handler(f.adapter->context, oid, length ? buffer.get() : nullptr, length,
                           &c.done, &c.needed);
    });
    return c;
}

uint32_t Le32(const std::vector<uint8_t>& b) {
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void CheckQuery(fuzz::OneAdapter& f, NDIS_OID oid, ULONG length) {
    const Call c = Query(f, oid, length);
    fuzz::Require(OneOf(c.status, {NDIS_STATUS_SUCCESS, NDIS_STATUS_INVALID_LENGTH,
                                   NDIS_STATUS_NOT_SUPPORTED, NDIS_STATUS_INVALID_OID}),
                  "a query answered an undocumented status");
    if (c.status == NDIS_STATUS_SUCCESS) {
        fuzz::Require(c.done <= length, "a query wrote more than its buffer holds");
        for (ULONG i = c.done; i < length; ++i)
            fuzz::Require(c.buffer[i] == 0xEE, "a query touched its buffer beyond its answer");
    } else if (c.status == NDIS_STATUS_INVALID_LENGTH) {
        fuzz::Require(c.needed != kUnset && c.needed > 0, "a short buffer got no shortfall");
        // The shortfall is exactly what was missing: a buffer that much longer is answered.
        const Call again = Query(f, oid, length + c.needed);
        fuzz::Require(again.status == NDIS_STATUS_SUCCESS && again.done == length + c.needed,
                      "a buffer of the size asked for was not answered in full");
    }
}

void CheckSet(fuzz::OneAdapter& f, NDIS_OID oid, const std::vector<uint8_t>& data) {
    const auto& record = *static_cast<const AdapterRecord*>(f.adapter->context);
    const USHORT countBefore = record.MulticastCount;
    const Call c = Set(f, oid, data);
    fuzz::Require(OneOf(c.status, {NDIS_STATUS_SUCCESS, NDIS_STATUS_INVALID_LENGTH,
                                   NDIS_STATUS_NOT_SUPPORTED, NDIS_STATUS_INVALID_OID,
                                   NDIS_STATUS_MULTICAST_FULL}),
                  "a set answered an undocumented status");
    fuzz::Require(c.done != kUnset && c.needed != kUnset, "a set left bytes read or needed unset");
    fuzz::Require(c.done <= data.size(), "a set read more than its buffer holds");
    if (oid == OID_GEN_CURRENT_PACKET_FILTER && data.size() == 4) {
        // Stored before it is judged: a query answers what was offered, refused or not.
        const Call q = Query(f, OID_GEN_CURRENT_PACKET_FILTER, 4);
        fuzz::Require(q.status == NDIS_STATUS_SUCCESS && Le32(q.buffer) == Le32(data),
                      "the packet filter query does not answer the value last set");
    }
    if (oid == OID_802_3_MULTICAST_LIST) {
        if (c.status == NDIS_STATUS_SUCCESS)
            fuzz::Require(record.MulticastCount == data.size() / 6 &&
                              (data.empty() ||
                               std::memcmp(record.MulticastList, data.data(), data.size()) == 0),
                          "an accepted multicast list was not stored as given");
        else
            fuzz::Require(record.MulticastCount == countBefore,
                          "a refused multicast list changed the stored one");
        fuzz::Require(record.MulticastCount <= MAX_MULTICAST, "more multicast addresses than room");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::OneAdapter f;
    f.Start();
    for (int step = 0; step < 48 && in.remaining_bytes() > 0; ++step) {
        const bool set = in.ConsumeBool();
        const NDIS_OID oid = in.ConsumeBool() ? in.PickValueInArray(kOids) : in.ConsumeIntegral<uint32_t>();
        const ULONG length = in.ConsumeIntegralInRange<ULONG>(0, 520);
        if (set) CheckSet(f, oid, in.ConsumeBytes<uint8_t>(length));
        else CheckQuery(f, oid, length);
        // The packet-filter write goes out on its own; let the bus answer it now and then.
        if (in.ConsumeBool()) f.world.RunFor(in.ConsumeIntegralInRange<uint32_t>(0, 5'000));
        fuzz::RequireNoViolation(f.world);
    }
    f.world.RunFor(10'000);
    f.HaltAndCheck();
    return 0;
}
