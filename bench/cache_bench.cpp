// CacheStorage find and insert with 1,000 entries, against a hash-map LRU cache under a std::mutex.
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

constexpr uint64 ENTRIES = 1000;
constexpr int ENTRY_SIZE = 1000;
constexpr uint64 CAP = ENTRIES * ENTRY_SIZE;

// The usual constant-time LRU: a list in order of use and a map from key to list position.
class PeerCache {
public:
    std::optional<std::any> find(uint64 key) {
        std::lock_guard<std::mutex> guard(mLock);
        const auto it = mIndex.find(key);
        if (it == mIndex.end()) return std::nullopt;
        mEntries.splice(mEntries.end(), mEntries, it->second);
        return it->second->mValue;
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
        while (mUsed > CAP && !mEntries.empty()) {
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
    std::mutex mLock;
};

uint64 nextKey(uint64& state, uint64 range) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % range;
}

template <typename Cache>
void fill(Cache& cache) {
    for (uint64 k = 0; k < ENTRIES; ++k)
        cache.insert(k, int(k), ENTRY_SIZE);
}

void BM_Find_CacheStorage(benchmark::State& state) {
    CacheStorage cache(CAP);
    fill(cache);
    uint64 random = 1;
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.find<int>(nextKey(random, ENTRIES)));
    state.SetItemsProcessed(state.iterations());
}

void BM_Find_Peer(benchmark::State& state) {
    PeerCache cache;
    fill(cache);
    uint64 random = 1;
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.find(nextKey(random, ENTRIES)));
    state.SetItemsProcessed(state.iterations());
}

// Keys from a range twice the capacity: half the insertions replace an entry, half evict one.
void BM_Insert_CacheStorage(benchmark::State& state) {
    CacheStorage cache(CAP);
    fill(cache);
    uint64 random = 1;
    for (auto _ : state)
        cache.insert(nextKey(random, 2 * ENTRIES), 7, ENTRY_SIZE);
    state.SetItemsProcessed(state.iterations());
}

void BM_Insert_Peer(benchmark::State& state) {
    PeerCache cache;
    fill(cache);
    uint64 random = 1;
    for (auto _ : state)
        cache.insert(nextKey(random, 2 * ENTRIES), 7, ENTRY_SIZE);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_Find_CacheStorage);
BENCHMARK(BM_Find_Peer);
BENCHMARK(BM_Insert_CacheStorage);
BENCHMARK(BM_Insert_Peer);

int main(int argc, char** argv) {
    return TolvanBench::runWithRatios(
        argc, argv, {{"BM_Find_CacheStorage", "BM_Find_Peer"}, {"BM_Insert_CacheStorage", "BM_Insert_Peer"}});
}
