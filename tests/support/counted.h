// Counted: an element type that records every construction and destruction, so container tests can
// prove that each element is destroyed exactly once and in the expected order.
#pragma once

#include <vector>

namespace TolvanTest {

struct Counted {
    static inline int sLive = 0;
    static inline int sConstructed = 0;
    static inline int sDestroyed = 0;
    static inline std::vector<int> sDestroyOrder;

    static void resetCounts() {
        sLive = sConstructed = sDestroyed = 0;
        sDestroyOrder.clear();
    }

    int mValue = 0;
    bool mMovedFrom = false;

    Counted() { created(); }
    Counted(int value)
        : mValue(value) {
        created();
    }
    Counted(const Counted& other)
        : mValue(other.mValue) {
        created();
    }
    Counted(Counted&& other) noexcept
        : mValue(other.mValue) {
        other.mMovedFrom = true;
        created();
    }
    Counted& operator=(const Counted&) = default;
    Counted& operator=(Counted&& other) noexcept {
        mValue = other.mValue;
        other.mMovedFrom = true;
        return *this;
    }
    ~Counted() {
        --sLive;
        ++sDestroyed;
        if (!mMovedFrom) sDestroyOrder.push_back(mValue);
    }
    friend bool operator==(const Counted& a, const Counted& b) { return a.mValue == b.mValue; }

private:
    static void created() {
        ++sLive;
        ++sConstructed;
    }
};

} // namespace TolvanTest
