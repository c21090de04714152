// String: the library's text type, UTF-16 code units in one accounted heap block.
//
//   String name = u"scene";
//   name += u".max";
//   auto utf8 = name.toUtf8();          // CharBuffer<char>, zero-terminated
//   printf("%s\n", utf8.cStr());
//
// Every operation works unit by unit: surrogate pairs are two units to searches, reversal and case mapping.
#pragma once

#include "tolvan/common/allocator.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/stack.h"

#include <compare>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <string_view>
#include <utility>

namespace Kalvex {

/// Invariants: length() >= 0; when length() > 0 the buffer holds length() units followed by a zero unit
/// and capacity() >= length() + 1. An empty string may own no buffer. Positions and lengths are signed
/// 32-bit; searches return String::nPos when nothing is found.
/// Growth: a change that needs n units with capacity() < n reallocates to exactly
/// max(n, capacity + capacity / 2); operations that know their final size reserve exactly size + 1.
class String {
public:
    /// The code unit: UTF-16.
    using Unit = char16_t;

    /// Result of a failed search and the default bound meaning "to the end" (2147483647).
    static constexpr int nPos = 2147483647;

    /// How explode() treats empty pieces.
    enum ExplodeMode { KEEP_EMPTY = 0, SKIP_EMPTY = 1 };

    /// An owned, zero-terminated array of T (char or char16_t). A non-empty buffer's count() includes the
    /// terminator; an empty buffer has count() 0, no heap block, and cStr() pointing at an inline zero.
    template <typename T>
    class CharBuffer {
    public:
        CharBuffer() noexcept = default;
        /// Copies `length` units of `text` and appends the terminator (length 0 gives an empty buffer).
        CharBuffer(const T* text, int length) {
            if (length <= 0) return;
            reserve(length + 1);
            std::memcpy(mData, text, size_t(length) * sizeof(T));
            mData[length] = T(0);
            mCount = length + 1;
        }
        /// Copies `other`.
        CharBuffer(const CharBuffer& other)
            : CharBuffer(other.cStr(), other.length()) {}
        /// Takes over the content of `other`.
        CharBuffer(CharBuffer&& other) noexcept
            : mData(std::exchange(other.mData, nullptr))
            , mCount(std::exchange(other.mCount, 0))
            , mCapacity(std::exchange(other.mCapacity, 0)) {}
        /// Replaces the content with `other` (copied or moved in).
        CharBuffer& operator=(CharBuffer other) noexcept {
            std::swap(mData, other.mData);
            std::swap(mCount, other.mCount);
            std::swap(mCapacity, other.mCapacity);
            return *this;
        }
        ~CharBuffer() { tolvanFree(mData); }

        /// The zero-terminated content; never null.
        [[nodiscard]] const T* cStr() const noexcept { return mCount > 0 ? mData : &mZero; }
        /// The heap block (null when empty).
        [[nodiscard]] T* data() noexcept { return mData; }
        /// Pointer to the elements; may be null when there are none.
        [[nodiscard]] const T* data() const noexcept { return mData; }
        /// Number of units including the terminator; 0 for an empty buffer.
        [[nodiscard]] int count() const noexcept { return mCount; }
        /// Number of units before the terminator.
        [[nodiscard]] int length() const noexcept { return mCount > 0 ? mCount - 1 : 0; }
        /// True when there are no elements.
        [[nodiscard]] bool isEmpty() const noexcept { return mCount == 0; }
        /// Number of units the block holds.
        [[nodiscard]] int capacity() const noexcept { return mCapacity; }
        /// The content, without the terminator.
        [[nodiscard]] std::basic_string_view<T> view() const noexcept {
            return std::basic_string_view<T>(cStr(), size_t(length()));
        }

