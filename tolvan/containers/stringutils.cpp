#include "tolvan/containers/stringutils.h"

#include "tolvan/common/exception.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cwctype>
#include <locale>
#include <stdexcept>
#include <string>
#include <system_error>

namespace Kalvex {
namespace {

// ---- the user's locale, read once ----

struct LocaleFacts {
    char16_t mDecimalPoint = u'.';
    char16_t mThousandsSeparator = u',';
    std::string mGrouping; // std::numpunct::grouping(): group sizes from the right, the last repeating
};

char16_t toUnit(wchar_t c) noexcept {
    return uint32(c) <= 0xFFFF ? char16_t(c) : u'\uFFFD';
}

LocaleFacts readFacts(const std::locale& locale) {
    const auto& punct = std::use_facet<std::numpunct<wchar_t>>(locale);
    LocaleFacts facts;
    facts.mDecimalPoint = toUnit(punct.decimal_point());
    facts.mThousandsSeparator = toUnit(punct.thousands_sep());
    facts.mGrouping = punct.grouping();
    return facts;
}

const LocaleFacts& localeFacts() {
    // C++ guarantees a thread-safe one-time initialisation of this static.
    static const LocaleFacts facts = [] {
        try {
            return readFacts(std::locale(""));
        } catch (const std::runtime_error&) { // the environment names a locale that cannot be built
            return readFacts(std::locale::classic());
        }
    }();
    return facts;
}

// ---- digits ----

// Inserts the locale's thousands separators into a run of digits, as std::num_put does.
void appendGrouped(String& out, std::string_view digits, const LocaleFacts& facts) {
    const std::string& grouping = facts.mGrouping;
    // Positions (counted from the right) after which a separator goes.
    int groupEnds[64];
    int groupCount = 0;
    if (!grouping.empty()) {
        int position = 0;
        size_t index = 0;
        while (groupCount < 64) {
            const int size = static_cast<unsigned char>(grouping[index]);
            if (size <= 0 || size == CHAR_MAX) break; // no further grouping
            position += size;
            if (position >= int(digits.size())) break;
            groupEnds[groupCount++] = position;
            if (index + 1 < grouping.size()) ++index; // the last size repeats
        }
    }
    out.reserve(out.length() + int(digits.size()) + groupCount + 1);
    int nextEnd = groupCount - 1;
    for (size_t i = 0; i < digits.size(); ++i) {
        const int fromRight = int(digits.size() - i);
        if (nextEnd >= 0 && fromRight == groupEnds[nextEnd]) {
            out << facts.mThousandsSeparator;
            --nextEnd;
        }
        out << char16_t(digits[i]);
    }
}

void appendAscii(String& out, std::string_view text) {
    for (char c : text)
        out << char16_t(static_cast<unsigned char>(c));
}

// Plain decimal digits, no grouping.
void appendDecimal(String& out, int64 value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    appendAscii(out, std::string_view(buffer, size_t(result.ptr - buffer)));
}

void appendTwoDigits(String& out, int64 value) {
    out << char16_t(u'0' + value / 10 % 10) << char16_t(u'0' + value % 10);
}

constexpr int MAX_DECIMALS = 1000;

String formatFixed(double value, int decimals, const LocaleFacts& facts) {
    const int shown = std::clamp(decimals, 0, MAX_DECIMALS);
    // At most 309 integer digits, a sign and a point before the decimals.
    constexpr size_t INLINE_SIZE = 400;
    char inlineBuffer[INLINE_SIZE];
    std::string heapBuffer;
    char* buffer = inlineBuffer;
    size_t size = INLINE_SIZE;
    if (size_t(shown) + 320 > INLINE_SIZE) {
        heapBuffer.resize(size_t(shown) + 320);
        buffer = heapBuffer.data();
        size = heapBuffer.size();
    }
    const auto result = std::to_chars(buffer, buffer + size, value, std::chars_format::fixed, shown);

    String out;
    std::string_view rest(buffer, size_t(result.ptr - buffer));
    if (!rest.empty() && rest.front() == '-') {
        out << u'-';
        rest.remove_prefix(1);
    }
    if (rest.empty() || rest.front() < '0' || rest.front() > '9') { // "inf", "nan"
        appendAscii(out, rest);
        return out;
    }
    const size_t point = rest.find('.');
    appendGrouped(out, rest.substr(0, point), facts);
    if (point != std::string_view::npos) {
        out << facts.mDecimalPoint;
        appendAscii(out, rest.substr(point + 1));
    }
    return out;
}

// ---- export quoting ----

String quoteForExport(const String& text) {
    String quoted(text);
    quoted.replaceAll(u"\\", u"\\\\");
    quoted.replaceAll(u"\"", u"\\\"");
    String out;
    out.reserve(quoted.length() + 3);
    out << u'"' << quoted << u'"';
    return out;
}

bool isWideSpace(char16_t unit) {
    // The classic locale's wide classification, which the standard wide-stream extraction uses.
    static const std::ctype<wchar_t>& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale::classic());
    return ctype.is(std::ctype_base::space, wchar_t(unit));
}

} // namespace

