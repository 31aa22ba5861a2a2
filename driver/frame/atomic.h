// Word and byte stores that other processors read without a lock (AdapterState, MediaBusy,
// counters, flags). They behave as plain stores and loads; going through relaxed atomics keeps
// the C++ free of data races without adding ordering the design does not rely on.
#pragma once

#include <atomic>

#include "platform/nt.h"

template <typename T>
inline T ReadShared(T& field) {
    SHARED_ACCESS_POINT();
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

template <typename T, typename V>
inline void WriteShared(T& field, V value) {
    SHARED_ACCESS_POINT();
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_relaxed);
}

// A plain, unlocked increment as the counters have; atomic only so the program has no data race.
template <typename T>
inline void CountShared(T& field) {
    SHARED_ACCESS_POINT();
    std::atomic_ref<T>(field).fetch_add(1, std::memory_order_relaxed);
}
