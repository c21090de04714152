#include "tolvan/utility/affinetm.h"

#include "tolvan/utility/valuetext.h"

#include <cmath>

namespace Kalvex {

Optional<AffineTm> AffineTm::getInverse() const {
    if (getDeterminant() == 0.f) {
        return NONE;
    }
    AffineTm inverse = getInverseUnchecked();
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            if (!std::isfinite(inverse.get(row, column))) return NONE;
        }
    }
    return inverse;
}

String AffineTm::toString() const {
    String text(u"[");
    for (int row = 0; row < 3; ++row) {
        text << (row == 0 ? u"" : u", ")
             << Detail::formatTuple(get(row, 0), get(row, 1), get(row, 2), get(row, 3));
    }
    return text << u"]";
}

} // namespace Kalvex
