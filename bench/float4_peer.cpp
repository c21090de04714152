// Compiled twice by bench/math.cmake (-O3 -ffast-math, once for SSE and once for AVX2); each
// build defines PEER_KERNELS as the name of its table.
#include "float4_peer.h"

#include <math.h>

namespace {

#define UNARY_KERNEL(name, call)                                                                             \
    void name(const float* __restrict x, const float*, float* __restrict out, float*, int count) {           \
        for (int i = 0; i < count; ++i) {                                                                    \
            out[i] = call(x[i]);                                                                             \
        }                                                                                                    \
    }
UNARY_KERNEL(sinKernel, sinf)
UNARY_KERNEL(cosKernel, cosf)
UNARY_KERNEL(acosKernel, acosf)
UNARY_KERNEL(atanKernel, atanf)
UNARY_KERNEL(expKernel, expf)
UNARY_KERNEL(exp2Kernel, exp2f)
UNARY_KERNEL(logKernel, logf)
UNARY_KERNEL(log2Kernel, log2f)
#undef UNARY_KERNEL

void sincosKernel(const float* __restrict x, const float*, float* __restrict out, float* __restrict out2,
                  int count) {
    // GCC does not vectorise sincosf calls; the pair of vectorised calls is libmvec's best.
    for (int i = 0; i < count; ++i) {
        out[i] = sinf(x[i]);
        out2[i] = cosf(x[i]);
    }
}

void powKernel(const float* __restrict x, const float* __restrict y, float* __restrict out, float*,
               int count) {
    for (int i = 0; i < count; ++i) {
        out[i] = powf(x[i], y[i]);
    }
}

} // namespace

extern const MathKernel PEER_KERNELS[MATH_FUNCTION_COUNT] = {
    sinKernel, cosKernel,  sincosKernel, acosKernel, atanKernel,
    expKernel, exp2Kernel, logKernel,    log2Kernel, powKernel,
};
