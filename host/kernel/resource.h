// What the emulated kernel knows of each block and object it handed the driver.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host::kernel {

// Every resource the driver can acquire, so that leaks can be told by kind, tag and adapter.
enum class ResourceKind : uint8_t {
    PoolBlock,      // ExAllocatePoolWithTag, and pool the USBD helpers hand out
    NdisMemory,     // NdisAllocateMemoryWithTag
    Irp,            // IoAllocateIrp, IoBuildDeviceIoControlRequest
    PacketPool,
    BufferPool,
    Packet,
    Buffer,
    Configuration,  // an open NdisOpenConfiguration handle
};
const char* ResourceKindName(ResourceKind kind);

struct Resource {
    ResourceKind kind;
    // IRPs only: built by IoBuildDeviceIoControlRequest (its sender waits for it), and passed
    // down and not yet completed.
    bool irpBuilt = false;
    bool irpInFlight = false;
    size_t size;
    uint32_t tag;
    int adapter;     // adapter the acquiring context worked for; -1 none
    uint64_t serial;  // acquisition order
};

}  // namespace host::kernel
