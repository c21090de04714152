#include "tolvan/utility/regexp.h"

// GCC 12 reports a false "may be used uninitialized" inside the standard library's regex compiler
// when it is instantiated for wchar_t in sanitizer builds.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <regex>
#include <string>

namespace Kalvex {

namespace Detail {
class CompiledRegExp {
public:
    explicit CompiledRegExp(const std::wstring& pattern)
        : expression(pattern, std::regex_constants::ECMAScript) {}
    std::wregex expression;
};
} // namespace Detail

namespace {

// The engine works on wchar_t; each UTF-16 unit becomes one element, so positions stay in code units.
std::wstring toEngineText(const String& text) {
    std::wstring result(size_t(text.length()), L'\0');
    for (int i = 0; i < text.length(); ++i)
        result[size_t(i)] = wchar_t(text[i]);
    return result;
}

String fromEngineText(std::wstring::const_iterator begin, std::wstring::const_iterator end) {
    std::u16string units(size_t(end - begin), u'\0');
    for (size_t i = 0; begin != end; ++begin, ++i)
        units[i] = char16_t(*begin);
    return String(units.data(), int(units.size()));
}

RegExpMatch toMatch(const std::wsmatch& m, std::wstring::const_iterator textBegin,
                    std::wstring::const_iterator textEnd) {
    Stack<RegExpGroup> groups;
    groups.reserve(int(m.size()));
    for (const std::wssub_match& sub : m) {
        if (sub.matched) {
            groups.push(
                RegExpGroup(sub.first - textBegin, sub.length(), fromEngineText(sub.first, sub.second)));
        } else {
            groups.push(RegExpGroup(textEnd - textBegin, 0, String()));
        }
    }
    return RegExpMatch(ArrayView<const RegExpGroup>(groups.data(), groups.size()));
}

const std::wregex& getEmptyExpression() {
    static const std::wregex empty;
    return empty;
}

} // namespace

RegExp::RegExp() = default;

RegExp::RegExp(const String& pattern)
    : mCompiled(makeShared<Detail::CompiledRegExp>(toEngineText(pattern))) {}

namespace {
const std::wregex& expressionOf(const SharedPtr<const Detail::CompiledRegExp>& compiled) {
    return compiled ? compiled->expression : getEmptyExpression();
}
} // namespace

RegExpMatch RegExp::match(const String& text) const {
    const std::wstring engineText = toEngineText(text);
    std::wsmatch m;
    if (!std::regex_match(engineText, m, expressionOf(mCompiled))) return RegExpMatch();
    return toMatch(m, engineText.begin(), engineText.end());
}

RegExpMatch RegExp::search(const String& text) const {
    const std::wstring engineText = toEngineText(text);
    std::wsmatch m;
    if (!std::regex_search(engineText, m, expressionOf(mCompiled))) return RegExpMatch();
    return toMatch(m, engineText.begin(), engineText.end());
}

String RegExp::replaceAll(const String& text, const String& replacement) const {
    const std::wstring result =
        std::regex_replace(toEngineText(text), expressionOf(mCompiled), toEngineText(replacement));
    return fromEngineText(result.begin(), result.end());
}

String RegExp::replaceAll(const String& text, const Function<String(const RegExpMatch&)>& replacer) const {
    const std::wstring engineText = toEngineText(text);
    std::wsregex_iterator it(engineText.begin(), engineText.end(), expressionOf(mCompiled));
    const std::wsregex_iterator end;
    if (it == end) return text;
    String result;
    auto copiedUpTo = engineText.cbegin();
    for (; it != end; ++it) {
        const std::wsmatch& m = *it;
        result << fromEngineText(copiedUpTo, m[0].first);
        result << replacer(toMatch(m, engineText.begin(), engineText.end()));
        copiedUpTo = m[0].second;
    }
    result << fromEngineText(copiedUpTo, engineText.cend());
    return result;
}

} // namespace Kalvex
