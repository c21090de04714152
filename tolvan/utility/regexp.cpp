#include "tolvan/utility/regexp.h"

// GCC 12 reports a false "may be used uninitialized" inside the standard library's regex compiler
// when it is instantiated for wchar_t in sanitizer builds.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "tolvan/common/exception.h"
#include "tolvan/utility/regexp_posix.h"
#include "tolvan/utility/valuetext.h"

#include <algorithm>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace Kalvex {

namespace {

// ---- stack for the engine ----
//
// The engine matches depth first and recurses at every step of its automaton, so its stack grows with
// the text: per position of the text by at most the states it passes without consuming a unit. Each
// repetition may run its body twice at one position, so that count is bounded by the automaton's size
// times (1 + 2 x how deeply repetitions nest), and once more for every lookahead, which runs a match
// of its own below the current one. The bound is estimated from the pattern: counted repetitions copy
// their sub-pattern, and everything else is one or two states per pattern unit.

using Count = uint64_t;

// Counts saturate far above anything that could be reserved.
constexpr Count SATURATED = Count(1) << 50;
Count add(Count a, Count b) noexcept {
    return std::min(SATURATED, a + b);
}
Count multiply(Count a, Count b) noexcept {
    return a != 0 && b > SATURATED / a ? SATURATED : std::min(SATURATED, a * b);
}

// One group of the pattern while it is read: its states so far, those of its last item (which a
// quantifier repeats) and how deeply repetitions nest in it.
struct PatternLevel {
    Count states = 0;
    Count lastStates = 0;
    Count nesting = 0;
    Count lastNesting = 0;

    void item(Count itemStates, Count itemNesting) noexcept {
        states = add(states, itemStates);
        lastStates = itemStates;
        lastNesting = itemNesting;
        nesting = std::max(nesting, itemNesting);
    }
    // The last item repeated up to `copies` times (each copy with its repeat and end states).
    void repeatLast(Count copies) noexcept {
        const Count repeated = multiply(add(lastStates, 2), copies);
        states = add(states - lastStates, repeated);
        lastStates = repeated;
        ++lastNesting;
        nesting = std::max(nesting, lastNesting);
    }
};

// Reads "{n}", "{n,}" or "{n,m}" at `i`: the copies of the item it makes; moves `i` to its '}'. 0 when
// there is no such quantifier (the engine rejects the pattern then).
Count readInterval(const std::wstring& p, size_t& i) noexcept {
    size_t j = i + 1;
    Count numbers[2] = {0, 0};
    bool comma = false;
    bool secondNumber = false;
    for (; j < p.size() && p[j] != L'}'; ++j) {
        if (p[j] == L',' && !comma) {
            comma = true;
        } else if (p[j] >= L'0' && p[j] <= L'9') {
            Count& n = numbers[comma ? 1 : 0];
            n = add(multiply(n, 10), Count(p[j] - L'0'));
            secondNumber = secondNumber || comma;
        } else {
            return 0;
        }
    }
    if (j == p.size()) return 0;
    i = j;
    const Count most = secondNumber ? std::max(numbers[0], numbers[1])
                       : comma      ? add(numbers[0], 1)
                                    : numbers[0];
    return add(most, 1);
}

// An upper bound on the engine's recursion per position of the text for `pattern`.
Count framesPerPosition(const std::wstring& p) noexcept {
    std::vector<PatternLevel> levels(1);
    Count lookaheads = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        PatternLevel& level = levels.back();
        switch (p[i]) {
        case L'\\':
            ++i; // the escaped unit; the digits of \u and \x count as further items
            level.item(2, 0);
            break;
        case L'[':
            for (++i; i < p.size() && p[i] != L']'; ++i) {
                if (p[i] == L'\\') ++i;
            }
            level.item(1, 0);
            break;
        case L'(':
            if (i + 2 < p.size() && p[i + 1] == L'?' && (p[i + 2] == L'=' || p[i + 2] == L'!')) ++lookaheads;
            levels.emplace_back();
            break;
        case L')':
            if (levels.size() > 1) {
                const PatternLevel group = levels.back();
                levels.pop_back();
                levels.back().item(add(group.states, 3), group.nesting);
            }
            break;
        case L'|':
            level.states = add(level.states, 2);
            level.lastStates = 0;
            break;
        case L'*':
        case L'+':
        case L'?':
            level.repeatLast(2);
            break;
        case L'{':
            if (const Count copies = readInterval(p, i)) {
                level.repeatLast(copies);
                break;
            }
            [[fallthrough]];
        default:
            level.item(1, 0);
            break;
        }
    }
    while (levels.size() > 1) {
        const PatternLevel group = levels.back();
        levels.pop_back();
        levels.back().item(add(group.states, 3), group.nesting);
    }
    Count states = add(levels[0].states, 4);
#ifdef _GLIBCXX_REGEX_STATE_LIMIT
    // The engine refuses to build larger automatons.
    states = std::min(states, Count(_GLIBCXX_REGEX_STATE_LIMIT));
#endif
    const Count perPass = add(multiply(states, add(multiply(levels[0].nesting, 2), 1)), 1);
    return multiply(perPass, add(lookaheads, 1));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KALVEX_REGEXP_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KALVEX_REGEXP_SANITIZED 1
#endif
#endif

// The largest frame of one engine step, with room to spare (sanitizers make frames several times larger).
#ifdef KALVEX_REGEXP_SANITIZED
constexpr Count FRAME_BYTES = 1024;
#else
constexpr Count FRAME_BYTES = 256;
#endif
// For the frames around the engine's steps.
constexpr Count BASE_BYTES = Count(256) << 10;
// The most stack reserved for one match, and the longest text matched at all.
constexpr Count MAX_STACK_BYTES = Count(1) << 40;
constexpr Count MAX_TEXT_UNITS = Count(1) << 23;

} // namespace

