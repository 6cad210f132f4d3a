// A field that several threads read and write without a lock.
//
// The device table has no lock by design: a worker thread may mark a slot removed while the caller's
// thread reads its handle. Each such field is one machine word that needs no ordering with any other;
// it is an atomic with relaxed ordering, so its reads and writes are single plain loads and stores,
// free of data races. Relaxed<T> reads and assigns like the plain value it stands for.
#pragma once

#include <atomic>

namespace korval {

template <class T>
class Relaxed {
public:
    constexpr Relaxed() noexcept : value_(T{}) {}
    constexpr Relaxed(T value) noexcept : value_(value) {}  // NOLINT: reads like a plain field
    Relaxed(const Relaxed&) = delete;
    // Assigning one field from another copies the value.
    Relaxed& operator=(const Relaxed& other) noexcept
    {
        store(other.load());
        return *this;
    }

    operator T() const noexcept { return value_.load(std::memory_order_relaxed); }  // NOLINT
    Relaxed& operator=(T value) noexcept
    {
        value_.store(value, std::memory_order_relaxed);
        return *this;
    }
    T load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(T value) noexcept { value_.store(value, std::memory_order_relaxed); }
    T exchange(T value) noexcept { return value_.exchange(value, std::memory_order_relaxed); }

private:
    std::atomic<T> value_;
};

}  // namespace korval
