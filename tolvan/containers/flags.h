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
    /// The unsigned integer type holding the bits.
    using Underlying = std::make_unsigned_t<std::underlying_type_t<E>>;

    constexpr Flags() noexcept = default;
    /// Only the flag `value` set.
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
    /// True when no flag is set.
    [[nodiscard]] constexpr bool isEmpty() const noexcept { return mBits == 0; }
    /// The bits of the set flags.
    [[nodiscard]] constexpr Underlying getBits() const noexcept { return mBits; }
    /// Sets (or, with `on` false, clears) `value`; returns this.
    constexpr Flags& set(E value, bool on = true) noexcept {
        mBits = on ? (mBits | Underlying(value)) : (mBits & ~Underlying(value));
        return *this;
    }
    /// Clears `value`; returns this.
    constexpr Flags& clear(E value) noexcept { return set(value, false); }

    /// The flags set in either.
    constexpr Flags operator|(Flags o) const noexcept { return fromBits(mBits | o.mBits); }
    /// The flags set in both.
    constexpr Flags operator&(Flags o) const noexcept { return fromBits(mBits & o.mBits); }
    /// The flags set in exactly one.
    constexpr Flags operator^(Flags o) const noexcept { return fromBits(mBits ^ o.mBits); }
    /// Every bit inverted.
    constexpr Flags operator~() const noexcept { return fromBits(Underlying(~mBits)); }
    /// Adds the flags of `o`; returns this.
    constexpr Flags& operator|=(Flags o) noexcept { return *this = *this | o; }
    /// Keeps only the flags also in `o`; returns this.
    constexpr Flags& operator&=(Flags o) noexcept { return *this = *this & o; }
    /// Toggles the flags of `o`; returns this.
    constexpr Flags& operator^=(Flags o) noexcept { return *this = *this ^ o; }
    /// True when any flag is set.
    constexpr explicit operator bool() const noexcept { return mBits != 0; }
    /// Equal when the same bits are set.
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
