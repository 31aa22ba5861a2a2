// Test support for the set-information tests: a modelled adapter fresh from initialise, the set
// request as NDIS makes it, and what reached the MAC registers since the last look.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/trace_queries.h"
#include "tests/support/world_fixture.h"

namespace set_support {

using Bytes = std::vector<uint8_t>;
using testing_support::RegisterWrites;

constexpr uint32_t kPacketFilter = 0x0001010E;
constexpr uint32_t kLookahead = 0x0001010F;
constexpr uint32_t kMulticastList = 0x01010103;
constexpr uint32_t kSetPower = 0xFD010101;
constexpr uint32_t kAddWakeUpPattern = 0xFD010103;
constexpr uint32_t kRemoveWakeUpPattern = 0xFD010104;
constexpr uint32_t kEnableWakeUp = 0xFD010106;

inline Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

// `count` distinct multicast addresses, 6 bytes each, starting from `first`.
inline Bytes Addresses(size_t count, uint8_t first = 0) {
    Bytes out;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t n = static_cast<uint8_t>(first + i);
        out.insert(out.end(), {0x01, 0x00, 0x5E, 0x00, static_cast<uint8_t>(n >> 4), n});
    }
    return out;
}

class SetTest : public testing_support::WorldTest {
protected:
    void SetUp() override {
        adapter_ = &AddModelled("A", host::device::DeviceConfig{}, {}, &device_);
        ASSERT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
        // What start-up wrote is not the requests' doing.
        NewFilterWrites();
        NewControlWrites();
    }
    void TearDown() override {
        if (adapter_->state == host::ndis::AdapterState::Initialized)
            world_.Ndis().Halt(*adapter_);
        ExpectClean();
    }

    const AdapterRecord& Record() const { return RecordOf(*adapter_); }

    // One request, answered at once: no virtual time passes inside the handler.
    host::ndis::SetResult Set(uint32_t oid, const Bytes& data) {
        const uint64_t before = world_.NowUs();
        const auto r = world_.Ndis().Set(*adapter_, oid, data);
        EXPECT_EQ(world_.NowUs(), before) << "a set never waits";
        return r;
    }

    void ExpectSet(uint32_t oid, const Bytes& data, NDIS_STATUS status, ULONG bytesRead,
                   ULONG bytesNeeded) {
        const auto r = Set(oid, data);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.bytesRead, bytesRead);
        EXPECT_EQ(r.bytesNeeded, bytesNeeded);
    }

    uint32_t QueriedFilter() {
        const auto r = world_.Ndis().Query(*adapter_, kPacketFilter, 4);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
        return r.buffer[0] | r.buffer[1] << 8 | r.buffer[2] << 16 |
               static_cast<uint32_t>(r.buffer[3]) << 24;
    }

    // Registers 0..2 as each packet-filter write since the last call sent them (hex), once
    // the writes have had time to reach the device.
    std::vector<std::string> NewFilterWrites() {
        world_.RunFor(20'000);
        const auto all = RegisterWrites(recorder_, 0x00);
        std::vector<std::string> out;
        for (size_t i = seenWrites_; i < all.size(); ++i)
            if (all[i].size() == 6) out.push_back(all[i]);
        seenWrites_ = all.size();
        return out;
    }

    // Writes to the MAC mode, node address and multicast hash registers (0x00..0x0F) since the
    // last look: the only ones a request could have reason to make.
    size_t NewControlWrites() {
        world_.RunFor(20'000);
        const size_t now = recorder_
                               .Where([](const host::trace::Json& l) {
                                   return l["ev"] == "control" && l["bRequest"] == 0xF1 &&
                                          l["wIndex"] < 0x10;
                               })
                               .size();
        const size_t fresh = now - seenControls_;
        seenControls_ = now;
        return fresh;
    }

    struct Stored {
        uint32_t filter;
        uint16_t count;
        Bytes list;
        bool operator==(const Stored&) const = default;
    };
    Stored StoredState() const {
        const AdapterRecord& r = Record();
        const auto* list = &r.MulticastList[0][0];
        return {r.PacketFilter, r.MulticastCount, Bytes(list, list + sizeof(r.MulticastList))};
    }

    host::ndis::Adapter* adapter_ = nullptr;
    host::device::AdapterDevice* device_ = nullptr;
    size_t seenWrites_ = 0;
    size_t seenControls_ = 0;
};

}  // namespace set_support
