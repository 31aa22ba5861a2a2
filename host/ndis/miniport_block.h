// The adapter handle NDIS gives a miniport points at NDIS's miniport block. The DDK turns
// NdisMIndicateReceivePacket, NdisMSendComplete, NdisMIndicateStatus and
// NdisMIndicateStatusComplete into calls through function pointers at fixed offsets of that block,
// so a driver built against the DDK never calls those routines by name. The world's handle points
// at a block with those four pointers where the DDK reads them (the rest of NDIS's block is
// NDIS's own business and stays zero); they lead to the same routines the host build calls.
#pragma once

#include <cstddef>
#include <cstring>

#include "driver/platform/ndis.h"

namespace host::ndis {

class MiniportBlock {
public:
    // Offsets of PacketIndicateHandler, SendCompleteHandler, StatusHandler and
    // StatusCompleteHandler in the DDK's NDIS_MINIPORT_BLOCK (windows/layout/layouts.h checks
    // them against the DDK's header).
    static constexpr size_t kPacketIndicate = sizeof(void*) == 8 ? 0x1b0 : 0xe8;
    static constexpr size_t kSendComplete = sizeof(void*) == 8 ? 0x1b8 : 0xec;
    static constexpr size_t kStatus = sizeof(void*) == 8 ? 0x2b0 : 0x17c;
    static constexpr size_t kStatusComplete = sizeof(void*) == 8 ? 0x2b8 : 0x180;

    MiniportBlock() {
        Put(kPacketIndicate, &NdisMIndicateReceivePacket);
        Put(kSendComplete, &NdisMSendComplete);
        Put(kStatus, &NdisMIndicateStatus);
        Put(kStatusComplete, &NdisMIndicateStatusComplete);
    }
    MiniportBlock(const MiniportBlock&) = delete;
    MiniportBlock& operator=(const MiniportBlock&) = delete;

    NDIS_HANDLE Handle() { return bytes_; }

private:
    template <typename F>
    void Put(size_t offset, F* routine) {
        std::memcpy(bytes_ + offset, &routine, sizeof routine);
    }

    alignas(void*) unsigned char bytes_[kStatusComplete + sizeof(void*)] = {};
};

}  // namespace host::ndis
