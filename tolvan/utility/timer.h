// Timer: a stopwatch on the monotonic clock with an interval, for measuring elapsed milliseconds and
// asking whether the interval has passed. FunctionElapsedTime and its macros time a scope and write
// how long it took to the debug output.
//
//   Timer timer(500);
//   while (!timer.check()) poll();              // at most every 500 ms ...
//
//   void Scene::load() {
//       KALVEX_FUNCTION_ELAPSED_TIME();          // ">>>  Function call:  Scene::load took 1,234 ms."
//       ...
//   }
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/flags.h"

#include <cstddef>

namespace Kalvex {

/// A stopwatch: start time point (nanoseconds of the monotonic clock) and interval (milliseconds).
/// Move-only; a moved-from Timer holds nothing and may only be destroyed or assigned to. One Timer is
/// used by one thread at a time.
class Timer : public Noncopyable {
public:
    /// Options of the constructor.
    enum class Flag : unsigned {
        /// Start as if the interval had already passed: check() is true at once.
        START_EXPIRED = 1,
    };

    /// Starts now (or intervalMs + 1 ms in the past with START_EXPIRED).
    explicit Timer(int64 intervalMs = 1000, Flags<Flag> flags = {});
    /// Takes over the content of `other`.
    Timer(Timer&& other) noexcept;
    /// Replaces the content with that of `other`.
    Timer& operator=(Timer&& other) noexcept;
    ~Timer();

    /// Whether at least the interval has passed since the start. Exact for every interval: INT64_MAX
    /// ("never") is never reached, a negative interval has always passed.
    [[nodiscard]] bool check() const;
    /// Milliseconds since the start, truncated toward zero.
    [[nodiscard]] int64 getElapsed() const;
    /// The interval in milliseconds.
    [[nodiscard]] int64 getInterval() const;
    /// Starts again from now.
    void reset();
    /// Moves the start `ms` milliseconds into the past, so the elapsed time grows by `ms`. A start moved
    /// beyond the clock's range (about 292 years) stays at its end; at the far past every interval has
    /// passed.
    void subtract(int64 ms);

private:
    struct Data;
    AutoPtr<Data> mData;
};

namespace Detail {

/// Nanoseconds of the monotonic clock (std::chrono::steady_clock).
[[nodiscard]] int64 getMonotonicNanoseconds() noexcept;

/// Scope timer: at destruction writes ">>>  <first> <second> took <ms with digit grouping> ms." to
/// the debug output. The two texts (UTF-8) must outlive the object; string literals do.
class FunctionElapsedTime : public Noncopyable {
public:
    FunctionElapsedTime(const char* first, const char* second);
    ~FunctionElapsedTime();

private:
    Timer mTimer;
    const char* mFirst;
    const char* mSecond;
};

/// The qualified name of a function from its __PRETTY_FUNCTION__ text: without the return type, the
/// parameter list, qualifiers and GCC's "[with ...]" note ("Kalvex::Scheduler::Scheduler").
template <size_t N>
struct QualifiedFunctionName {
    char mText[N]{};

