#include "tolvan/utility/valuetext.h"

#include <charconv>

namespace Kalvex::Detail {
namespace {

template <typename T>
String shortestText(T value) {
    char buffer[64];
    std::to_chars_result result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return String::fromAscii(std::string_view(buffer, size_t(result.ptr - buffer)));
}

} // namespace

String formatNumber(float value) {
    return shortestText(value);
}
String formatNumber(double value) {
    return shortestText(value);
}
String formatNumber(int64 value) {
    return shortestText(value);
}

} // namespace Kalvex::Detail
