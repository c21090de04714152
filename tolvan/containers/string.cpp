#include "tolvan/containers/string.h"

#include "tolvan/common/exception.h"
#include "tolvan/containers/utf.h"

#include <algorithm>
#include <climits>
#include <cwctype>
#include <istream>
#include <ostream>
#include <string>

namespace Kalvex {

const char16_t String::EMPTY[1] = {0};

namespace {

// Whitespace of trim() and the units toFilename() deletes, in their documented order.
constexpr char16_t WHITESPACE[] = u"\n\t\v\f\r ";
constexpr char16_t FILENAME_FORBIDDEN[] = u"\t\n\r/\\?%*:|\"<>";

int unitLength(const char16_t* text) {
    if (!text) return 0;
    const size_t n = std::char_traits<char16_t>::length(text);
    return n >= size_t(String::nPos) ? String::nPos - 1 : int(n);
}

// A set is read up to its first zero unit.
std::u16string_view setView(const String& set) {
    return std::u16string_view(set.cStr(), Detail::findZeroUnit(set.cStr(), size_t(set.length())));
}

bool inSet(std::u16string_view set, char16_t c) {
    return set.find(c) != std::u16string_view::npos;
}

int clampFrom(int from) {
    return from < 0 ? 0 : from;
}

void appendCodePoint(String& s, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp >= 0x10000) {
        cp -= 0x10000;
        s << char16_t(0xD800 + (cp >> 10)) << char16_t(0xDC00 + (cp & 0x3FF));
    } else {
        s << char16_t(cp);
    }
}

} // namespace

// ---- construction ----

String::String(const char16_t* text)
    : String(text, unitLength(text)) {}

String::String(const char16_t* text, int length) {
    assignUnits(text, length);
}

String::String(std::u16string_view text) {
    assignUnits(text.data(), int(std::min(text.size(), size_t(nPos - 1))));
}

String::String(const wchar_t* text) {
    if (!text || !*text) return; // an empty string owns no buffer
    size_t n = 0;
    while (text[n])
        ++n;
    reserve(int(std::min(n, size_t(nPos - 2))) + 1);
    for (size_t i = 0; i < n; ++i)
        appendCodePoint(*this, uint32_t(text[i]));
}

String::String(char16_t c, int count) {
    if (count <= 0) return;
    reallocateExactly(count + 1);
    std::fill_n(mData, count, c);
    mLength = count;
    afterUpdate();
}

String::String(wchar_t c, int count) {
    if (count <= 0) return;
    String one;
    appendCodePoint(one, uint32_t(c));
    count = std::min(count, (nPos - 1) / one.mLength); // a pair per copy must not overflow the length
    reserve(one.mLength * count + 1);
    for (int i = 0; i < count; ++i)
        append(one);
}

String::String(char c, int count)
    : String(char16_t(int16(int8(c))), count) {}

String::String(const String& other) {
    assignUnits(other.mData, other.mLength);
}

String::String(String&& other) noexcept {
    swap(other);
}

String& String::operator=(const String& other) {
    if (this != &other) {
        String copy(other);
        swap(copy);
    }
    return *this;
}

String& String::operator=(String&& other) noexcept {
    if (this != &other) swap(other);
    return *this;
}

String String::fromAscii(const char* text) {
    return fromAscii(std::string_view(text ? text : ""));
}

String String::fromAscii(std::string_view text) {
    String s;
    const int n = int(std::min(text.size(), size_t(nPos - 1)));
    if (n == 0) return s;
    s.reallocateExactly(n + 1);
    for (int i = 0; i < n; ++i)
        s.mData[i] = char16_t(int16(int8(text[size_t(i)])));
    s.mLength = n;
    s.afterUpdate();
    return s;
}

String String::fromUtf8(const char* text) {
    return fromUtf8(std::string_view(text ? text : ""));
}