// ---- Str: numbers and sizes ----

String Str::getFormatted(double value, int decimals) {
    // round(value × 10^decimals) × 10^−decimals; skipped where the scaling leaves the double range
    const double scaled = value * std::pow(10.0, double(decimals));
    if (std::isfinite(scaled)) {
        const double rounded = std::round(scaled) * std::pow(10.0, double(-decimals));
        if (std::isfinite(rounded)) value = rounded;
    }
    return formatFixed(value, decimals, localeFacts());
}

String Str::getFormatted(uint64 value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    String out;
    appendGrouped(out, std::string_view(buffer, size_t(result.ptr - buffer)), localeFacts());
    return out;
}

String Str::getFormattedWithoutTrailingZeros(double value, int decimals) {
    String text = getFormatted(value, decimals);
    const char16_t point = localeFacts().mDecimalPoint;
    if (text.find(point) == String::nPos) return text;
    int end = text.length();
    while (end > 0 && text[end - 1] == u'0')
        --end;
    if (end > 0 && text[end - 1] == point) --end;
    text.erase(end);
    return text;
}

String Str::getFormattedMemorySize(uint64 bytes) {
    constexpr uint64 KB = 1024;
    constexpr uint64 MB = KB * 1024;
    constexpr uint64 GB = MB * 1024;
    if (bytes >= GB) return getFormattedWithoutTrailingZeros(double(bytes) / double(GB), 1) + String(u" GB");
    if (bytes >= MB) return getFormattedWithoutTrailingZeros(double(bytes) / double(MB), 1) + String(u" MB");
    if (bytes < KB) {
        String out;
        appendDecimal(out, int64(bytes));
        out += String(u" B");
        return out;
    }
    return getFormattedWithoutTrailingZeros(double(bytes) / double(KB), 1) + String(u" kB");
}

String Str::getFormattedMemorySize(const Expected<uint64, String>& bytes) {
    if (bytes) return getFormattedMemorySize(bytes.value());
    return String(u"<ERROR: ") + bytes.error() + String(u">");
}

// ---- Str: times and dates ----

String Str::getIsoDate(const std::tm& time) {
    String out;
    appendDecimal(out, int64(time.tm_year) + 1900);
    out << u'-';
    appendTwoDigits(out, time.tm_mon + 1);
    out << u'-';
    appendTwoDigits(out, time.tm_mday);
    return out;
}

String Str::getTimestamp(Flags<TimestampFormat> format) {
    const std::tm now = Utils::convertToLocalCalendarTime(int64(std::time(nullptr)));
    String out;
    if (format.has(TimestampFormat::DATE)) out += getIsoDate(now);
    if (format.has(TimestampFormat::DATE) && format.has(TimestampFormat::TIME)) out << u' ';
    if (format.has(TimestampFormat::TIME)) {
        appendTwoDigits(out, now.tm_hour);
        out << u':';
        appendTwoDigits(out, now.tm_min);
        out << u':';
        appendTwoDigits(out, now.tm_sec);
    }
    return out;
}

String Str::getTime(int64 milliseconds, char separator, int decimals) {
    String out;
    uint64 ms = uint64(milliseconds);
    if (milliseconds < 0) {
        out << u'-';
        ms = 0 - ms; // the absolute value, INT64_MIN included
    }
    char hours[24];
    const auto end = std::to_chars(hours, hours + sizeof hours, ms / 3600000);
    appendAscii(out, std::string_view(hours, size_t(end.ptr - hours)));
    out << separator;
    appendTwoDigits(out, int64(ms / 60000 % 60));
    out << separator;
    appendTwoDigits(out, int64(ms / 1000 % 60));
    if (decimals > 0) {
        out << localeFacts().mDecimalPoint;
        float fraction = float(ms % 1000) * 0.001f + 0.00001f; // single precision, as the original
        for (int i = 0; i < decimals; ++i) {
            fraction *= 10.0f;
            const int digit = std::clamp(int(fraction), 0, 9);
            out << char16_t(u'0' + digit);
            fraction -= float(digit);
        }
    }
    return out;
}

String Str::getRenderPassMessage(int pass, int passLimit) {
    String out;
    if (passLimit >= 1) {
        out += String(u"Pass ");
        appendDecimal(out, int64(pass) + 1);
        out << u'/';
        appendDecimal(out, passLimit);
    } else if (pass == 0) {
        out = String(u"Rendering initial pass");
    } else {
        out += String(u"Rendering pass ");
        appendDecimal(out, int64(pass) + 1);
    }
    return out;
}

// ---- Str: strings ----

