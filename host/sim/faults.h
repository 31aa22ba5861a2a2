// Fault plans: allocation failures chosen in advance ("fail the k-th allocation of this kind from
// now", or "fail the k-th allocation made at this site"), and the counters a sweep needs to show
// which allocation sites it reached.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
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

// Where an allocation was asked for: its kind and the innermost return addresses of the caller's
// stack (the routine that called the allocator, then its callers). Within one process a site is
// stable, so a reference run can name the sites and later runs can fail each of them. A return
// address inside a driver image is kept as the image's number and its RVA (mapped_code.h), since
// every world maps its own copy; the stack is not walked past it (image code has no unwind
// information the program's unwinder reads), so such a site is the image's call of the allocator.
struct AllocSite {
    static constexpr size_t kDepth = 4;
    AllocKind kind = AllocKind::Memory;
    std::array<uintptr_t, kDepth> frames{};
    std::array<uint16_t, kDepth> images{};  // 0: the program's own code; else frames[i] is an RVA
    bool operator==(const AllocSite&) const = default;
    auto operator<=>(const AllocSite&) const = default;
};

class AllocFaults;
// Called by an exported allocation routine, directly: the site of that routine's caller, when
// sites are tracked (walking the stack costs too much to do otherwise).
[[gnu::noinline]] std::optional<AllocSite> SiteOfCaller(const AllocFaults& faults, AllocKind kind);
// "kind <- routine+0x12 <- routine+0x40 ..." with the names the executable exports, else the
// offsets into it.
std::string DescribeSite(const AllocSite& site);

class AllocFaults {
public:
    // Fails the nth allocation (1-based) of `kind` (any kind when empty) made from now on for
    // `adapter` (any adapter when negative).
    void Arm(std::optional<AllocKind> kind, uint64_t nth, int adapter = -1);
    void Clear() { plans_.clear(); }

    // Fails the nth allocation (1-based) made at `site` from now on, for any adapter.
    void ArmSite(const AllocSite& site, uint64_t nth = 1);

    // Counts the allocation and answers whether it must fail. `site` is given when sites are
    // tracked.
    bool ShouldFail(AllocKind kind, int adapter, const AllocSite* site = nullptr);

    // Site tracking is off until asked for.
    void TrackSites(bool on) { trackSites_ = on; }
    bool TrackingSites() const { return trackSites_; }
    struct SiteCount {
        AllocSite site;
        uint64_t reached = 0;
        uint64_t failed = 0;
    };
    // Every site reached while tracking, in the order first reached.
    const std::vector<SiteCount>& Sites() const { return sites_; }
    // Told of every injected failure, after it was decided (the allocation has not returned yet).
    std::function<void(AllocKind kind, const AllocSite* site)> onInjected;

    uint64_t Count(AllocKind kind) const { return counts_[static_cast<size_t>(kind)]; }
    uint64_t Total() const { return total_; }
    uint64_t Injected() const { return injected_; }
    bool Armed() const { return !plans_.empty(); }

private:
    struct Plan {
        std::optional<AllocKind> kind;
        uint64_t remaining;
        int adapter;
        std::optional<AllocSite> site;
    };
    std::vector<Plan> plans_;
    bool trackSites_ = false;
    std::vector<SiteCount> sites_;
    std::array<uint64_t, kAllocKinds> counts_{};
    uint64_t total_ = 0;
    uint64_t injected_ = 0;
};

}  // namespace host::sim
