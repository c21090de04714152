// Text formatting: numbers, memory sizes, times and dates as display text (Str), shortening, padding,
// file-name escaping, export quoting and word wrapping, the user's locale facts (Utils), and the
// enum-name tables (Detail).
//
//   Str::getFormatted(1234567.891, 2)        // "1,234,567.89" in en_US, "1.234.567,89" in de_DE
//   Str::getFormattedMemorySize(1536)        // "1.5 kB"
//   Str::getTime(3723456, ':', 2)            // "1:02:03.45"
//   Str::ellipsize(u"abcdefghij", 7, EllipsisPosition::MIDDLE)   // "ab...ij"
//
// Numbers meant for people use the user's locale: the process's environment locale (std::locale(""),
// from LC_ALL / LC_NUMERIC / LANG), or the C locale when that cannot be built. Its decimal point,
// thousands separator and digit grouping are read once per process, on first use. Numbers inside
// fixed texts (pass counters, byte counts below 1 kB, hours, minutes and seconds) are plain digits.
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"

#include <ctime>

namespace Kalvex {

/// Where Str::ellipsize puts the "...".
enum class EllipsisPosition { MIDDLE = 0, END = 1 };

/// What Str::getTimestamp writes; combine as Flags<TimestampFormat> (TimestampFormat::DATE | TIME).
enum class TimestampFormat : unsigned { DATE = 1 << 0, TIME = 1 << 1 };
KALVEX_DECLARE_FLAGS(TimestampFormat)

namespace Str {

// Numbers and sizes

/// `value` rounded to `decimals` places (round(value × 10^decimals) × 10^−decimals), in fixed notation
/// with exactly `decimals` digits after the locale's decimal point and the locale's digit grouping.
/// Negative `decimals` rounds to tens, hundreds, ... and writes no fraction; at most 1000 are written.
[[nodiscard]] String getFormatted(double value, int decimals);
/// The integer with the locale's digit grouping ("1,234,567" in en_US, "1234567" in the C locale).
[[nodiscard]] String getFormatted(uint64 value);
/// getFormatted(value, decimals) without trailing zeros after the decimal point, and without the
/// decimal point when nothing remains after it: (2.0, 1) gives "2", (2.50, 2) gives "2.5".
[[nodiscard]] String getFormattedWithoutTrailingZeros(double value, int decimals);
/// "512 B" below 1024 bytes, else kB, MB or GB (powers of 1024) with at most one decimal:
/// 1536 gives "1.5 kB", 2097152 gives "2 MB".
[[nodiscard]] String getFormattedMemorySize(uint64 bytes);
/// The size as above, or "<ERROR: " + the error text + ">".
[[nodiscard]] String getFormattedMemorySize(const Expected<uint64, String>& bytes);

// Times and dates

/// "2019-03-29": the year unpadded, month and day two digits each.
[[nodiscard]] String getIsoDate(const std::tm& time);
/// The current local time: the ISO date with DATE, "hh:mm:ss" with TIME, a space between with both.
[[nodiscard]] String getTimestamp(Flags<TimestampFormat> format);
/// Hours (unpadded), minutes and seconds (two digits each) joined by `separator`, "-" first when
/// negative; with decimals > 0 the locale's decimal point and that many digits of the fraction of a
/// second (beyond the third they are zeros): (3723456, ':', 2) gives "1:02:03.45".
[[nodiscard]] String getTime(int64 milliseconds, char separator, int decimals);
/// `pass` counts from 0: "Pass 5/10" when passLimit >= 1, else "Rendering initial pass" for pass 0 and
/// "Rendering pass 5" for pass 4.
[[nodiscard]] String getRenderPassMessage(int pass, int passLimit);

// Strings

/// The text unchanged when it has at most maxLength characters; else shortened to maxLength with
/// "..." at the end or in the middle (the odd character goes to the end part); "..." alone when
/// maxLength < 3. A position other than MIDDLE or END is a STOP failure.
[[nodiscard]] String ellipsize(String text, int maxLength, EllipsisPosition position);
/// The text centred in `width` copies of `c` (the odd one on the right); unchanged when not shorter.
[[nodiscard]] String surroundWithCharacter(const String& text, char c, int width);
/// A name safe as a file name: "." becomes "_", ".." becomes "__", and each of * " / \ [ ] : ; | = ,
/// line feed < > becomes "_".
[[nodiscard]] String escapeFilename(const String& name);
/// The text unchanged unless it contains a space, tab or double quote; then quoted: backslashes
/// doubled, double quotes escaped with a backslash, a double quote before and after.
[[nodiscard]] String getExportString(const String& text);
/// Every item quoted as by getExportString (even when it would not need it), joined with ", ".
[[nodiscard]] String getExportStringArray(ArrayView<const String> items);
/// Throws Exception(message); for readers of exported strings that find malformed text.
[[noreturn]] void throwReadExportedStringException(const String& message);

} // namespace Str

namespace Utils {

/// Breaks the text into lines of at most `width` characters at whitespace, each line starting with
/// `indent` (not counted in the width). A word longer than the width stands alone on its line; a
/// line feed right after a word is kept, other whitespace (line feeds included) only separates words.
[[nodiscard]] String wrapText(const String& text, int width, const String& indent);
/// As wrapText(text, width, indent) with an empty indent.
[[nodiscard]] String wrapText(const String& text, int width);

/// The user's locale's decimal point ("." in en_US and the C locale, "," in de_DE).
[[nodiscard]] char16_t decimalPointCharacter();
/// The user's locale's thousands separator ("," in en_US and the C locale, "." in de_DE).
[[nodiscard]] char16_t thousandsSeparatorCharacter();
/// The locale's digit grouping (std::numpunct::grouping), each byte widened to one character: one
/// character of value 3 for groups of three; empty for no grouping (the C locale).
[[nodiscard]] String digitsGroupingString();

/// The C runtime's broken-down local time for `seconds` since 1970-01-01 UTC (localtime_r); all
/// fields zero when the conversion fails.
[[nodiscard]] std::tm convertToLocalCalendarTime(int64 seconds);
/// The same in UTC (gmtime_r).
[[nodiscard]] std::tm convertToUTCCalendarTime(int64 seconds);

} // namespace Utils

namespace Detail {

/// One row of an enum-name table: the enumerator's value and its zero-terminated name.
struct EnumItem {
    int64 mValue;
    const char16_t* mName;
};

/// The name of the first item with this value; empty when none.
[[nodiscard]] Optional<String> toString(int64 value, ArrayView<const EnumItem> items);
/// The value of the first item whose name equals `text` ignoring case (towlower per unit, the C
/// library's wide case-insensitive comparison); empty when none.
[[nodiscard]] Optional<int64> fromString(const String& text, ArrayView<const EnumItem> items);
/// All values in table order.
[[nodiscard]] Stack<int64> valueSet(ArrayView<const EnumItem> items);
/// All names in table order.
[[nodiscard]] Stack<String> stringValueSet(ArrayView<const EnumItem> items);

} // namespace Detail

} // namespace Kalvex
