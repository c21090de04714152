// CacheStorage find and insert with 1,000 and 100,000 entries, against a hash-map LRU cache under a
// std::mutex.
#include "ratio_reporter.h"

#include "tolvan/utility/cachestorage.h"

#include <any>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>

using namespace Kalvex;

namespace {

constexpr int ENTRY_SIZE = 1000;

// The usual constant-time LRU: a list in order of use and a map from key to list position.
class PeerCache {
public:
    explicit PeerCache(uint64 cap)
        : mCap(cap) {}

    template <typename T>
    std::optional<T> find(uint64 key) {
        std::lock_guard<std::mutex> guard(mLock);
        const auto it = mIndex.find(key);
        if (it == mIndex.end()) return std::nullopt;
        mEntries.splice(mEntries.end(), mEntries, it->second);
        const T* value = std::any_cast<T>(&it->second->mValue);
        return value ? std::optional<T>(*value) : std::nullopt;
    }
    void insert(uint64 key, std::any value, int size) {
        std::lock_guard<std::mutex> guard(mLock);
        if (const auto it = mIndex.find(key); it != mIndex.end()) {
            mUsed -= uint64(it->second->mSize);
            mEntries.erase(it->second);
            mIndex.erase(it);
        }
        mEntries.push_back({key, std::move(value), size});
        mIndex[key] = std::prev(mEntries.end());
        mUsed += uint64(size);
        while (mUsed > mCap && !mEntries.empty()) {
            mUsed -= uint64(mEntries.front().mSize);
            mIndex.erase(mEntries.front().mKey);
            mEntries.pop_front();
        }
    }

private:
    struct Entry {
        uint64 mKey;
        std::any mValue;
        int mSize;
    };
    std::list<Entry> mEntries;
    std::unordered_map<uint64, std::list<Entry>::iterator> mIndex;
    uint64 mUsed = 0;
    uint64 mCap;
    std::mutex mLock;
};

uint64 nextKey(uint64& state, uint64 range) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % range;
}

// A cache holding `entries` entries, as many as its cap allows.
template <typename Cache>
void fill(Cache& cache, uint64 entries) {
    for (uint64 k = 0; k < entries; ++k)
        cache.insert(k, int(k), ENTRY_SIZE);
}

template <typename Cache>
void BM_Find(benchmark::State& state) {
    const uint64 entries = uint64(state.range(0));
    Cache cache(entries * ENTRY_SIZE);
    fill(cache, entries);
    uint64 random = 1;
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.template find<int>(nextKey(random, entries)));
    state.SetItemsProcessed(state.iterations());
}

// Keys from a range twice the capacity: half the insertions replace an entry, half evict one.
template <typename Cache>
void BM_Insert(benchmark::State& state) {
    const uint64 entries = uint64(state.range(0));
    Cache cache(entries * ENTRY_SIZE);
    fill(cache, entries);
    uint64 random = 1;
    for (auto _ : state)
        cache.insert(nextKey(random, 2 * entries), 7, ENTRY_SIZE);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_TEMPLATE(BM_Find, CacheStorage)->Arg(1000)->Arg(100000);
BENCHMARK_TEMPLATE(BM_Find, PeerCache)->Arg(1000)->Arg(100000);
BENCHMARK_TEMPLATE(BM_Insert, CacheStorage)->Arg(1000)->Arg(100000);
BENCHMARK_TEMPLATE(BM_Insert, PeerCache)->Arg(1000)->Arg(100000);

int main(int argc, char** argv) {
    return TolvanBench::runWithRatios(argc, argv,
                                      {{"BM_Find<CacheStorage>/1000", "BM_Find<PeerCache>/1000"},
                                       {"BM_Find<CacheStorage>/100000", "BM_Find<PeerCache>/100000"},
                                       {"BM_Insert<CacheStorage>/1000", "BM_Insert<PeerCache>/1000"},
                                       {"BM_Insert<CacheStorage>/100000", "BM_Insert<PeerCache>/100000"}});
}
