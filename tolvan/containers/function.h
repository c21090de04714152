// Function<R(Args...)>: a shared, type-erased callable.
//
//   Function<int(int)> twice = [](int x) { return 2 * x; };
//   Function<int(int)> same = twice;          // shares the wrapped callable
//   Function<int(int)> own = twice.clone();   // an independent copy of it
#pragma once

#include "tolvan/common/exception.h"
#include "tolvan/containers/sharedptr.h"

#include <type_traits>
#include <utility>

namespace Kalvex {

template <typename Signature>
class Function;

namespace Detail {

/// The wrapped callable. Operations in slot order: destructor, invoke, clone.
template <typename Signature>
class IWrapperFunction;

template <typename R, typename... Args>
class IWrapperFunction<R(Args...)> {
public:
    virtual ~IWrapperFunction() = default;
    virtual R invoke(Args... args) = 0;
    /// An independent copy in a new CompositeControlBlock.
    virtual SharedPtr<IWrapperFunction> clone() const = 0;
};

template <typename F, typename Signature>
class WrapperFunction;

template <typename F, typename R, typename... Args>
class WrapperFunction<F, R(Args...)> final : public IWrapperFunction<R(Args...)> {
public:
    template <typename G>
    explicit WrapperFunction(G&& f)
        : mCallable(std::forward<G>(f)) {}
    R invoke(Args... args) override {
        if constexpr (std::is_void_v<R>) {
            mCallable(std::forward<Args>(args)...);
        } else {
            return mCallable(std::forward<Args>(args)...);
        }
    }
    SharedPtr<IWrapperFunction<R(Args...)>> clone() const override {
        return makeShared<WrapperFunction>(mCallable);
    }

private:
    F mCallable;
};

} // namespace Detail

/// A shared, copyable wrapper of a callable with the signature R(Args...); copies call the same callable.
template <typename R, typename... Args>
class Function<R(Args...)> {
public:
    /// The wrapped callable's interface.
    using Wrapper = Detail::IWrapperFunction<R(Args...)>;

    Function() noexcept = default;
    /// Wraps nothing.
    Function(std::nullptr_t) noexcept {}
    /// Wraps a lambda, function object or function pointer (copied or moved into one shared block).
    template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, Function> && std::is_invocable_r_v<R, F&, Args...>)
        Function(F&& f) {
        if constexpr (std::is_pointer_v<std::decay_t<F>>) {
            if (!f) return;
        }
        mWrapper = makeShared<Detail::WrapperFunction<std::decay_t<F>, R(Args...)>>(std::forward<F>(f));
    }

    /// Calls the wrapped callable; throws Exception when the Function is empty.
    R operator()(Args... args) const {
        if (!mWrapper) throw Exception("Calling an empty Function");
        return mWrapper->invoke(std::forward<Args>(args)...);
    }
    /// True when a callable is wrapped.
    [[nodiscard]] bool isValid() const noexcept { return bool(mWrapper); }
    /// True when a callable is wrapped.
    explicit operator bool() const noexcept { return isValid(); }

    /// An independent copy of the callable (its captured state copied), not shared with this one.
    [[nodiscard]] Function clone() const {
        Function copy;
        if (mWrapper) copy.mWrapper = mWrapper->clone();
        return copy;
    }
    /// True when both refer to the same wrapped callable.
    [[nodiscard]] bool isSameAs(const Function& other) const noexcept { return mWrapper == other.mWrapper; }
    /// Lets go of the callable; the Function is empty afterwards.
    void reset() noexcept { mWrapper.reset(); }

    /// A reference to the wrapped callable that does not keep it alive.
    class Weak {
    public:
        Weak() noexcept = default;
        /// Refers to the callable of `function` without keeping it alive.
        explicit Weak(const Function& function) noexcept
            : mWrapper(function.mWrapper) {}
        /// The Function again while some Function still shares the callable; an empty one after.
        [[nodiscard]] Function lock() const noexcept {
            Function function;
            function.mWrapper = mWrapper.lock();
            return function;
        }

    private:
        WeakPtr<Wrapper> mWrapper;
    };

private:
    SharedPtr<Wrapper> mWrapper;
};

} // namespace Kalvex
