#include "tolvan/winapi/guid.h"

#include <cstdio>

namespace Kalvex::WinApi {

namespace {

constexpr int TEXT_LENGTH = 36;

bool isHyphenPosition(int i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The value of the `digits` hexadecimal digits at `text`, read in order.
uint64 readHex(const char* text, int digits) {
    uint64 value = 0;
    for (int i = 0; i < digits; ++i)
        value = value << 4 | uint64(hexValue(text[i]));
    return value;
}

} // namespace

String guidToString(const Guid& guid) {
    char text[TEXT_LENGTH + 1];
    std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", unsigned(guid.mData1),
                  unsigned(guid.mData2), unsigned(guid.mData3), guid.mData4[0], guid.mData4[1], guid.mData4[2],
                  guid.mData4[3], guid.mData4[4], guid.mData4[5], guid.mData4[6], guid.mData4[7]);
    return String::fromAscii(text);
}

Optional<Guid> stringToGuid(const String& text) {
    const String::CharBuffer<char> ascii = text.toAscii('_');
    if (ascii.length() != TEXT_LENGTH) return NONE;
    const char* s = ascii.cStr();
    for (int i = 0; i < TEXT_LENGTH; ++i) {
        if (isHyphenPosition(i) ? s[i] != '-' : hexValue(s[i]) < 0) return NONE;
    }
    Guid guid;
    guid.mData1 = uint32(readHex(s, 8));
    guid.mData2 = uint16(readHex(s + 9, 4));
    guid.mData3 = uint16(readHex(s + 14, 4));
    const char* bytes[8] = {s + 19, s + 21, s + 24, s + 26, s + 28, s + 30, s + 32, s + 34};
    for (int i = 0; i < 8; ++i)
        guid.mData4[i] = uint8(readHex(bytes[i], 2));
    return guid;
}

} // namespace Kalvex::WinApi
