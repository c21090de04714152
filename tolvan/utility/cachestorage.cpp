// CacheStorage: a doubly linked list of entries, least recently used at the front, under one SimpleLock.
#include "tolvan/utility/cachestorage.h"

#include "tolvan/thread/lock.h"

#include <atomic>

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
        for (Entry* e = mFront; e; e = e->mNext) {
            if (e->mKey == key) return e;
        }
        return nullptr;
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
        while (Entry* e = mFront) {
            unlink(e);
            tolvanDelete(e);
        }
    }

    // Drops front entries while the sizes exceed the cap, at most once per entry present.
    void evictOverCap() noexcept {
        const uint64 cap = mMemoryCap.load(std::memory_order_relaxed);
        for (int64 budget = mCount; budget > 0 && uint64(mDeclaredSize) > cap; --budget) {
            Entry* oldest = mFront;
            unlink(oldest);
            tolvanDelete(oldest);
        }
    }

    Entry* mFront = nullptr;
    Entry* mBack = nullptr;
    int64 mCount = 0;
    int64 mDeclaredSize = 0; // the sum of the entries' declared sizes, kept up to date by append/unlink
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
    Entry* fresh = tolvanNew<Entry>(key, std::move(value), size > 0 ? int32(size) : 0);
    if (Entry* old = mStorage->findEntry(key)) {
        mStorage->unlink(old);
        tolvanDelete(old);
    }
    mStorage->append(fresh);
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