        /// Grows the block to at least `units` (content kept); for code that fills the buffer itself.
        void reserve(int units) {
            if (units <= mCapacity) return;
            T* block = static_cast<T*>(tolvanMalloc(size_t(units) * sizeof(T), alignof(T)));
            if (mCount > 0) std::memcpy(block, mData, size_t(mCount) * sizeof(T));
            tolvanFree(mData);
            mData = block;
            mCapacity = units;
        }
        /// Sets the count (terminator included) after the buffer was filled through data(); 0 empties it.
        void setCount(int count) noexcept { mCount = count > 0 && count <= mCapacity ? count : 0; }

    private:
        T* mData = nullptr;
        int mCount = 0;
        int mCapacity = 0;
        T mZero = T(0);
    };

    // Construction

    String() noexcept = default;
    /// Copies the units up to the terminator; null or "" gives an empty string.
    String(const char16_t* text);
    /// Copies `length` units (zero units included).
    String(const char16_t* text, int length);
    /// Copies the view's units.
    explicit String(std::u16string_view text);
    /// UTF-32 text (Linux wchar_t) stored as UTF-16; invalid code points become U+FFFD.
    String(const wchar_t* text);
    /// `count` copies of the unit `c`; count <= 0 gives an empty string.
    String(char16_t c, int count);
    /// `count` copies of `c` (above U+FFFF: of its surrogate pair).
    String(wchar_t c, int count);
    /// `count` copies of the byte `c` widened as a signed 8-bit value (the fromAscii rule).
    String(char c, int count);
    /// Copies `other`.
    String(const String& other);
    /// Takes over the content of `other`.
    String(String&& other) noexcept;
    /// Replaces the content with a copy of `other`.
    String& operator=(const String& other);
    /// Replaces the content with that of `other`.
    String& operator=(String&& other) noexcept;
    ~String() { tolvanFree(mData); }

    /// Each byte becomes one unit widened as a signed 8-bit value: 0x00-0x7F map to U+0000-U+007F,
    /// 0x80-0xFF to U+FF80-U+FFFF. Null or "" gives an empty string.
    [[nodiscard]] static String fromAscii(const char* text);
    /// As fromAscii(const char*), for the bytes of `text` (zero bytes included).
    [[nodiscard]] static String fromAscii(std::string_view text);
    /// Decodes zero-terminated UTF-8; each maximal ill-formed subsequence becomes one U+FFFD.
    [[nodiscard]] static String fromUtf8(const char* text);
    /// Decodes exactly the given bytes (zero bytes included) as UTF-8, as above. Throws Exception when
    /// the text decodes to more units than a String holds (2147483646).
    [[nodiscard]] static String fromUtf8(std::string_view text);
    /// Copies zero-terminated UTF-16 units unchanged; null or empty gives an empty string.
    [[nodiscard]] static String fromUtf16(const char16_t* text);

    // Conversions out

    /// One byte per unit: units below 128 are copied, every other unit becomes `replacement`.
    [[nodiscard]] CharBuffer<char> toAscii(char replacement = '?') const;
    /// UTF-8 of the content up to its first zero unit; unpaired surrogates become U+FFFD.
    [[nodiscard]] CharBuffer<char> toUtf8() const;
    /// The units unchanged plus the terminator.
    [[nodiscard]] CharBuffer<char16_t> toUtf16() const;

    // Access

    /// Number of UTF-16 units, without the terminator.
    [[nodiscard]] int length() const noexcept { return mLength; }
    /// True when the length is 0.
    [[nodiscard]] bool isEmpty() const noexcept { return mLength == 0; }
    /// Number of units the storage holds before it grows.
    [[nodiscard]] int capacity() const noexcept { return mCapacity; }
    /// The zero-terminated units; never null (a static empty string when empty).
    [[nodiscard]] const char16_t* cStr() const noexcept { return mLength > 0 ? mData : EMPTY; }
    /// The zero-terminated units, as cStr().
    [[nodiscard]] const char16_t* data() const noexcept { return cStr(); }
    /// The units, without the terminator.
    [[nodiscard]] std::u16string_view view() const noexcept {
        return std::u16string_view(cStr(), size_t(mLength));
    }
    /// Unit `i`; `i` must be below length().
    char16_t operator[](int i) const noexcept { return mData[i]; }
    /// Unit `i`; `i` must be below length().
    char16_t& operator[](int i) noexcept { return mData[i]; }
    /// Pointer to the first element.
    const char16_t* begin() const noexcept { return cStr(); }
    /// Pointer past the last element.
    const char16_t* end() const noexcept { return cStr() + mLength; }
    /// Grows the buffer to at least `units` without changing the content.
    void reserve(int units);

