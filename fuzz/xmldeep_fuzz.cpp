// The fuzz input inside many levels of elements: the first bytes choose how the levels are written
// and how many there are (up to a little beyond the nesting limit), the rest is the innermost content.
// The reader agrees with the parser about every such document, also right at the limit, and never
// recurses without bound.
#include "xml_agreement.h"

#include <cstdint>
#include <string_view>

using namespace Kalvex;

namespace {

// Ways of opening and closing one level; some also put markup the nesting check must skip between
// the levels.
struct Level {
    std::u16string_view open;
    std::u16string_view close;
};
constexpr Level LEVELS[] = {
    {u"<a>", u"</a>"},
    {u"<b x='>' y=\"/>\">", u"</b >"},
    {u"<c><!-- <d> --><?p <e>?>", u"<![CDATA[</c>]]></c>"},
    {u"<d/><e>t&amp;", u"</x>"},
    {u"<f>\n", u"\n</f>\n"},
    {u"<g><?>?>", u"</g>"},
};
constexpr int LEVEL_KINDS = int(sizeof(LEVELS) / sizeof(LEVELS[0]));

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const Level& level = LEVELS[data[0] % LEVEL_KINDS];
    const bool closed = (data[0] & 0x80) == 0;
    const int depth = (data[1] | (data[2] << 8)) % (XmlReaderNode::MAX_DEPTH + 24);
    const String payload =
        String::fromUtf8(std::string_view(reinterpret_cast<const char*>(data + 3), size - 3));

    String text;
    for (int i = 0; i < depth; ++i)
        text.append(level.open.data(), int(level.open.size()));
    text << payload;
    for (int i = 0; closed && i < depth; ++i)
        text.append(level.close.data(), int(level.close.size()));
    (void)XmlFuzz::parseAndCompare(text);
    return 0;
}