namespace Detail {
class CompiledRegExp {
public:
    explicit CompiledRegExp(const std::wstring& pattern)
        : expression(pattern, std::regex_constants::ECMAScript)
        , framesPerUnit(framesPerPosition(pattern)) {}
    std::wregex expression;
    Count framesPerUnit;
};
} // namespace Detail

namespace {

const std::wregex& getEmptyExpression() {
    static const std::wregex empty;
    return empty;
}

const std::wregex& expressionOf(const SharedPtr<const Detail::CompiledRegExp>& compiled) {
    return compiled ? compiled->expression : getEmptyExpression();
}

// Runs `work`, an engine call over `units` units of text, where the stack has room for it: on the
// calling thread when it has plenty, otherwise on a helper thread with a stack of that size. Throws
// Exception when the text is longer than the expression can be run over.
template <typename F>
void runEngine(const SharedPtr<const Detail::CompiledRegExp>& compiled, size_t units, F&& work) {
    const Count frames = compiled ? compiled->framesPerUnit : framesPerPosition(std::wstring());
    const Count positions = Count(units) + 1;
    const Count fitting = (MAX_STACK_BYTES - BASE_BYTES) / FRAME_BYTES / frames;
    const Count longest = std::min(MAX_TEXT_UNITS, fitting > 0 ? fitting - 1 : 0);
    if (Count(units) > longest)
        throw Exception(u"Cannot match a regular expression against a text of " +
                        Detail::formatNumber(int64(units)) +
                        u" units: the longest text this expression can be matched against has " +
                        Detail::formatNumber(int64(longest)) + u" units.");
    const Count bytes = BASE_BYTES + positions * frames * FRAME_BYTES;
    if (bytes <= Detail::stackRoomOfThisThread() / 2) {
        work();
        return;
    }
    Detail::runWithStack(size_t(bytes), Function<void()>([&work] { work(); }));
}

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

} // namespace

RegExp::RegExp() = default;

RegExp::RegExp(const String& pattern)
    : mCompiled(makeShared<Detail::CompiledRegExp>(toEngineText(pattern))) {}

RegExpMatch RegExp::match(const String& text) const {
    const std::wstring engineText = toEngineText(text);
    std::wsmatch m;
    bool found = false;
    runEngine(mCompiled, engineText.size(),
              [&] { found = std::regex_match(engineText, m, expressionOf(mCompiled)); });
    return found ? toMatch(m, engineText.begin(), engineText.end()) : RegExpMatch();
}

RegExpMatch RegExp::search(const String& text) const {
    const std::wstring engineText = toEngineText(text);
    std::wsmatch m;
    bool found = false;
    runEngine(mCompiled, engineText.size(),
              [&] { found = std::regex_search(engineText, m, expressionOf(mCompiled)); });
    return found ? toMatch(m, engineText.begin(), engineText.end()) : RegExpMatch();
}

String RegExp::replaceAll(const String& text, const String& replacement) const {
    const std::wstring engineText = toEngineText(text);
    const std::wstring format = toEngineText(replacement);
    std::wstring result;
    runEngine(mCompiled, engineText.size(),
              [&] { result = std::regex_replace(engineText, expressionOf(mCompiled), format); });
    return fromEngineText(result.begin(), result.end());
}

String RegExp::replaceAll(const String& text, const Function<String(const RegExpMatch&)>& replacer) const {
    const std::wstring engineText = toEngineText(text);
    // The matches are found first (perhaps on a helper thread); the replacer runs on the caller's thread.
    struct Found {
        RegExpMatch match;
        std::wstring::const_iterator begin;
        std::wstring::const_iterator end;
    };
    std::vector<Found> matches;
    runEngine(mCompiled, engineText.size(), [&] {
        const std::wsregex_iterator end;
        for (std::wsregex_iterator it(engineText.begin(), engineText.end(), expressionOf(mCompiled));
             it != end; ++it)
            matches.push_back(
                Found{toMatch(*it, engineText.begin(), engineText.end()), (*it)[0].first, (*it)[0].second});
    });
    if (matches.empty()) return text;
    String result;
    auto copiedUpTo = engineText.cbegin();
    for (const Found& found : matches) {
        result << fromEngineText(copiedUpTo, found.begin);
        result << replacer(found.match);
        copiedUpTo = found.end;
    }
    result << fromEngineText(copiedUpTo, engineText.cend());
    return result;
}

} // namespace Kalvex
