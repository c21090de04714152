// AutoPtr<T>: sole ownership of one object allocated through the accounted allocator.
//
//   AutoPtr<Stream> s = makeAutoPtr<FileStream>(path);
#pragma once

#include "tolvan/common/allocator.h"

#include <cassert>
#include <new>
#include <type_traits>
#include <utility>

namespace Kalvex {

/// Constructs a T from `args` in a block from tolvanMalloc; the block is freed if the constructor throws.
template <typename T, typename... Args>
[[nodiscard]] T* tolvanNew(Args&&... args) {
    void* block = tolvanMalloc(sizeof(T), alignof(T));
    try {
        return new (block) T(std::forward<Args>(args)...);
    } catch (...) {
        tolvanFree(block);
        throw;
    }
}

/// Destroys an object made by tolvanNew (through its virtual destructor when it has one) and frees its
/// block; null is ignored. Works through a pointer to any base, also a non-first base of a polymorphic type.
template <typename T>
void tolvanDelete(T* object) noexcept {
    if (!object) return;
    void* block;
    if constexpr (std::is_polymorphic_v<T>) {
        block = dynamic_cast<void*>(const_cast<std::remove_cv_t<T>*>(object));
    } else {
        block = const_cast<std::remove_cv_t<T>*>(object);
    }
    object->~T();
    tolvanFree(block);
}

namespace Detail {
/// Destroys the object and frees it with tolvanFree (see tolvanDelete).
template <typename T>
struct DefaultDeleter {
    void operator()(T* object) const noexcept { tolvanDelete(object); }
};
} // namespace Detail

/// Sole owner of one object: movable, not copyable; the deleter runs when the owner is destroyed or reset.
template <typename T, typename Deleter = Detail::DefaultDeleter<T>>
class AutoPtr {
public:
    AutoPtr() noexcept = default;
    /// Owns nothing.
    AutoPtr(std::nullptr_t) noexcept {}
    /// Takes ownership of `object` (which the deleter must be able to release).
    explicit AutoPtr(T* object, Deleter deleter = Deleter()) noexcept
        : mObject(object)
        , mDeleter(deleter) {}
    /// Takes over the content of `other`.
    AutoPtr(AutoPtr&& other) noexcept
        : mObject(other.release())
        , mDeleter(std::move(other.mDeleter)) {}
    /// Converts from an AutoPtr of a derived type with the default deleter.
    template <typename U>
    requires(std::is_convertible_v<U*, T*> && !std::is_same_v<U, T> &&
             std::is_same_v<Deleter, Detail::DefaultDeleter<T>>) AutoPtr(AutoPtr<U>&& other)
    noexcept
        : mObject(other.release()) {}
    /// Replaces the content with that of `other`.
    AutoPtr& operator=(AutoPtr&& other) noexcept {
        if (this != &other) {
            reset(other.release());
            mDeleter = std::move(other.mDeleter);
        }
        return *this;
    }
    AutoPtr(const AutoPtr&) = delete;
    AutoPtr& operator=(const AutoPtr&) = delete;
    ~AutoPtr() { reset(); }

    /// The owned object; null when there is none.
    [[nodiscard]] T* get() const noexcept { return mObject; }
    /// The owned object, which must exist.
    T* operator->() const noexcept {
        assert(mObject && "dereferencing an empty AutoPtr");
        return mObject;
    }
    /// The owned object, which must exist.
    T& operator*() const noexcept {
        assert(mObject && "dereferencing an empty AutoPtr");
        return *mObject;
    }
    /// True when an object is owned.
    explicit operator bool() const noexcept { return mObject != nullptr; }
    /// True when no object is owned.
    [[nodiscard]] bool isNull() const noexcept { return mObject == nullptr; }

    /// Gives up ownership without deleting; returns the object.
    [[nodiscard]] T* release() noexcept { return std::exchange(mObject, nullptr); }
    /// Deletes the current object (if any) and takes `object`.
    void reset(T* object = nullptr) noexcept {
        T* old = std::exchange(mObject, object);
        if (old) mDeleter(old);
    }

private:
    template <typename U, typename D>
    friend class AutoPtr;

    T* mObject = nullptr;
    [[no_unique_address]] Deleter mDeleter;
};

/// A new T owned by an AutoPtr.
template <typename T, typename... Args>
[[nodiscard]] AutoPtr<T> makeAutoPtr(Args&&... args) {
    return AutoPtr<T>(tolvanNew<T>(std::forward<Args>(args)...));
}

} // namespace Kalvex