    // Search: every search returns a position or nPos.

    /// First p with from <= p < to and p <= length() - what.length() where `what` occurs; an empty `what`
    /// returns `from`. Pass to = 1 to test for a prefix.
    [[nodiscard]] int find(const String& what, int from = 0, int to = nPos) const noexcept;
    /// First position >= from holding `c`.
    [[nodiscard]] int find(char16_t c, int from = 0) const noexcept { return findFirstOf(c, from); }
    /// First position >= max(from, 0) whose unit is in `set` (read up to its first zero unit).
    [[nodiscard]] int findFirstOf(const String& set, int from = 0) const noexcept;
    /// Index of the first unit equal to `c` from index `from`; nPos when there is none.
    [[nodiscard]] int findFirstOf(char16_t c, int from = 0) const noexcept;
    /// First position >= max(from, 0) whose unit is not in `set`; an empty set returns max(from, 0).
    [[nodiscard]] int findFirstNotOf(const String& set, int from = 0) const noexcept;
    /// Index of the first unit other than `c` from index `from`; nPos when there is none.
    [[nodiscard]] int findFirstNotOf(char16_t c, int from = 0) const noexcept;
    /// Last position <= min(from, length() - 1) whose unit is in `set`.
    [[nodiscard]] int findLastOf(const String& set, int from = nPos) const noexcept;
    /// Index of the last unit equal to `c` at or before `from`; nPos when there is none.
    [[nodiscard]] int findLastOf(char16_t c, int from = nPos) const noexcept;
    /// Last position <= min(from, length() - 1) whose unit is not in `set`; an empty set returns that start.
    [[nodiscard]] int findLastNotOf(const String& set, int from = nPos) const noexcept;
    /// Index of the last unit other than `c` at or before `from`; nPos when there is none.
    [[nodiscard]] int findLastNotOf(char16_t c, int from = nPos) const noexcept;
    /// True when the string begins with `prefix` (unit by unit).
    [[nodiscard]] bool startsWith(const String& prefix) const noexcept;
    /// True when the string ends with `suffix` (unit by unit).
    [[nodiscard]] bool endsWith(const String& suffix) const noexcept;
    /// True when `what` occurs in the string.
    [[nodiscard]] bool contains(const String& what) const noexcept { return find(what) != nPos; }

    // Editing

    /// Removes min(length() - from, count) units at `from` (from is clamped to 0..length()).
    void erase(int from, int count = nPos) noexcept;
    /// The min(length() - from, count) units at `from`; empty when that is <= 0 (from is clamped to >= 0).
    [[nodiscard]] String getSubstr(int from, int count = nPos) const;
    /// Replaces every non-overlapping occurrence of `what`, scanning left to right; returns the count.
    /// An empty `what` replaces nothing and returns 0.
    int replaceAll(const String& what, const String& with);
    /// Reverses the order of the code units.
    String& reverse() noexcept;
    /// Removes leading and trailing units of "\n\t\v\f\r ".
    String& trim();
    /// Maps every unit through towlower / towupper (the C library's current locale).
    String& toLowerCase() noexcept;
    /// Converts the string to upper case in place; returns it.
    String& toUpperCase() noexcept;
    /// Deletes every unit of "\t\n\r/\\?%*:|\"<>".
    String& toFilename() noexcept;
    /// Replaces every unit other than A-Z, a-z, 0-9 and "_" with "_"; an empty string becomes "BLANK".
    String& toIdentifier();
    /// The content between two double quotes, nothing escaped.
    [[nodiscard]] String quoted() const;
    /// Pieces between occurrences of `separator`: "a,,b," gives "a", "", "b", "" (KEEP_EMPTY) or "a", "b"
    /// (SKIP_EMPTY). An empty separator gives the whole string as one piece (none if it is empty and
    /// SKIP_EMPTY).
    [[nodiscard]] Stack<String> explode(const String& separator, ExplodeMode mode = KEEP_EMPTY) const;

