// SharedPtr<T> / WeakPtr<T>: shared ownership with atomic strong and weak counts.
//
//   SharedPtr<Task> t = makeShared<Task>(...);   // object and counts in one block
//   WeakPtr<Task> w = t;
//   if (SharedPtr<Task> again = w.lock()) ...
//
// Every strong reference also counts as a weak one: a new control block starts at strong 1, weak 1;
// a strong copy adds one to both. The object is destroyed when the strong count reaches 0, the control
// block freed when the weak count reaches 0.
#pragma once

#include "tolvan/containers/autoptr.h"

#include <atomic>
#include <cassert>
#include <type_traits>
#include <utility>

namespace Kalvex {

template <typename T>
class SharedPtr;
template <typename T>
class WeakPtr;
template <typename T>
class EnableSharedFromThis;

namespace Detail {

/// Reference counts of one shared object. Operations in slot order: destructor, destroy the object,
/// free the block, give the object pointer.
class ControlBlockBase {
public:
    virtual ~ControlBlockBase() = default;
    virtual void destroyObject() noexcept = 0;
    virtual void freeBlock() noexcept = 0;
    virtual void* getObject() noexcept = 0;

    [[nodiscard]] int getStrongCount() const noexcept { return mStrong.load(std::memory_order_acquire); }
    [[nodiscard]] int getWeakCount() const noexcept { return mWeak.load(std::memory_order_acquire); }

    void addStrong() noexcept {
        mStrong.fetch_add(1, std::memory_order_relaxed);
        mWeak.fetch_add(1, std::memory_order_relaxed);
    }
    void releaseStrong() noexcept {
        if (mStrong.fetch_sub(1, std::memory_order_acq_rel) == 1) destroyObject();
        releaseWeak();
    }
    void addWeak() noexcept { mWeak.fetch_add(1, std::memory_order_relaxed); }
    void releaseWeak() noexcept {
        if (mWeak.fetch_sub(1, std::memory_order_acq_rel) == 1) freeBlock();
    }
    /// Adds a strong reference unless the object is already gone; returns whether it did.
    bool tryAddStrong() noexcept {
        int strong = mStrong.load(std::memory_order_relaxed);
        while (strong != 0) {
            if (mStrong.compare_exchange_weak(strong, strong + 1, std::memory_order_acq_rel,
                                              std::memory_order_relaxed)) {
                mWeak.fetch_add(1, std::memory_order_relaxed);
                return true;
            }
        }
        return false;
    }

protected:
    ControlBlockBase() noexcept = default;

private:
    std::atomic<int32_t> mStrong{1};
    std::atomic<int32_t> mWeak{1};
};

/// Control block for an object allocated elsewhere and released by `Deleter`.
template <typename T, typename Deleter>
class PointerControlBlock final : public ControlBlockBase {
public:
    PointerControlBlock(T* object, Deleter deleter) noexcept
        : mObject(object)
        , mDeleter(std::move(deleter)) {}
    void destroyObject() noexcept override { mDeleter(mObject); }
    void freeBlock() noexcept override { tolvanDelete(this); }
    void* getObject() noexcept override { return mObject; }

private:
    T* mObject;
    [[no_unique_address]] Deleter mDeleter;
};

} // namespace Detail

/// Keeps the object inside the same allocation as the counts (one block for both).
template <typename T>
class CompositeControlBlock final : public Detail::ControlBlockBase {
public:
    /// Constructs the T in the block from `args`.
    template <typename... Args>
    explicit CompositeControlBlock(Args&&... args) {
        new (mStorage) T(std::forward<Args>(args)...);
    }
    /// Runs the object's destructor.
    void destroyObject() noexcept override { object()->~T(); }
    /// Frees the block.
    void freeBlock() noexcept override {
        // The object is already destroyed; only the block remains.
        this->~CompositeControlBlock();
        tolvanFree(this);
    }
    /// The object's address.
    void* getObject() noexcept override { return object(); }
    /// The object in the block.
    T* object() noexcept { return std::launder(reinterpret_cast<T*>(mStorage)); }

private:
    alignas(T) unsigned char mStorage[sizeof(T)];
};

/// Shared owner of one object. Copies and releases may happen concurrently on different threads; the
/// object itself is not protected.
template <typename T>
class SharedPtr {
public:
    SharedPtr() noexcept = default;
    /// Shares nothing.
    SharedPtr(std::nullptr_t) noexcept {}
    /// Takes ownership of an object made by tolvanNew (released with Detail::DefaultDeleter).
    explicit SharedPtr(T* object)
        : SharedPtr(object, Detail::DefaultDeleter<T>()) {}
    /// Takes ownership of `object`, released by `deleter`. If the control block cannot be allocated, the
    /// object is released and BadAlloc propagates.
    template <typename Deleter>
    SharedPtr(T* object, Deleter deleter) {
        if (!object) return;
        try {
            mBlock = tolvanNew<Detail::PointerControlBlock<T, Deleter>>(object, deleter);
        } catch (...) {
            deleter(object);
            throw;
        }
        mObject = object;
        enableSharedFromThis();
    }
    /// Takes the object of an AutoPtr.
    template <typename U>
    requires std::is_convertible_v<U*, T*> SharedPtr(AutoPtr<U>&& owner)
        : SharedPtr(static_cast<T*>(owner.release())) {}
    /// Copies `other`.
    SharedPtr(const SharedPtr& other) noexcept
        : mObject(other.mObject)
        , mBlock(other.mBlock) {
        if (mBlock) mBlock->addStrong();
    }
    /// Takes over the content of `other`.
    SharedPtr(SharedPtr&& other) noexcept
        : mObject(std::exchange(other.mObject, nullptr))
        , mBlock(std::exchange(other.mBlock, nullptr)) {}
    /// Shares the object of `other` (a derived type).
    template <typename U>
    requires(std::is_convertible_v<U*, T*> && !std::is_same_v<U, T>) SharedPtr(const SharedPtr<U>& other)
    noexcept
        : mObject(other.mObject)
        , mBlock(other.mBlock) {
        if (mBlock) mBlock->addStrong();
    }
    /// Takes over the share of `other` (a derived type).
    template <typename U>
    requires(std::is_convertible_v<U*, T*> && !std::is_same_v<U, T>) SharedPtr(SharedPtr<U>&& other)
    noexcept
        : mObject(std::exchange(other.mObject, nullptr))
        , mBlock(std::exchange(other.mBlock, nullptr)) {}
    /// Replaces the content with `other` (copied or moved in).
    SharedPtr& operator=(SharedPtr other) noexcept {
        swap(other);
        return *this;
    }
    ~SharedPtr() {
        if (mBlock) mBlock->releaseStrong();
    }