// UTF-8 text with more bytes than a String has units: decoded piece by piece, since it still fits
// when its characters take several bytes each. Fails when the units cannot be held.
String String::fromLongUtf8(std::string_view text) {
    const auto tooLong = [size = text.size()] {
        return Exception(
            String::fromAscii("Cannot convert " + std::to_string(size) +
                              " bytes of UTF-8 to a string: they decode to more than 2147483646 units"));
    };
    if (Detail::countUtf8Starts(text.data(), text.size()) > size_t(nPos - 1)) throw tooLong();
    constexpr size_t PIECE_BYTES = size_t(1) << 26;
    String s;
    while (!text.empty()) {
        const size_t n = Detail::getUtf8PieceLength(text.data(), text.size(), PIECE_BYTES);
        const String piece = fromUtf8(text.substr(0, n));
        if (piece.mLength > nPos - 1 - s.mLength) throw tooLong();
        s += piece;
        text.remove_prefix(n);
    }
    return s;
}

String String::fromUtf8(std::string_view text) {
    String s;
    if (text.empty()) return s;
    if (text.size() > size_t(nPos - 1)) return fromLongUtf8(text);
    const size_t n = text.size();
    // Every byte yields at most one unit, so the byte count (+1) always suffices.
    s.reallocateExactly(int(n) + 1);
    s.mLength = int(Detail::decodeUtf8(text.data(), n, s.mData));
    // Multi-byte text decodes to fewer units: give back the spare room when it is worth a copy.
    if (s.mCapacity - (s.mLength + 1) > s.mCapacity / 8) s.reallocateExactly(s.mLength + 1);
    s.afterUpdate();
    return s;
}

String String::fromUtf16(const char16_t* text) {
    return String(text);
}

// ---- conversions out ----

String::CharBuffer<char> String::toAscii(char replacement) const {
    CharBuffer<char> out;
    if (mLength == 0) return out;
    out.reserve(mLength + 1);
    char* o = out.data();
    for (int i = 0; i < mLength; ++i)
        o[i] = mData[i] < 128 ? char(mData[i]) : replacement;
    o[mLength] = 0;
    out.setCount(mLength + 1);
    return out;
}

String::CharBuffer<char> String::toUtf8() const {
    CharBuffer<char> out;
    if (mLength == 0) return out;
    const size_t units = Detail::findZeroUnit(mData, size_t(mLength));
    if (units == 0) return out;
    out.reserve(Detail::getUtf8BufferSize(mData, units));
    const size_t bytes = Detail::encodeUtf8(mData, units, out.data());
    out.data()[bytes] = 0;
    out.setCount(int(bytes) + 1);
    return out;
}

String::CharBuffer<char16_t> String::toUtf16() const {
    return CharBuffer<char16_t>(mData, mLength);
}

// ---- storage ----

void String::afterUpdate() {
    if (mLength > 0) {
        if (mCapacity < mLength + 1) ensureCapacity(mLength + 1);
        mData[mLength] = 0;
    }
}

void String::reallocateExactly(int units) {
    auto* block = static_cast<char16_t*>(tolvanMalloc(size_t(units) * sizeof(char16_t), alignof(char16_t)));
    if (mLength > 0) std::memcpy(block, mData, size_t(mLength) * sizeof(char16_t));
    tolvanFree(mData);
    mData = block;
    mCapacity = units;
}

void String::ensureCapacity(int units) {
    if (mCapacity >= units) return;
    const long long grown = (long long)mCapacity + mCapacity / 2;
    reallocateExactly(int(std::max<long long>(units, std::min<long long>(grown, INT_MAX))));
}

void String::reserve(int units) {
    if (units > mCapacity) reallocateExactly(units);
}

void String::assignUnits(const char16_t* units, int count) {
    if (count <= 0 || !units) {
        mLength = 0;
        return;
    }
    if (mCapacity < count + 1) {
        tolvanFree(mData);
        mData = nullptr;
        mCapacity = 0;
        mLength = 0;
        reallocateExactly(count + 1);
    }
    std::memmove(mData, units, size_t(count) * sizeof(char16_t));
    mLength = count;
    afterUpdate();
}

