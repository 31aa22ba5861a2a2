// Test support for the query-information tests: adapters started and halted by the fixture, the
// query as NDIS makes it, and the checks every answer and every refusal must pass.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/world_fixture.h"

namespace query_support {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kUntouched = 0xEE;
constexpr ULONG kNotWritten = 0xDEADBEEF;

inline Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline Bytes Le16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }

inline std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

// The supported list in the order NDIS must get it.
inline const std::vector<uint32_t> kSupportedList = {
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111,
    0x00010113, 0x00010112, 0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B,
    0x0001010C, 0x0001010D, 0x00010110, 0x0001010E, 0x0001010F, 0x00020101, 0x00020102,
    0x00020103, 0x00020104, 0x00020105, 0x0002020D, 0x00010114, 0x00010116, 0x00010115,
    0x01010101, 0x01010102, 0x01010103, 0x01010104, 0x01020101, 0x01020102, 0x01020103,
    0x01020201, 0x01020202, 0x01020203, 0x01020204, 0xFD010100, 0xFD010101, 0xFD010102,
    0xFD010103, 0xFD010104, 0xFD010106,
};

inline Bytes SupportedListBytes() {
    Bytes out;
    for (uint32_t oid : kSupportedList) {
        const Bytes b = Le32(oid);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

inline Bytes VendorText() {
    const std::string text = "Brellwick NDIS 5.0";
    Bytes out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

// A bulk-in transfer the receive path accepts: the frame, 4 check-sequence bytes and a trailer
// whose byte n-2 is the status.
inline Bytes Transfer(size_t frameLength, uint8_t status) {
    Bytes t(frameLength + 8, 0x5A);
    const uint8_t tail[8] = {0xC1, 0xC2, 0xC3, 0xC4, 0x00, 0x00, status, 0x00};
    std::copy(std::begin(tail), std::end(tail), t.end() - 8);
    return t;
}

class QueryTest : public testing_support::WorldTest {
protected:
    void TearDown() override {
        for (host::ndis::Adapter* a : started_)
            if (a->state == host::ndis::AdapterState::Initialized) world_.Ndis().Halt(*a);
        ExpectClean();
    }

    host::ndis::Adapter& Start(host::ndis::Adapter& a) {
        EXPECT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
        started_.push_back(&a);
        return a;
    }

    host::ndis::QueryResult Query(host::ndis::Adapter& a, uint32_t oid, ULONG length) {
        const uint64_t before = world_.NowUs();
        auto r = world_.Ndis().Query(a, oid, length);
        EXPECT_EQ(world_.NowUs(), before) << "a query never waits";
        return r;
    }

    // The answer's bytes, after checking that a buffer of exactly its size gets it whole.
    Bytes Answer(host::ndis::Adapter& a, uint32_t oid, ULONG size) {
        const auto r = Query(a, oid, size);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS) << Hex32(oid);
        EXPECT_EQ(r.bytesWritten, size) << Hex32(oid);
        return r.buffer;
    }

    uint32_t Value(host::ndis::Adapter& a, uint32_t oid) {
        const Bytes b = Answer(a, oid, 4);
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }

    // Every length from 0 to one past the answer: too short is refused with the shortfall and
    // leaves the buffer alone; long enough gets exactly the answer and nothing after it.
    void ExpectAnswerAtEveryLength(host::ndis::Adapter& a, uint32_t oid, const Bytes& answer) {
        const ULONG size = static_cast<ULONG>(answer.size());
        for (ULONG length = 0; length <= size + 1; ++length) {
            SCOPED_TRACE(Hex32(oid) + " with a " + std::to_string(length) + "-byte buffer");
            const auto r = Query(a, oid, length);
            ASSERT_EQ(r.buffer.size(), length);
            if (length < size) {
                EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
                EXPECT_EQ(r.bytesNeeded, size - length);
                EXPECT_EQ(r.bytesWritten, kNotWritten);
                EXPECT_EQ(r.buffer, Bytes(length, kUntouched));
            } else {
                EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
                EXPECT_EQ(r.bytesWritten, size);
                EXPECT_EQ(r.bytesNeeded, kNotWritten);
                EXPECT_EQ(Bytes(r.buffer.begin(), r.buffer.begin() + size), answer);
                EXPECT_EQ(Bytes(r.buffer.begin() + size, r.buffer.end()),
                          Bytes(length - size, kUntouched));
            }
        }
    }

    void ExpectRefusedAtEveryLength(host::ndis::Adapter& a, uint32_t oid, NDIS_STATUS status) {
        for (ULONG length : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 180u, 512u}) {
            SCOPED_TRACE(Hex32(oid) + " with a " + std::to_string(length) + "-byte buffer");
            const auto r = Query(a, oid, length);
            EXPECT_EQ(r.status, status);
            EXPECT_EQ(r.bytesWritten, kNotWritten);
            EXPECT_EQ(r.bytesNeeded, kNotWritten);
            EXPECT_EQ(r.buffer, Bytes(length, kUntouched));
        }
    }

    std::vector<host::ndis::Adapter*> started_;
};

}  // namespace query_support
