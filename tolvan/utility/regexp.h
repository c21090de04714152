// Regular expressions over String (ECMAScript grammar). Positions and lengths count UTF-16 code units,
// so a character outside the Basic Multilingual Plane counts as two.
//
//   RegExp number(u"[0-9]+");
//   if (RegExpMatch m = number.search(u"abc 42")) use(m[0].first(), m.string());   // 4, "42"
//   String masked = number.replaceAll(u"a1b22", u"#");                           // "a#b#"
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/sharedptr.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"

namespace Kalvex {

/// One group of a match: where it starts in the searched text, how long it is and what it holds.
class RegExpGroup {
public:
    RegExpGroup() noexcept = default;
    /// A group of `length` units at index `first` holding `text`.
    RegExpGroup(int64 first, int64 length, const String& text)
        : mFirst(first)
        , mLength(length)
        , mText(text) {}

    /// Index of the first code unit (the text's length for a group that did not take part).
    [[nodiscard]] int64 first() const noexcept { return mFirst; }
    /// Number of code units.
    [[nodiscard]] int64 length() const noexcept { return mLength; }
    /// Index of the last code unit: first() + length() - 1.
    [[nodiscard]] int64 last() const noexcept { return mFirst + mLength - 1; }
    /// The text of the group.
    [[nodiscard]] const String& string() const noexcept { return mText; }
    /// Whether the group is not empty (an empty group is false even when it took part in the match).
    explicit operator bool() const noexcept { return mLength != 0; }
    /// True when the group is empty.
    bool operator!() const noexcept { return mLength == 0; }

private:
    int64 mFirst = 0;
    int64 mLength = 0;
    String mText;
};

/// The groups of one match: group 0 is the whole match, then the capture groups in order. Empty
/// when nothing matched.
class RegExpMatch {
public:
    RegExpMatch() noexcept = default;
    /// Copies the groups.
    explicit RegExpMatch(ArrayView<const RegExpGroup> groups)
        : mGroups(groups) {}

    /// Whether there is at least one group (something matched).
    explicit operator bool() const noexcept { return !mGroups.isEmpty(); }
    /// True when nothing matched.
    bool operator!() const noexcept { return mGroups.isEmpty(); }
    /// The group with that index, unchecked.
    const RegExpGroup& operator[](int index) const noexcept { return mGroups[index]; }
    /// Number of groups (0 when nothing matched).
    [[nodiscard]] int size() const noexcept { return mGroups.size(); }
    /// The whole match's text (group 0); the match must not be empty.
    [[nodiscard]] const String& string() const noexcept { return mGroups[0].string(); }

private:
    Stack<RegExpGroup> mGroups;
};

namespace Detail {
class CompiledRegExp;
}

/// A compiled expression; copies share it, and it may be used by several threads at once.
class RegExp {
public:
    /// An empty expression.
    RegExp();
    /// Compiles `pattern` (ECMAScript grammar); a syntax error throws std::regex_error unchanged.
    explicit RegExp(const String& pattern);

    /// The match of the whole text, empty when the whole text does not match.
    [[nodiscard]] RegExpMatch match(const String& text) const;
    /// The first match anywhere in the text, empty when there is none.
    [[nodiscard]] RegExpMatch search(const String& text) const;
    /// Every non-overlapping match replaced by `replacement` read as an ECMAScript format ("$&" the match,
    /// "$1"... the groups, "$$" a dollar, "$`" and "$'" the text before and after); the rest copied.
    [[nodiscard]] String replaceAll(const String& text, const String& replacement) const;
    /// Every non-overlapping match replaced by what `replacer` returns for it; the rest copied. After an
    /// empty match the next one may not be empty at the same position.
    [[nodiscard]] String replaceAll(const String& text,
                                    const Function<String(const RegExpMatch&)>& replacer) const;

private:
    SharedPtr<const Detail::CompiledRegExp> mCompiled;
};

} // namespace Kalvex