String& String::append(const char16_t* units, int count) {
    if (count <= 0) return *this;
    const int newLength = mLength + count;
    if (mCapacity < newLength + 1) {
        if (units >= mData && units < mData + mLength) { // appending a part of itself
            String copy(units, count);
            return append(copy);
        }
        ensureCapacity(newLength + 1);
    }
    std::memcpy(mData + mLength, units, size_t(count) * sizeof(char16_t));
    mLength = newLength;
    afterUpdate();
    return *this;
}

String& String::operator<<(wchar_t c) {
    appendCodePoint(*this, uint32_t(c));
    return *this;
}

// ---- search ----

int String::find(const String& what, int from, int to) const noexcept {
    const int m = what.mLength;
    if (m == 0) return from;
    if (from < 0) from = 0;
    const int last = std::min(mLength - m, to - 1);
    if (from > last) return nPos;
    const char16_t first = what.mData[0];
    const char16_t* base = mData;
    int p = from;
    while (p <= last) {
        const size_t hit = Detail::findUnit(base + p, size_t(last - p + 1), first);
        p += int(hit);
        if (p > last) break;
        if (std::memcmp(base + p + 1, what.mData + 1, size_t(m - 1) * sizeof(char16_t)) == 0) return p;
        ++p;
    }
    return nPos;
}

int String::findFirstOf(const String& set, int from) const noexcept {
    const std::u16string_view units = setView(set);
    if (units.size() == 1) return findFirstOf(units[0], from);
    from = clampFrom(from);
    if (units.empty()) return nPos;
    for (int i = from; i < mLength; ++i) {
        if (inSet(units, mData[i])) return i;
    }
    return nPos;
}

int String::findFirstOf(char16_t c, int from) const noexcept {
    from = clampFrom(from);
    if (from >= mLength) return nPos;
    const size_t hit = Detail::findUnit(mData + from, size_t(mLength - from), c);
    return hit == size_t(mLength - from) ? nPos : from + int(hit);
}

int String::findFirstNotOf(const String& set, int from) const noexcept {
    const std::u16string_view units = setView(set);
    from = clampFrom(from);
    if (units.empty()) return from;
    for (int i = from; i < mLength; ++i) {
        if (!inSet(units, mData[i])) return i;
    }
    return nPos;
}

int String::findFirstNotOf(char16_t c, int from) const noexcept {
    for (int i = clampFrom(from); i < mLength; ++i) {
        if (mData[i] != c) return i;
    }
    return nPos;
}

int String::findLastOf(const String& set, int from) const noexcept {
    const std::u16string_view units = setView(set);
    const int start = std::min(from, mLength - 1);
    if (start < 0 || units.empty()) return nPos;
    for (int i = start; i >= 0; --i) {
        if (inSet(units, mData[i])) return i;
    }
    return nPos;
}

int String::findLastOf(char16_t c, int from) const noexcept {
    for (int i = std::min(from, mLength - 1); i >= 0; --i) {
        if (mData[i] == c) return i;
    }
    return nPos;
}

int String::findLastNotOf(const String& set, int from) const noexcept {
    const std::u16string_view units = setView(set);
    const int start = std::min(from, mLength - 1);
    if (start < 0) return nPos;
    if (units.empty()) return start;
    for (int i = start; i >= 0; --i) {
        if (!inSet(units, mData[i])) return i;
    }
    return nPos;
}

int String::findLastNotOf(char16_t c, int from) const noexcept {
    for (int i = std::min(from, mLength - 1); i >= 0; --i) {
        if (mData[i] != c) return i;
    }
    return nPos;
}

bool String::startsWith(const String& prefix) const noexcept {
    return view().starts_with(prefix.view());
}

bool String::endsWith(const String& suffix) const noexcept {
    return view().ends_with(suffix.view());
}

// ---- editing ----

void String::erase(int from, int count) noexcept {
    from = std::clamp(from, 0, mLength);
    const int n = std::min(mLength - from, count);
    if (n < 1 || from == mLength) return;
    std::memmove(mData + from, mData + from + n, size_t(mLength - from - n) * sizeof(char16_t));
    mLength -= n;
    if (mLength > 0) mData[mLength] = 0;
}

