// CacheStorage: a doubly linked list of entries, least recently used at the front, and a hash index from
// key to entry beside it, both under one SimpleLock.
#include "tolvan/utility/cachestorage.h"

#include "tolvan/thread/lock.h"

#include <atomic>
#include <unordered_map>

namespace Kalvex {

namespace {

struct Entry {
    Entry(uint64 key, Any&& value, int32 size)
        : mKey(key)
        , mValue(std::move(value))
        , mSize(size) {}

    uint64 mKey;
    Any mValue;
    int32 mSize;
    Entry* mPrevious = nullptr;
    Entry* mNext = nullptr;
};

} // namespace

struct CacheStorage::Storage {
    explicit Storage(uint64 cap)
        : mMemoryCap(cap) {}
    ~Storage() { destroyAll(); }

    Entry* findEntry(uint64 key) const noexcept {
        const auto it = mIndex.find(key);
        return it == mIndex.end() ? nullptr : it->second;
    }

    // Stores `fresh` as the most recently used entry, replacing (and destroying) an entry with its key.
    // When indexing a new key runs out of memory, the cache stays as it was and `fresh` is destroyed.
    void insert(AutoPtr<Entry> fresh) {
        const auto [it, added] = mIndex.try_emplace(fresh->mKey, fresh.get());
        if (!added) {
            unlink(it->second);
            tolvanDelete(it->second);
            it->second = fresh.get();
        }
        append(fresh.release());
    }

    // Unlinks, unindexes and destroys `e`.
    void destroy(Entry* e) noexcept {
        unlink(e);
        mIndex.erase(e->mKey);
        tolvanDelete(e);
    }

    void unlink(Entry* e) noexcept {
        (e->mPrevious ? e->mPrevious->mNext : mFront) = e->mNext;
        (e->mNext ? e->mNext->mPrevious : mBack) = e->mPrevious;
        e->mPrevious = e->mNext = nullptr;
        --mCount;
        mDeclaredSize -= e->mSize;
    }

    void append(Entry* e) noexcept {
        e->mPrevious = mBack;
        e->mNext = nullptr;
        (mBack ? mBack->mNext : mFront) = e;
        mBack = e;
        ++mCount;
        mDeclaredSize += e->mSize;
    }

    void destroyAll() noexcept {
        while (Entry* e = mFront)
            destroy(e);
    }

    // Drops front entries while the sizes exceed the cap, at most once per entry present.
    void evictOverCap() noexcept {
        const uint64 cap = mMemoryCap.load(std::memory_order_relaxed);
        for (int64 budget = mCount; budget > 0 && uint64(mDeclaredSize) > cap; --budget)
            destroy(mFront);
    }

    Entry* mFront = nullptr;
    Entry* mBack = nullptr;
    int64 mCount = 0;
    int64 mDeclaredSize = 0; // the sum of the entries' declared sizes, kept up to date by append/unlink
    std::unordered_map<uint64, Entry*> mIndex; // every entry of the list under its key
    // Written without the lock (setMemoryCap), so kept atomic.
    std::atomic<uint64> mMemoryCap;
    mutable SimpleLock mLock;
};

CacheStorage::CacheStorage(uint64 memoryCap)
    : mStorage(tolvanNew<Storage>(memoryCap)) {}

CacheStorage::~CacheStorage() = default;

void CacheStorage::setMemoryCap(uint64 memoryCap) noexcept {
    mStorage->mMemoryCap.store(memoryCap, std::memory_order_relaxed);
}

uint64 CacheStorage::getMemoryCap() const noexcept {
    return mStorage->mMemoryCap.load(std::memory_order_relaxed);
}

void CacheStorage::clear() noexcept {
    const ScopedLock<SimpleLock> guard(mStorage->mLock);
    mStorage->destroyAll();
}

Optional<Any> CacheStorage::findAny(uint64 key) {
    const ScopedLock<SimpleLock> guard(mStorage->mLock);
    Entry* e = mStorage->findEntry(key);
    if (!e) return NONE;
    if (e != mStorage->mBack) {
        mStorage->unlink(e);
        mStorage->append(e);
    }
    return e->mValue;
}

void CacheStorage::insertAny(uint64 key, Any&& value, int size) {
    const ScopedLock<SimpleLock> guard(mStorage->mLock);
    // Allocate first: when memory runs out the cache stays as it was.
    mStorage->insert(AutoPtr<Entry>(tolvanNew<Entry>(key, std::move(value), size > 0 ? int32(size) : 0)));
    mStorage->evictOverCap();
}

bool CacheStorage::contains(uint64 key) const {
    const ScopedLock<SimpleLock> guard(mStorage->mLock);
    return mStorage->findEntry(key) != nullptr;
}

int64 CacheStorage::getEntryCount() const {
    const ScopedLock<SimpleLock> guard(mStorage->mLock);
    return mStorage->mCount;
}

int64 CacheStorage::getDeclaredSize() const {
    const ScopedLock<SimpleLock> guard(mStorage->mLock);
    return mStorage->mDeclaredSize;
}

} // namespace Kalvex