    /// The shared object; null when there is none.
    [[nodiscard]] T* get() const noexcept { return mObject; }
    /// The shared object, which must exist.
    T* operator->() const noexcept {
        assert(mObject && "dereferencing an empty SharedPtr");
        return mObject;
    }
    /// The shared object, which must exist.
    T& operator*() const noexcept {
        assert(mObject && "dereferencing an empty SharedPtr");
        return *mObject;
    }
    /// True when an object is shared.
    explicit operator bool() const noexcept { return mObject != nullptr; }
    /// True when no object is shared.
    [[nodiscard]] bool isNull() const noexcept { return mObject == nullptr; }
    /// Number of strong references (0 when empty); a snapshot under concurrency.
    [[nodiscard]] int getUseCount() const noexcept { return mBlock ? mBlock->getStrongCount() : 0; }
    /// Releases the reference; the pointer becomes empty.
    void reset() noexcept { SharedPtr().swap(*this); }
    /// Exchanges the contents with `other`.
    void swap(SharedPtr& other) noexcept {
        std::swap(mObject, other.mObject);
        std::swap(mBlock, other.mBlock);
    }
    /// The control block (for diagnostics and tests).
    [[nodiscard]] Detail::ControlBlockBase* getControlBlock() const noexcept { return mBlock; }

    /// Equal when both share the same object (or both none).
    friend bool operator==(const SharedPtr& a, const SharedPtr& b) noexcept { return a.mObject == b.mObject; }
    /// True when `a` shares no object.
    friend bool operator==(const SharedPtr& a, std::nullptr_t) noexcept { return a.mObject == nullptr; }

    /// Shares ownership of `block`'s object viewed as `object` (the reference is already counted).
    static SharedPtr adopt(T* object, Detail::ControlBlockBase* block) noexcept {
        SharedPtr p;
        p.mObject = object;
        p.mBlock = block;
        return p;
    }

private:
    template <typename U>
    friend class SharedPtr;
    template <typename U>
    friend class WeakPtr;
    template <typename U, typename... Args>
    friend SharedPtr<U> makeShared(Args&&... args);

    void enableSharedFromThis() noexcept;

