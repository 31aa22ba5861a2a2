// Fault plans: allocation failures chosen in advance ("fail the k-th allocation of this kind from
// now"), and the counters a sweep needs to show which allocation sites it reached.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host::sim {

enum class AllocKind : uint8_t {
    Memory,        // NdisAllocateMemoryWithTag
    Irp,           // IoAllocateIrp, IoBuildDeviceIoControlRequest
    PacketPool,    // NdisAllocatePacketPool
    BufferPool,    // NdisAllocateBufferPool
    Packet,        // NdisAllocatePacket
    Buffer,        // NdisAllocateBuffer
    RequestBlock,  // ExAllocatePoolWithTag (URBs, queue entries)
};
inline constexpr size_t kAllocKinds = 7;

std::string_view AllocKindName(AllocKind kind);
// Parses the names used in scenario files ("memory", "irp", ..., "any" gives nullopt in `kind`).
bool ParseAllocKind(std::string_view name, std::optional<AllocKind>& kind);

class AllocFaults {
public:
    // Fails the nth allocation (1-based) of `kind` (any kind when empty) made from now on for
    // `adapter` (any adapter when negative).
    void Arm(std::optional<AllocKind> kind, uint64_t nth, int adapter = -1);
    void Clear() { plans_.clear(); }

    // Counts the allocation and answers whether it must fail.
    bool ShouldFail(AllocKind kind, int adapter);

    uint64_t Count(AllocKind kind) const { return counts_[static_cast<size_t>(kind)]; }
    uint64_t Total() const { return total_; }
    uint64_t Injected() const { return injected_; }
    bool Armed() const { return !plans_.empty(); }

private:
    struct Plan {
        std::optional<AllocKind> kind;
        uint64_t remaining;
        int adapter;
    };
    std::vector<Plan> plans_;
    std::array<uint64_t, kAllocKinds> counts_{};
    uint64_t total_ = 0;
    uint64_t injected_ = 0;
};

}  // namespace host::sim
