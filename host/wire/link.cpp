#include "host/wire/link.h"

#include <algorithm>

namespace host::wire {

void Link::Update(const PartnerSettings& partner) {
    const bool changedUp = partner.up != partner_.up;
    partner_ = partner;
    if (changedUp && trace_ != nullptr && trace_->Enabled("link"))
        trace_->Emit("link", "", trace::Json{{"link", name_}, {"up", partner_.up}});
    // Observers may detach while being told; walk a copy.
    auto observers = observers_;
    for (auto& [id, fn] : observers) fn();
}

size_t Link::Attach(std::function<void()> onChange) {
    const size_t id = nextObserver_++;
    observers_.emplace_back(id, std::move(onChange));
    return id;
}

void Link::Detach(size_t id) {
    observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                    [id](const auto& o) { return o.first == id; }),
                     observers_.end());
}

size_t Link::AddTap(FrameTap tap) {
    const size_t id = nextObserver_++;
    taps_.emplace_back(id, std::move(tap));
    return id;
}

void Link::RemoveTap(size_t id) {
    taps_.erase(std::remove_if(taps_.begin(), taps_.end(), [id](const auto& t) { return t.first == id; }),
                taps_.end());
}

int Link::AddSide(Side side) {
    sides_.push_back(std::move(side));
    busyUntil_.push_back(0);
    inFlight_.push_back(0);
    sideStats_.push_back({});
    return static_cast<int>(sides_.size()) - 1;
}

int Link::SideIndex(const std::string& label) const {
    for (size_t i = 0; i < sides_.size(); ++i)
        if (sides_[i].label == label) return static_cast<int>(i);
    return -1;
}

void Link::RemoveSide(int index) {
    if (index < 0 || static_cast<size_t>(index) >= sides_.size()) return;
    sides_[index].deliver = nullptr;
    sides_[index].receiving = nullptr;
}

void Link::Send(int from, Frame frame, uint32_t speedMbps) {
    if (scheduler_ == nullptr || from < 0 || static_cast<size_t>(from) >= sides_.size()) return;
    if (inFlight_[from] >= kMaxInFlight) {
        ++stats_.queueFull;
        ++sideStats_[from].queueFull;
        return;
    }
    if (speedMbps == 0) speedMbps = 1;
    // Preamble, start delimiter and inter-frame gap: 20 byte times besides the frame.
    const uint64_t bits = (frame.size() + 20) * 8;
    const sim::TimeUs start = std::max(scheduler_->Now(), busyUntil_[from]);
    const sim::TimeUs done = start + (bits + speedMbps - 1) / speedMbps;
    busyUntil_[from] = done;
    ++inFlight_[from];
    scheduler_->At(done, [this, from, f = std::move(frame)]() mutable {
        --inFlight_[from];
        ++sideStats_[from].sent;
        if (trace_ != nullptr && trace_->Enabled("wire")) {
            trace::Json fields{{"link", name_}, {"from", sides_[from].label}, {"length", f.size()}};
            trace_->PutData(fields, "wire", f.data(), f.size());
            trace_->Emit("wire", "", std::move(fields));
        }
        for (auto& [id, tap] : taps_) tap(*this, sides_[from].label, f);
        // The last side that takes the frame may keep its bytes; any before it read them.
        size_t last = sides_.size();
        for (size_t i = 0; i < sides_.size(); ++i)
            if (static_cast<int>(i) != from && sides_[i].deliver) last = i;
        for (size_t i = 0; i < sides_.size(); ++i) {
            if (static_cast<int>(i) == from || !sides_[i].deliver) continue;
            if (!partner_.up || (sides_[i].receiving && !sides_[i].receiving())) {
                ++stats_.notReceived;
                ++sideStats_[i].notReceived;
                continue;
            }
            ++stats_.carried;
            ++sideStats_[i].received;
            if (i == last && sides_[i].take) sides_[i].take(f);
            else sides_[i].deliver(f);
        }
        if (spareFrames_.size() < kMaxInFlight) spareFrames_.push_back(std::move(f));
    });
}

void Link::Send(int from, const uint8_t* data, size_t length, uint32_t speedMbps) {
    Frame frame;
    if (!spareFrames_.empty()) {
        frame = std::move(spareFrames_.back());
        spareFrames_.pop_back();
    }
    frame.assign(data, data + length);
    Send(from, std::move(frame), speedMbps);
}

}  // namespace host::wire