    T* mObject = nullptr;
    Detail::ControlBlockBase* mBlock = nullptr;
};

/// A weak reference: does not keep the object alive, only the control block. lock() promotes it.
template <typename T>
class WeakPtr {
public:
    WeakPtr() noexcept = default;
    /// Refers to the object of `shared` without keeping it alive.
    template <typename U>
    requires std::is_convertible_v<U*, T*> WeakPtr(const SharedPtr<U>& shared)
    noexcept
        : mObject(shared.mObject)
        , mBlock(shared.mBlock) {
        if (mBlock) mBlock->addWeak();
    }
    /// Copies `other`.
    WeakPtr(const WeakPtr& other) noexcept
        : mObject(other.mObject)
        , mBlock(other.mBlock) {
        if (mBlock) mBlock->addWeak();
    }
    /// Takes over the content of `other`.
    WeakPtr(WeakPtr&& other) noexcept
        : mObject(std::exchange(other.mObject, nullptr))
        , mBlock(std::exchange(other.mBlock, nullptr)) {}
    /// Replaces the content with `other` (copied or moved in).
    WeakPtr& operator=(WeakPtr other) noexcept {
        std::swap(mObject, other.mObject);
        std::swap(mBlock, other.mBlock);
        return *this;
    }
    ~WeakPtr() {
        if (mBlock) mBlock->releaseWeak();
    }

    /// A strong reference, or an empty SharedPtr when the object is already destroyed.
    [[nodiscard]] SharedPtr<T> lock() const noexcept {
        if (mBlock && mBlock->tryAddStrong()) return SharedPtr<T>::adopt(mObject, mBlock);
        return SharedPtr<T>();
    }
    /// True when there is no object any more (or never was).
    [[nodiscard]] bool isExpired() const noexcept { return !mBlock || mBlock->getStrongCount() == 0; }
    /// Refers to nothing afterwards.
    void reset() noexcept { WeakPtr().swap(*this); }
    /// Exchanges the contents with `other`.
    void swap(WeakPtr& other) noexcept {
        std::swap(mObject, other.mObject);
        std::swap(mBlock, other.mBlock);
    }

private:
    T* mObject = nullptr;
    Detail::ControlBlockBase* mBlock = nullptr;
};

/// Base that lets an object owned by a SharedPtr make further SharedPtrs to itself.
template <typename T>
class EnableSharedFromThis {
public:
    /// A SharedPtr to this object; empty when it is not (or no longer) owned by a SharedPtr.
    [[nodiscard]] SharedPtr<T> sharedFromThis() const noexcept { return mWeakThis.lock(); }
    /// A weak reference to this object (empty until a SharedPtr owns it).
    [[nodiscard]] WeakPtr<T> weakFromThis() const noexcept { return mWeakThis; }

protected:
    EnableSharedFromThis() noexcept = default;
    /// Copies the other object.
    EnableSharedFromThis(const EnableSharedFromThis&) noexcept {}
    /// Replaces the content with a copy of the other object.
    EnableSharedFromThis& operator=(const EnableSharedFromThis&) noexcept { return *this; }
    ~EnableSharedFromThis() = default;

private:
    template <typename U>
    friend class SharedPtr;
    mutable WeakPtr<T> mWeakThis;
};

namespace Detail {
template <typename T>
auto sharedFromThisBase(EnableSharedFromThis<T>* p) -> EnableSharedFromThis<T>*;
void sharedFromThisBase(...);
} // namespace Detail

template <typename T>
void SharedPtr<T>::enableSharedFromThis() noexcept {
    using Base = decltype(Detail::sharedFromThisBase(static_cast<std::remove_cv_t<T>*>(nullptr)));
    if constexpr (!std::is_void_v<Base>) {
        Base base = const_cast<std::remove_cv_t<T>*>(mObject);
        if (base->mWeakThis.isExpired()) base->mWeakThis = *this;
    }
}

/// A new T and its counts in one CompositeControlBlock.
template <typename T, typename... Args>
[[nodiscard]] SharedPtr<T> makeShared(Args&&... args) {
    auto* block = tolvanNew<CompositeControlBlock<T>>(std::forward<Args>(args)...);
    SharedPtr<T> p = SharedPtr<T>::adopt(block->object(), block);
    p.enableSharedFromThis();
    return p;
}

/// A SharedPtr of the same object viewed as U (static_cast); shares the counts.
template <typename U, typename T>
[[nodiscard]] SharedPtr<U> staticPointerCast(const SharedPtr<T>& p) noexcept {
    if (!p) return SharedPtr<U>();
    p.getControlBlock()->addStrong();
    return SharedPtr<U>::adopt(static_cast<U*>(p.get()), p.getControlBlock());
}

/// As staticPointerCast with dynamic_cast; empty when the object is not a U.
template <typename U, typename T>
[[nodiscard]] SharedPtr<U> dynamicPointerCast(const SharedPtr<T>& p) noexcept {
    U* object = dynamic_cast<U*>(p.get());
    if (!object) return SharedPtr<U>();
    p.getControlBlock()->addStrong();
    return SharedPtr<U>::adopt(object, p.getControlBlock());
}

} // namespace Kalvex
