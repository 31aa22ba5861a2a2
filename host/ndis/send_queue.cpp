#include "host/ndis/send_queue.h"

#include "host/ndis/protocol.h"

namespace host::ndis {

SendQueue::SendQueue() = default;
SendQueue::~SendQueue() = default;
SendQueue::SendQueue(SendQueue&&) noexcept = default;
SendQueue& SendQueue::operator=(SendQueue&&) noexcept = default;

void SendQueue::PushBack(std::unique_ptr<ProtocolPacket> packet) {
    entries_.push_back(Entry{std::move(packet)});
    ++size_;
}

void SendQueue::PushBack(const FrameSource& source, uint64_t id, uint64_t index) {
    if (!entries_.empty()) {
        Entry& back = entries_.back();
        if (!back.made && back.source == &source && back.firstId + back.count == id &&
            back.firstIndex + back.count == index) {
            ++back.count;
            ++size_;
            return;
        }
    }
    entries_.push_back(Entry{nullptr, &source, id, index, 1});
    ++size_;
}

void SendQueue::PushFront(std::unique_ptr<ProtocolPacket> packet) {
    entries_.push_front(Entry{std::move(packet)});
    ++size_;
}

uint64_t SendQueue::FrontId() const {
    const Entry& front = entries_.front();
    return front.made ? front.made->id : front.firstId;
}

std::unique_ptr<ProtocolPacket> SendQueue::PopFront(Due& due) {
    Entry& front = entries_.front();
    --size_;
    if (front.made) {
        std::unique_ptr<ProtocolPacket> packet = std::move(front.made);
        entries_.pop_front();
        return packet;
    }
    due = Due{front.source, front.firstId, front.firstIndex};
    ++front.firstId;
    ++front.firstIndex;
    if (--front.count == 0) entries_.pop_front();
    return nullptr;
}

void SendQueue::DropFront() {
    Due ignored;
    PopFront(ignored);
}

}  // namespace host::ndis
