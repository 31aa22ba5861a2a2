// Word and byte stores that other processors read without a lock (AdapterState, counters,
// flags). They behave as plain stores and loads; going through relaxed atomics keeps the C++ free
// of data races without adding ordering the design does not rely on. A flag that hands other
// fields over (MediaBusy) orders them: ReleaseShared and AcquireShared below.
#pragma once

#include <atomic>

#include "platform/nt.h"

template <typename T>
inline T ReadShared(T& field) {
    SHARED_ACCESS_POINT(&field);
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

template <typename T, typename V>
inline void WriteShared(T& field, V value) {
    SHARED_ACCESS_POINT(&field);
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_relaxed);
}

// A plain, unlocked increment as the counters have; atomic only so the program has no data race.
template <typename T>
inline void CountShared(T& field) {
    SHARED_ACCESS_POINT(&field);
    std::atomic_ref<T>(field).fetch_add(1, std::memory_order_relaxed);
}

// A busy flag that hands the fields it guards from one context to the next (MediaBusy and the
// chain state behind it): clearing it publishes every write made before, and a look that finds
// it clear sees them. Plain stores and loads on x86 and x64; the order is the C++ model's.
template <typename T, typename V>
inline void ReleaseShared(T& field, V value) {
    SHARED_ACCESS_POINT(&field);
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_release);
}

template <typename T>
inline T AcquireShared(T& field) {
    SHARED_ACCESS_POINT(&field);
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
