// The protocol side's send queue: packets the miniport has not accepted yet, first in, first out.
//
// A packet in it is either made already (a frame a caller handed over) or due from a FrameSource.
// Consecutive packets of one source (packet ids and frame numbers both one after the other) are
// held as one entry with a count, and each frame is made only when its packet leaves the queue
// for the miniport. A burst offered faster than the miniport takes it, a million frames deep,
// costs one entry instead of a million frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/sim/ring_queue.h"

namespace host::ndis {

struct ProtocolPacket;

// Frames a sender makes on demand, numbered from 0. The source must outlive every packet of it
// still queued.
class FrameSource {
public:
    // Fills `frame` with frame number `index`; returns the number of buffers it is split into.
    virtual size_t Make(uint64_t index, std::vector<uint8_t>& frame) const = 0;

protected:
    ~FrameSource() = default;
};

class SendQueue {
public:
    // A packet still to be made: its id, and which frame of which source.
    struct Due {
        const FrameSource* source = nullptr;
        uint64_t id = 0;
        uint64_t index = 0;
    };

    SendQueue();
    ~SendQueue();
    SendQueue(SendQueue&&) noexcept;
    SendQueue& operator=(SendQueue&&) noexcept;

    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    // Entries held: made packets, and runs of due ones.
    size_t Entries() const { return entries_.size(); }

    void PushBack(std::unique_ptr<ProtocolPacket> packet);
    // Frame `index` of `source`, as packet `id`.
    void PushBack(const FrameSource& source, uint64_t id, uint64_t index);
    // A packet that goes back to the head (the miniport had no resources for it).
    void PushFront(std::unique_ptr<ProtocolPacket> packet);

    uint64_t FrontId() const;
    // Takes the head: the packet when it was made, otherwise null with `due` saying what to make.
    std::unique_ptr<ProtocolPacket> PopFront(Due& due);
    // Removes the head without making it.
    void DropFront();

private:
    struct Entry {
        std::unique_ptr<ProtocolPacket> made;  // null: `count` packets due from `source`
        const FrameSource* source = nullptr;
        uint64_t firstId = 0;
        uint64_t firstIndex = 0;
        uint64_t count = 0;
    };
    sim::RingQueue<Entry> entries_;  // a steady stream allocates nothing
    size_t size_ = 0;
};

}  // namespace host::ndis
