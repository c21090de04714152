// Peer kernels for the Float4 benchmark: plain loops over glibc's float functions, compiled in
// their own sources with -O3 -ffast-math so that GCC vectorises them with libmvec.
#pragma once

enum MathFunction { SIN, COS, SINCOS, ACOS, ATAN, EXP, EXP2, LOG, LOG2, POW, MATH_FUNCTION_COUNT };

/// out[i] = f(x[i]) (pow: f(x[i], y[i]); sincos: sines to out, cosines to out2).
using MathKernel = void (*)(const float* x, const float* y, float* out, float* out2, int count);

/// The kernels vectorised for SSE (4 lanes, libmvec's _ZGVb variants).
extern const MathKernel LIBMVEC_SSE_KERNELS[MATH_FUNCTION_COUNT];
/// The kernels vectorised for AVX2 (8 lanes, libmvec's _ZGVd variants); call only on AVX2 processors.
extern const MathKernel LIBMVEC_AVX2_KERNELS[MATH_FUNCTION_COUNT];
