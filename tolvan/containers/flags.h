// Flags<E>: a set of enumerators of E, each enumerator being one bit.
#pragma once

#include <type_traits>

namespace Kalvex {

/// Each enumerator of E is a bit value (1, 2, 4, ...). `Flags<Mode> f = Mode::A | Mode::B` needs the
/// enumeration to opt in with KALVEX_DECLARE_FLAGS(Mode), or build with Flags(Mode::A) | Mode::B.
template <typename E>
class Flags {
public:
    static_assert(std::is_enum_v<E>, "Flags needs an enumeration");
    using Underlying = std::make_unsigned_t<std::underlying_type_t<E>>;

    constexpr Flags() noexcept = default;
    constexpr Flags(E value) noexcept
        : mBits(Underlying(value)) {}
    /// A set from its raw bits.
    [[nodiscard]] static constexpr Flags fromBits(Underlying bits) noexcept {
        Flags f;
        f.mBits = bits;
        return f;
    }

    /// True when every bit of `value` is set.
    [[nodiscard]] constexpr bool has(E value) const noexcept {
        return (mBits & Underlying(value)) == Underlying(value);
    }
    /// True when any bit of `other` is set.
    [[nodiscard]] constexpr bool hasAny(Flags other) const noexcept { return (mBits & other.mBits) != 0; }
    /// True when there are no elements.
    [[nodiscard]] constexpr bool isEmpty() const noexcept { return mBits == 0; }
    [[nodiscard]] constexpr Underlying getBits() const noexcept { return mBits; }
    constexpr Flags& set(E value, bool on = true) noexcept {
        mBits = on ? (mBits | Underlying(value)) : (mBits & ~Underlying(value));
        return *this;
    }
    constexpr Flags& clear(E value) noexcept { return set(value, false); }

    constexpr Flags operator|(Flags o) const noexcept { return fromBits(mBits | o.mBits); }
    constexpr Flags operator&(Flags o) const noexcept { return fromBits(mBits & o.mBits); }
    constexpr Flags operator^(Flags o) const noexcept { return fromBits(mBits ^ o.mBits); }
    constexpr Flags operator~() const noexcept { return fromBits(Underlying(~mBits)); }
    constexpr Flags& operator|=(Flags o) noexcept { return *this = *this | o; }
    constexpr Flags& operator&=(Flags o) noexcept { return *this = *this & o; }
    constexpr Flags& operator^=(Flags o) noexcept { return *this = *this ^ o; }
    constexpr explicit operator bool() const noexcept { return mBits != 0; }
    friend constexpr bool operator==(Flags a, Flags b) noexcept = default;

private:
    Underlying mBits = 0;
};

} // namespace Kalvex

/// Lets `E::A | E::B` build a Flags<E> for the enumeration E (write it in E's namespace).
#define KALVEX_DECLARE_FLAGS(E)                                                                              \
    constexpr ::Kalvex::Flags<E> operator|(E a, E b) noexcept {                                              \
        return ::Kalvex::Flags<E>(a) | b;                                                                    \
    }
