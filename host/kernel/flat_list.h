// A growable array of trivially copyable items for the lock bookkeeping that the exported
// routines reach on every spin lock. Appending, erasing and scanning are inline and call
// nothing; growing is the one call, in the world's export convention (export_abi.h), so that a
// routine taking or releasing a lock saves no registers for it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "host/kernel/export_abi.h"

namespace host::kernel {

template <typename T>
class FlatList {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    FlatList() = default;
    FlatList(const FlatList&) = delete;
    FlatList& operator=(const FlatList&) = delete;
    FlatList(FlatList&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    FlatList& operator=(FlatList&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            capacity_ = std::exchange(o.capacity_, 0);
        }
        return *this;
    }
    ~FlatList() { std::free(data_); }

    void push_back(const T& item) {
        if (size_ == capacity_) Grow();
        data_[size_++] = item;
    }
    // Removes the item at `at`, keeping the order of the rest.
    void erase(T* at) {
        for (T* p = at; p + 1 < end(); ++p) *p = p[1];
        --size_;
    }
    void pop_back() { --size_; }
    void clear() { size_ = 0; }

    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    T& front() { return data_[0]; }
    const T& front() const { return data_[0]; }
    T& back() { return data_[size_ - 1]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

private:
    WORLD_OUTLINE void Grow() {
        const size_t capacity = capacity_ == 0 ? 4 : capacity_ * 2;
        void* grown = std::realloc(data_, capacity * sizeof(T));
        if (grown == nullptr) {
            std::fprintf(stderr, "no memory for the lock bookkeeping\n");
            std::abort();
        }
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace host::kernel