    // Appending

    /// Appends `count` units from `units`; returns this string.
    String& append(const char16_t* units, int count);
    /// Appends `other`; returns this string.
    String& append(const String& other) { return append(other.cStr(), other.mLength); }
    /// Appends `other`; returns this string.
    String& operator+=(const String& other) { return append(other); }
    /// Appends one unit.
    String& operator<<(char16_t c) {
        if (mCapacity >= mLength + 2) { // fast path: room for the unit and the terminator
            mData[mLength++] = c;
            mData[mLength] = 0;
            return *this;
        }
        return append(&c, 1);
    }
    /// Appends the code point (a surrogate pair above U+FFFF; U+FFFD when invalid).
    String& operator<<(wchar_t c);
    /// Appends the byte widened as a signed 8-bit value.
    String& operator<<(char c) { return *this << char16_t(int16(int8(c))); }
    /// Appends `other`; returns this string.
    String& operator<<(const String& other) { return append(other); }

    // Comparison: by code units.

    /// Equal when both hold the same units.
    friend bool operator==(const String& a, const String& b) noexcept { return a.view() == b.view(); }
    /// Equal when `b` holds the same units up to its terminator.
    friend bool operator==(const String& a, const char16_t* b) noexcept {
        return a.view() == std::u16string_view(b ? b : u"");
    }
    /// Orders unit by unit (code-unit order).
    friend std::strong_ordering operator<=>(const String& a, const String& b) noexcept {
        return a.view() <=> b.view();
    }
    /// Hash of the code units (stable within a process).
    [[nodiscard]] size_t getHash() const noexcept { return std::hash<std::u16string_view>()(view()); }

    /// Exchanges the contents with `other`.
    void swap(String& other) noexcept {
        std::swap(mData, other.mData);
        std::swap(mLength, other.mLength);
        std::swap(mCapacity, other.mCapacity);
    }

private:
    static const char16_t EMPTY[1];

    // Restores the invariant after a change: length > 0 implies a terminator at data[length].
    void afterUpdate();
    // Makes room for `units` units with the growth policy (half again).
    void ensureCapacity(int units);
    // Replaces the buffer with exactly `units` units, keeping the content.
    void reallocateExactly(int units);
    void assignUnits(const char16_t* units, int count);
    static String fromLongUtf8(std::string_view text);

    char16_t* mData = nullptr;
    int32 mLength = 0;
    int32 mCapacity = 0;

    friend String operator+(const String& a, const String& b);
};

/// A new string: `a` then `b`, reserved once at the final size.
[[nodiscard]] String operator+(const String& a, const String& b);

/// Writes the UTF-8 conversion.
std::ostream& operator<<(std::ostream& out, const String& s);
/// Writes the units as wide characters; an empty string writes nothing.
std::wostream& operator<<(std::wostream& out, const String& s);
/// Reads one whitespace-delimited token and stores its fromAscii conversion.
std::istream& operator>>(std::istream& in, String& s);
/// Reads one whitespace-delimited wide token and stores it unchanged.
std::wistream& operator>>(std::wistream& in, String& s);

/// Exchanges the contents of `a` and `b`.
inline void swap(String& a, String& b) noexcept {
    a.swap(b);
}

} // namespace Kalvex

/// Hashes a String with String::getHash(), for the standard unordered containers.
template <>
struct std::hash<Kalvex::String> {
    /// The string's getHash().
    size_t operator()(const Kalvex::String& s) const noexcept { return s.getHash(); }
};
