// Detail::Fifo<T>: a first-in-first-out ring buffer over the accounted allocator, used by the library's
// message queues.
#pragma once

#include "tolvan/containers/heapallocator.h"

#include <new>
#include <utility>

namespace Kalvex::Detail {

/// Elements leave in the order they were pushed. The capacity is a power of two and only grows.
template <typename T>
class Fifo {
public:
    Fifo() noexcept = default;
    Fifo(const Fifo&) = delete;
    Fifo& operator=(const Fifo&) = delete;
    ~Fifo() {
        clear();
        HeapAllocator::deallocate(mData);
    }

    [[nodiscard]] bool isEmpty() const noexcept { return mCount == 0; }
    [[nodiscard]] int64 size() const noexcept { return mCount; }

    /// Appends `value` at the back; throws BadAlloc when growing fails (the queue is then unchanged).
    void push(T value) {
        if (mCount == mCapacity) grow();
        new (mData + ((mHead + mCount) & (mCapacity - 1))) T(std::move(value));
        ++mCount;
    }
    /// Removes and returns the front element; the queue must not be empty.
    [[nodiscard]] T popFront() {
        T& slot = mData[mHead];
        T value(std::move(slot));
        slot.~T();
        mHead = (mHead + 1) & (mCapacity - 1);
        --mCount;
        return value;
    }
    /// Removes every element for which `pred` is true, keeping the order of the others.
    template <typename Pred>
    void removeIf(Pred pred) {
        int64 kept = 0;
        for (int64 i = 0; i < mCount; ++i) {
            T& from = at(i);
            if (pred(from)) continue;
            if (kept != i) at(kept) = std::move(from);
            ++kept;
        }
        while (mCount > kept)
            at(--mCount).~T();
    }
    void clear() noexcept {
        while (mCount > 0)
            at(--mCount).~T();
        mHead = 0;
    }
    void swap(Fifo& other) noexcept {
        std::swap(mData, other.mData);
        std::swap(mCapacity, other.mCapacity);
        std::swap(mHead, other.mHead);
        std::swap(mCount, other.mCount);
    }

private:
    T& at(int64 i) noexcept { return mData[(mHead + i) & (mCapacity - 1)]; }

    void grow() {
        const int64 capacity = mCapacity ? mCapacity * 2 : 16;
        T* data = HeapAllocator::allocate<T>(size_t(capacity));
        for (int64 i = 0; i < mCount; ++i) {
            T& from = at(i);
            new (data + i) T(std::move(from));
            from.~T();
        }
        HeapAllocator::deallocate(mData);
        mData = data;
        mCapacity = capacity;
        mHead = 0;
    }

    T* mData = nullptr;
    int64 mCapacity = 0;
    int64 mHead = 0;
    int64 mCount = 0;
};

} // namespace Kalvex::Detail
