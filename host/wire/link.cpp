#include "host/wire/link.h"

#include <algorithm>

namespace host::wire {

void Link::Update(const PartnerSettings& partner) {
    partner_ = partner;
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

}  // namespace host::wire
