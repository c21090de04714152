#include "tolvan/utility/geometry.h"

#include <cmath>

namespace Kalvex {

Dir Dir::normalized(float dx, float dy, float dz) noexcept {
    double length = std::sqrt(double(dx) * dx + double(dy) * dy + double(dz) * dz);
    if (!(length > 0.0) || !std::isfinite(length)) {
        return DOWN;
    }
    return {float(dx / length), float(dy / length), float(dz / length)};
}

} // namespace Kalvex
