// One adapter on a scripted device, initialised and idle: the rig the frame benchmarks drive
// one frame at a time, a send from MiniportSend to the device taking the transfer, a receive
// from the device's bulk-in transfer to the protocol's indication.
#pragma once

#include <cstdint>
#include <vector>

#include "host/world/test_world.h"

namespace bench {

struct FrameRig : host::world::OneScriptedAdapter {
    FrameRig() {
        device->keepBulkOut = false;  // counted, not kept: the rig measures the path, not a log
        adapter->protocol.keepReceived = false;  // read and counted, as nicsim does
        world.Ndis().Initialize(*adapter);
        world.RunFor(10'000);
    }
    ~FrameRig() { world.Ndis().Halt(*adapter); }

    // Sends `frame` and runs the world until the device has taken it off the bulk-out pipe.
    void SendOne(const std::vector<uint8_t>& frame) {
        const uint64_t before = device->bulkOutCount;
        world.Ndis().Send(*adapter, frame);
        while (device->bulkOutCount == before) world.Scheduler().RunOne(UINT64_MAX);
    }

    // A bulk-in transfer that carries a good frame of `size` bytes (the device's trailer last).
    static std::vector<uint8_t> ReceiveTransfer(size_t size) {
        std::vector<uint8_t> transfer(size + 8, 0xA5);
        transfer[transfer.size() - 2] = 0x00;  // status: good frame
        return transfer;
    }

    // Queues `transfer` on the device and runs the world until the protocol has been told.
    void ReceiveOne(const std::vector<uint8_t>& transfer) {
        const uint64_t before = adapter->protocol.receivedCount;
        device->QueueBulkIn(transfer);
        while (adapter->protocol.receivedCount == before) world.Scheduler().RunOne(UINT64_MAX);
    }
};

}  // namespace bench
