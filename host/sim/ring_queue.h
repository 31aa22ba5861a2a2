// A first-in first-out queue in one growing ring of slots: unlike std::deque, whose blocks are
// freed and allocated again as a steady stream passes through, it allocates only when it holds
// more than it ever held before. Walked front to back; an element can be taken out of the
// middle (the ones behind it move up, keeping their order).
#pragma once

#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

namespace host::sim {

template <typename T>
class RingQueue {
public:
    RingQueue() = default;
    RingQueue(RingQueue&& o) noexcept
        : slots_(std::move(o.slots_)), head_(std::exchange(o.head_, 0)), count_(std::exchange(o.count_, 0)) {
        o.slots_.clear();
    }
    RingQueue& operator=(RingQueue&& o) noexcept {
        if (this != &o) {
            slots_ = std::move(o.slots_);
            head_ = std::exchange(o.head_, 0);
            count_ = std::exchange(o.count_, 0);
            o.slots_.clear();
        }
        return *this;
    }
    RingQueue(const RingQueue&) = delete;
    RingQueue& operator=(const RingQueue&) = delete;

    template <typename Q, typename V>
    class Iter {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = V*;
        using reference = V&;
        Iter(Q* q, size_t i) : q_(q), i_(i) {}
        V& operator*() const { return q_->At(i_); }
        V* operator->() const { return &q_->At(i_); }
        Iter& operator++() {
            ++i_;
            return *this;
        }
        bool operator==(const Iter& o) const { return i_ == o.i_; }
        bool operator!=(const Iter& o) const { return i_ != o.i_; }
        size_t Index() const { return i_; }

    private:
        Q* q_;
        size_t i_;  // position from the front
    };
    using iterator = Iter<RingQueue, T>;
    using const_iterator = Iter<const RingQueue, const T>;

    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    T& front() { return At(0); }
    const T& front() const { return At(0); }
    T& back() { return At(count_ - 1); }
    const T& back() const { return At(count_ - 1); }
    iterator begin() { return {this, 0}; }
    iterator end() { return {this, count_}; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, count_}; }

    void push_back(const T& v) {
        if (count_ == slots_.size()) Grow();
        At(count_) = v;
        ++count_;
    }
    void push_back(T&& v) {
        if (count_ == slots_.size()) Grow();
        At(count_) = std::move(v);
        ++count_;
    }
    // Puts `v` ahead of the front (the next pop_front returns it).
    void push_front(T&& v) {
        if (count_ == slots_.size()) Grow();
        head_ = (head_ + slots_.size() - 1) & (slots_.size() - 1);
        At(0) = std::move(v);
        ++count_;
    }
    void pop_front() {
        At(0) = T{};
        head_ = (head_ + 1) & (slots_.size() - 1);
        --count_;
    }
    // Takes out the element at `it`; returns the position of the one that followed it.
    iterator erase(iterator it) {
        for (size_t i = it.Index(); i + 1 < count_; ++i) At(i) = std::move(At(i + 1));
        At(count_ - 1) = T{};
        --count_;
        return {this, it.Index()};
    }
    void clear() {
        while (count_ > 0) pop_front();
        head_ = 0;
    }

private:
    T& At(size_t i) { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    const T& At(size_t i) const { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    void Grow() {
        std::vector<T> bigger(slots_.empty() ? 8 : slots_.size() * 2);
        for (size_t i = 0; i < count_; ++i) bigger[i] = std::move(At(i));
        slots_ = std::move(bigger);
        head_ = 0;
    }

    std::vector<T> slots_;  // a power of two of them, or none
    size_t head_ = 0;
    size_t count_ = 0;
};

}  // namespace host::sim