    consteval explicit QualifiedFunctionName(const char (&pretty)[N]) {
        const auto [begin, end] = findName(pretty, N - 1);
        for (size_t i = begin; i < end; ++i)
            mText[i - begin] = pretty[i];
    }

private:
    struct Span {
        size_t mBegin;
        size_t mEnd;
    };
    static constexpr bool startsWith(const char* text, size_t length, size_t at, const char* word) {
        for (size_t i = 0; word[i] != '\0'; ++i) {
            if (at + i >= length || text[at + i] != word[i]) return false;
        }
        return true;
    }
    static constexpr bool isIdentifierChar(char c) {
        return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    }
    static constexpr bool isOperatorChar(char c) {
        for (const char* p = "+-*/%^&|~!=<>,"; *p != '\0'; ++p) {
            if (c == *p) return true;
        }
        return false;
    }
    // Whether the keyword "operator" (not a longer identifier) starts at `at`.
    static constexpr bool isOperatorKeyword(const char* text, size_t length, size_t at) {
        return startsWith(text, length, at, "operator") && (at == 0 || !isIdentifierChar(text[at - 1])) &&
               (at + 8 >= length || !isIdentifierChar(text[at + 8]));
    }
    // The end of an operator function's name starting at `at` with "operator": "operator()",
    // "operator[]", a run of symbol characters ("operator<=>", "operator->*", "operator<"), a literal
    // operator ("operator\"\"_km"), or a named one running to its parameter list ("operator new[]",
    // "operator bool", "operator const std::vector<int>&").
    static constexpr size_t operatorEnd(const char* text, size_t length, size_t at) {
        size_t i = at + 8;
        if (startsWith(text, length, i, "()") || startsWith(text, length, i, "[]")) return i + 2;
        if (i < length && isOperatorChar(text[i])) {
            while (i < length && isOperatorChar(text[i]))
                ++i;
            return i;
        }
        int angle = 0;
        for (; i < length && (angle > 0 || text[i] != '('); ++i) {
            if (text[i] == '<') ++angle;
            if (text[i] == '>' && angle > 0) --angle;
        }
        return i;
    }
    // The name ends at the first '(' outside template arguments and parentheses, which opens the
    // parameter list; it begins after the last space before it outside them (the end of the return
    // type, less a '*' or '&' of it). Operator names and Clang's "(anonymous namespace)" are taken
    // whole. Inside parentheses (a function type or an expression in template arguments) '<' and '>'
    // are not counted.
    static constexpr Span findName(const char* text, size_t length) {
        int angle = 0;
        int paren = 0;
        size_t begin = 0;
        for (size_t i = 0; i < length; ++i) {
            const char c = text[i];
            if (angle == 0 && paren == 0 && isOperatorKeyword(text, length, i)) {
                return withoutDeclarator(text, begin, operatorEnd(text, length, i));
            }
            if (startsWith(text, length, i, "(anonymous namespace)")) {
                i += 20;
            } else if (c == '(' && angle == 0 && paren == 0) {
                return withoutDeclarator(text, begin, i);
            } else if (c == '(') {
                ++paren;
            } else if (c == ')' && paren > 0) {
                --paren;
            } else if (c == '<' && paren == 0) {
                ++angle;
            } else if (c == '>' && paren == 0 && angle > 0) {
                --angle;
            } else if (c == ' ' && angle == 0 && paren == 0) {
                begin = i + 1;
            }
        }
        return withoutDeclarator(text, begin, length);
    }
    // Clang writes a pointer or reference return type against the name ("const char *Kalvex::f").
    static constexpr Span withoutDeclarator(const char* text, size_t begin, size_t end) {
        while (begin < end && (text[begin] == '*' || text[begin] == '&'))
            ++begin;
        return {begin, end};
    }
};

} // namespace Detail

} // namespace Kalvex

#define KALVEX_ELAPSED_TIME_CONCAT_(a, b) a##b
#define KALVEX_ELAPSED_TIME_TIMER_(line) KALVEX_ELAPSED_TIME_CONCAT_(kalvexElapsedTime_, line)
#define KALVEX_ELAPSED_TIME_FUNCTION_(line) KALVEX_ELAPSED_TIME_CONCAT_(kalvexElapsedFunction_, line)

/// Times the rest of the scope; its report names the two texts: ">>>  <first> <second> took N ms.".
#define KALVEX_SCOPE_ELAPSED_TIME(first, second)                                                             \
    const ::Kalvex::Detail::FunctionElapsedTime KALVEX_ELAPSED_TIME_TIMER_(__LINE__)(first, second)

/// Times the rest of the enclosing function: ">>>  Function call:  <qualified name> took N ms.".
#define KALVEX_FUNCTION_ELAPSED_TIME()                                                                       \
    static constexpr ::Kalvex::Detail::QualifiedFunctionName KALVEX_ELAPSED_TIME_FUNCTION_(__LINE__)(        \
        __PRETTY_FUNCTION__);                                                                                \
    KALVEX_SCOPE_ELAPSED_TIME("Function call: ", KALVEX_ELAPSED_TIME_FUNCTION_(__LINE__).mText)