String Str::ellipsize(String text, int maxLength, EllipsisPosition position) {
    if (text.length() <= maxLength) return text;
    static constexpr char16_t ELLIPSIS[] = u"...";
    if (maxLength < 3) return String(ELLIPSIS);
    const int available = maxLength - 3;
    switch (position) {
    case EllipsisPosition::END:
        return text.getSubstr(0, available) + String(ELLIPSIS);
    case EllipsisPosition::MIDDLE: {
        const int half = available / 2;
        const int odd = available % 2;
        return text.getSubstr(0, half) + String(ELLIPSIS) + text.getSubstr(text.length() - (half + odd));
    }
    }
    KALVEX_STOP();
}

String Str::surroundWithCharacter(const String& text, char c, int width) {
    const int pad = width - text.length();
    if (pad <= 0) return text;
    String out;
    out.reserve(width + 1);
    out += String(c, pad / 2);
    out += text;
    out += String(c, pad / 2 + pad % 2);
    return out;
}

String Str::escapeFilename(const String& name) {
    if (name == u".") return String(u"_");
    if (name == u"..") return String(u"__");
    static constexpr std::u16string_view FORBIDDEN = u"*\"/\\[]:;|=,\n<>";
    String out(name);
    for (int i = 0; i < out.length(); ++i) {
        if (FORBIDDEN.find(out[i]) != std::u16string_view::npos) out[i] = u'_';
    }
    return out;
}

String Str::getExportString(const String& text) {
    if (text.findFirstOf(String(u" \t\"")) == String::nPos) return text;
    return quoteForExport(text);
}

String Str::getExportStringArray(ArrayView<const String> items) {
    String out;
    for (int64 i = 0; i < items.size(); ++i) {
        if (i > 0) out += String(u", ");
        out += quoteForExport(items[i]);
    }
    return out;
}

void Str::throwReadExportedStringException(const String& message) {
    throw Exception(message);
}

// ---- Utils ----

String Utils::wrapText(const String& text, int width, const String& indent) {
    String out;
    int remaining = width;
    const int length = text.length();
    int i = 0;
    for (;;) {
        while (i < length && isWideSpace(text[i]))
            ++i;
        if (i >= length) break;
        const int start = i;
        while (i < length && !isWideSpace(text[i]))
            ++i;
        const int wordLength = i - start;
        const bool lineInProgress = remaining != width;
        if (lineInProgress && wordLength + 1 <= remaining) {
            out << u' ';
            out.append(text.cStr() + start, wordLength);
            remaining -= wordLength + 1;
        } else {
            if (lineInProgress) {
                out << u'\n';
                remaining = width;
            }
            out += indent;
            out.append(text.cStr() + start, wordLength);
            remaining -= wordLength;
        }
        if (i < length && text[i] == u'\n') {
            out << u'\n';
            remaining = width;
        }
    }
    return out;
}

String Utils::wrapText(const String& text, int width) {
    return wrapText(text, width, String());
}

char16_t Utils::decimalPointCharacter() {
    return localeFacts().mDecimalPoint;
}

char16_t Utils::thousandsSeparatorCharacter() {
    return localeFacts().mThousandsSeparator;
}

String Utils::digitsGroupingString() {
    String out;
    for (char c : localeFacts().mGrouping)
        out << char16_t(static_cast<unsigned char>(c));
    return out;
}

std::tm Utils::convertToLocalCalendarTime(int64 seconds) {
    const std::time_t time = std::time_t(seconds);
    std::tm result{};
    if (!localtime_r(&time, &result)) result = std::tm{};
    return result;
}

std::tm Utils::convertToUTCCalendarTime(int64 seconds) {
    const std::time_t time = std::time_t(seconds);
    std::tm result{};
    if (!gmtime_r(&time, &result)) result = std::tm{};
    return result;
}

// ---- Detail: enum names ----

Optional<String> Detail::toString(int64 value, ArrayView<const EnumItem> items) {
    for (const EnumItem& item : items) {
        if (item.mValue == value) return String(item.mName);
    }
    return NONE;
}

Optional<int64> Detail::fromString(const String& text, ArrayView<const EnumItem> items) {
    for (const EnumItem& item : items) {
        const char16_t* name = item.mName ? item.mName : u"";
        int i = 0;
        while (i < text.length() && name[i] != 0 &&
               std::towlower(wint_t(text[i])) == std::towlower(wint_t(name[i]))) {
            ++i;
        }
        if (i == text.length() && name[i] == 0) return item.mValue;
    }
    return NONE;
}

Stack<int64> Detail::valueSet(ArrayView<const EnumItem> items) {
    Stack<int64> values;
    values.reserve(int(items.size()));
    for (const EnumItem& item : items)
        values.push(item.mValue);
    return values;
}

Stack<String> Detail::stringValueSet(ArrayView<const EnumItem> items) {
    Stack<String> names;
    names.reserve(int(items.size()));
    for (const EnumItem& item : items)
        names.push(String(item.mName));
    return names;
}

} // namespace Kalvex
