#include "tolvan/common/allocator.h"

#include "tolvan/common/exception.h"
#include "tolvan/thread/lock.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace Kalvex {
namespace {

constexpr size_t HEADER_SIZE = 8;
constexpr int OFFSET_BITS = 16;
constexpr uint64 OFFSET_MASK = (uint64(1) << OFFSET_BITS) - 1;
// The header keeps the block total in 48 bits.
constexpr uint64 MAX_TOTAL = (uint64(1) << (64 - OFFSET_BITS)) - 1;
constexpr size_t MAX_ALIGNMENT = 32768;

// The three counters share one cache line, which nothing else uses: every allocation updates them
// together, and no unrelated write moves the line away between allocations.
struct alignas(64) Counters {
    std::atomic<int64> allocated{0};
    std::atomic<int64> peak{0};
    std::atomic<int64> callCount{0};
};
Counters gCounters;

// 128 × 64 KiB taken from the C heap at load (not counted); one slot is given back per failed
// allocation so that the BadAlloc handler has room to build its report.
class EmergencyReserve {
public:
    static constexpr int SLOTS = 128;
    static constexpr size_t SLOT_SIZE = 65536;

    EmergencyReserve() noexcept {
        for (void*& slot : mSlots) {
            slot = std::malloc(SLOT_SIZE);
            if (slot) std::memset(slot, 0, SLOT_SIZE);
        }
    }
    ~EmergencyReserve() {
        for (void* slot : mSlots)
            std::free(slot);
    }
    EmergencyReserve(const EmergencyReserve&) = delete;
    EmergencyReserve& operator=(const EmergencyReserve&) = delete;

    void releaseOne() noexcept {
        ScopedLock guard(mLock);
        for (void*& slot : mSlots) {
            if (slot) {
                std::free(slot);
                slot = nullptr;
                return;
            }
        }
    }
    int slotsLeft() noexcept {
        ScopedLock guard(mLock);
        int n = 0;
        for (void* slot : mSlots)
            n += slot != nullptr;
        return n;
    }

private:
    SimpleLock mLock; // guards the slots; its block comes from tolvanMalloc
    void* mSlots[SLOTS] = {};
};

EmergencyReserve& reserve() {
    static EmergencyReserve instance;
    return instance;
}
// Fill the reserve when the library is loaded, not on the first failure.
[[maybe_unused]] const bool gReserveFilled = (reserve(), true);

[[noreturn]] void failAllocation(size_t total) {
    reserve().releaseOne();
    throw BadAlloc(total);
}

void raisePeak(int64 value) noexcept {
    int64 peak = gCounters.peak.load(std::memory_order_relaxed);
    while (value > peak && !gCounters.peak.compare_exchange_weak(peak, value, std::memory_order_relaxed)) {
    }
}

} // namespace

void* tolvanMalloc(size_t size, size_t alignment) {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0 || alignment > MAX_ALIGNMENT) {
        throw Exception(String::fromAscii("tolvanMalloc: alignment must be a power of two up to 32768"));
    }
    const size_t total = Detail::getAllocationTotal(size, alignment);
    if (total > MAX_TOTAL) failAllocation(total);
    auto* block = static_cast<unsigned char*>(std::malloc(total));
    if (!block) failAllocation(total);

    size_t offset = HEADER_SIZE;
    if (alignment != 1) {
        offset = alignment - ((reinterpret_cast<uintptr_t>(block) + HEADER_SIZE) % alignment) + HEADER_SIZE;
    }
    unsigned char* result = block + offset;
    const uint64 header = (uint64(total) << OFFSET_BITS) | uint64(offset);
    std::memcpy(result - HEADER_SIZE, &header, sizeof header);

    gCounters.callCount.fetch_add(1, std::memory_order_relaxed);
    const int64 now = gCounters.allocated.fetch_add(int64(total), std::memory_order_relaxed) + int64(total);
    raisePeak(now);
    return result;
}

void tolvanFree(void* p) noexcept {
    if (!p) return;
    auto* result = static_cast<unsigned char*>(p);
    uint64 header;
    std::memcpy(&header, result - HEADER_SIZE, sizeof header);
    gCounters.allocated.fetch_sub(int64(header >> OFFSET_BITS), std::memory_order_relaxed);
    std::free(result - (header & OFFSET_MASK));
}

int64 getTolvanAllocatedMemory() noexcept {
    return gCounters.allocated.load(std::memory_order_relaxed);
}
int64 getPeakTolvanAllocatedMemory() noexcept {
    return gCounters.peak.load(std::memory_order_relaxed);
}
int64 getTolvanMallocCallCount() noexcept {
    return gCounters.callCount.load(std::memory_order_relaxed);
}
void resetPeakTolvanAllocatedMemory() noexcept {
    gCounters.peak.store(0, std::memory_order_relaxed);
}

size_t Detail::getAllocationTotal(size_t size, size_t alignment) noexcept {
    const size_t extra = HEADER_SIZE + (alignment != 1 ? alignment : 0);
    return size > SIZE_MAX - extra ? SIZE_MAX : size + extra;
}

int Detail::getEmergencyReserveSlotsLeft() noexcept {
    return reserve().slotsLeft();
}

} // namespace Kalvex
