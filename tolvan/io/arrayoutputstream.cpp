#include "tolvan/io/arrayoutputstream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace Kalvex::Io {

void ArrayOutputStream::seekpImpl(int64 offset, SeekOrigin origin) {
    switch (origin) {
    case SeekOrigin::Begin: mPosition = offset; break;
    case SeekOrigin::Current: mPosition += offset; break;
    case SeekOrigin::End: mPosition = int64(mBytes.size()) - offset; break;
    default: KALVEX_STOP();
    }
}

void ArrayOutputStream::writeImpl(const void* src, int64 count) {
    if (mPosition < 0) throw Exception("ArrayOutputStream: cannot write at a negative position.");
    if (count > int64(INT32_MAX) - mPosition) {
        throw Exception("ArrayOutputStream: the array cannot grow beyond 2147483647 bytes.");
    }
    const int end = int(mPosition + count);
    if (end > mBytes.size()) {
        if (end > mBytes.capacity()) {
            const int64 grown = int64(mBytes.capacity()) + mBytes.capacity() / 2;
            mBytes.reserve(int(std::max(int64(end), std::min(grown, int64(INT32_MAX)))));
        }
        mBytes.resize(end);
    }
    std::memcpy(mBytes.data() + mPosition, src, size_t(count));
    mPosition += count;
}

} // namespace Kalvex::Io
