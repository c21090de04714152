// Any: one value of any copyable type together with its type identity.
//
//   Any a = Any::make<int>(3);
//   if (const int* v = a.get<int>()) ...
#pragma once

#include "tolvan/containers/autoptr.h"

#include <type_traits>
#include <typeinfo>
#include <utility>

namespace Kalvex {

/// Holds a copy of one value (or nothing); copying an Any copies the value. get<T>() answers null when
/// the held type is not exactly T.
class Any {
public:
    Any() noexcept = default;
    /// Holds a copy of `value` (moved in when it is an rvalue).
    template <typename T>
    requires(!std::is_same_v<std::decay_t<T>, Any> && std::is_copy_constructible_v<std::decay_t<T>>)
        Any(T&& value)
        : mHolder(makeAutoPtr<Holder<std::decay_t<T>>>(std::forward<T>(value))) {}
    /// Copies `other`.
    Any(const Any& other)
        : mHolder(other.mHolder ? other.mHolder->clone() : AutoPtr<HolderBase>()) {}
    /// Takes over the content of `other`.
    Any(Any&& other) noexcept = default;
    /// Replaces the content with a copy of `other`.
    Any& operator=(const Any& other) {
        if (this != &other) *this = Any(other);
        return *this;
    }
    /// Replaces the content with that of `other`.
    Any& operator=(Any&& other) noexcept = default;

    /// Holds a T constructed in place from `args`.
    template <typename T, typename... Args>
    [[nodiscard]] static Any make(Args&&... args) {
        Any a;
        a.mHolder = makeAutoPtr<Holder<T>>(std::forward<Args>(args)...);
        return a;
    }

    /// True when nothing is held.
    [[nodiscard]] bool isEmpty() const noexcept { return !mHolder; }
    /// The held type's identity; typeid(void) when empty.
    [[nodiscard]] const std::type_info& getType() const noexcept {
        return mHolder ? mHolder->type() : typeid(void);
    }
    /// True when the held value's type is exactly T.
    template <typename T>
    [[nodiscard]] bool is() const noexcept {
        return mHolder && mHolder->type() == typeid(T);
    }
    /// The held value when its type is exactly T, else null.
    template <typename T>
    [[nodiscard]] T* get() noexcept {
        return is<T>() ? &static_cast<Holder<T>*>(mHolder.get())->mValue : nullptr;
    }
    /// The held value when its type is exactly T, else null.
    template <typename T>
    [[nodiscard]] const T* get() const noexcept {
        return is<T>() ? &static_cast<const Holder<T>*>(mHolder.get())->mValue : nullptr;
    }
    /// Destroys the held value; the Any is empty afterwards.
    void reset() noexcept { mHolder.reset(); }

private:
    struct HolderBase {
        virtual ~HolderBase() = default;
        virtual const std::type_info& type() const noexcept = 0;
        virtual AutoPtr<HolderBase> clone() const = 0;
    };
    template <typename T>
    struct Holder final : HolderBase {
        template <typename... Args>
        explicit Holder(Args&&... args)
            : mValue(std::forward<Args>(args)...) {}
        const std::type_info& type() const noexcept override { return typeid(T); }
        AutoPtr<HolderBase> clone() const override { return makeAutoPtr<Holder>(mValue); }
        T mValue;
    };

    AutoPtr<HolderBase> mHolder;
};

} // namespace Kalvex