String String::getSubstr(int from, int count) const {
    from = clampFrom(from);
    const int n = std::min(mLength - from, count);
    if (n <= 0) return String();
    return String(mData + from, n);
}

int String::replaceAll(const String& what, const String& with) {
    if (what.isEmpty() || mLength == 0) return 0;
    int count = 0;
    String result;
    int pos = 0;
    while (pos < mLength) {
        const int hit = find(what, pos);
        if (hit == nPos) break;
        result.append(mData + pos, hit - pos);
        result.append(with);
        pos = hit + what.mLength;
        ++count;
    }
    if (count == 0) return 0;
    result.append(mData + pos, mLength - pos);
    swap(result);
    return count;
}

String& String::reverse() noexcept {
    std::reverse(mData, mData + mLength);
    return *this;
}

String& String::trim() {
    const std::u16string_view ws(WHITESPACE);
    int begin = 0;
    int end = mLength;
    while (begin < end && inSet(ws, mData[begin]))
        ++begin;
    while (end > begin && inSet(ws, mData[end - 1]))
        --end;
    if (begin == 0 && end == mLength) return *this;
    if (end == begin) {
        mLength = 0;
        return *this;
    }
    std::memmove(mData, mData + begin, size_t(end - begin) * sizeof(char16_t));
    mLength = end - begin;
    mData[mLength] = 0;
    return *this;
}

String& String::toLowerCase() noexcept {
    for (int i = 0; i < mLength; ++i)
        mData[i] = char16_t(std::towlower(wint_t(mData[i])));
    return *this;
}

String& String::toUpperCase() noexcept {
    for (int i = 0; i < mLength; ++i)
        mData[i] = char16_t(std::towupper(wint_t(mData[i])));
    return *this;
}

String& String::toFilename() noexcept {
    const std::u16string_view forbidden(FILENAME_FORBIDDEN);
    char16_t* end = std::remove_if(mData, mData + mLength, [&](char16_t c) { return inSet(forbidden, c); });
    mLength = int(end - mData);
    if (mLength > 0) mData[mLength] = 0;
    return *this;
}

String& String::toIdentifier() {
    if (mLength == 0) {
        *this = String(u"BLANK");
        return *this;
    }
    for (int i = 0; i < mLength; ++i) {
        const char16_t c = mData[i];
        const bool keep =
            (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'_';
        if (!keep) mData[i] = u'_';
    }
    return *this;
}

String String::quoted() const {
    String result;
    result.reserve(mLength + 3);
    result << u'"';
    result.append(*this);
    result << u'"';
    return result;
}

Stack<String> String::explode(const String& separator, ExplodeMode mode) const {
    Stack<String> pieces;
    if (separator.isEmpty()) { // outside the contract: the whole string is the one piece
        if (mode == KEEP_EMPTY || mLength > 0) pieces.push(*this);
        return pieces;
    }
    int pos = 0;
    while (true) {
        const int hit = find(separator, pos);
        const int end = hit == nPos ? mLength : hit;
        if (end > pos || mode == KEEP_EMPTY) pieces.push(String(mData + pos, end - pos));
        if (hit == nPos) break;
        pos = hit + separator.mLength;
    }
    return pieces;
}

// ---- operators ----

String operator+(const String& a, const String& b) {
    String result;
    const int total = a.mLength + b.mLength;
    if (total == 0) return result;
    result.reallocateExactly(total + 1);
    result.append(a);
    result.append(b);
    return result;
}

std::ostream& operator<<(std::ostream& out, const String& s) {
    const auto utf8 = s.toUtf8();
    return out.write(utf8.cStr(), utf8.length());
}

std::wostream& operator<<(std::wostream& out, const String& s) {
    for (int i = 0; i < s.length(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.length() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[++i]) - 0xDC00);
        }
        out.put(wchar_t(c));
    }
    return out;
}

std::istream& operator>>(std::istream& in, String& s) {
    std::string token;
    if (in >> token) s = String::fromAscii(token);
    return in;
}

std::wistream& operator>>(std::wistream& in, String& s) {
    std::wstring token;
    if (in >> token) s = String(token.c_str());
    return in;
}

} // namespace Kalvex
