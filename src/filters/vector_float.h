#pragma once

// Eight-lane float vectors for the filters' inner loops. The same code is compiled twice
// (AVX2 and the baseline) and chosen at run time; both give the same IEEE results, since only
// additions, multiplications, divisions, comparisons and min/max are used (no fused
// multiply-add: the AVX2 clone does not enable FMA).
#pragma GCC diagnostic ignored "-Wpsabi"

#include <cstdint>

#if defined(__x86_64__) && !defined(SV_NO_CLONES) && !defined(__SANITIZE_ADDRESS__)
#define SV_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SV_VECTOR_CLONES
#endif

namespace sv::vec {

inline constexpr int kLanes = 8;
typedef float vfloat __attribute__((vector_size(32)));
typedef std::int32_t vint __attribute__((vector_size(32)));

__attribute__((always_inline)) inline vfloat load(const float* p) {
    vfloat v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
__attribute__((always_inline)) inline void store(float* p, const vfloat& v) { __builtin_memcpy(p, &v, sizeof v); }
// Broadcast; f - 0 is f for every float, including -0 and NaN.
__attribute__((always_inline)) inline vfloat splat(float f) { return f - vfloat{}; }
__attribute__((always_inline)) inline vfloat vmin(const vfloat& a, const vfloat& b) { return a < b ? a : b; }
__attribute__((always_inline)) inline vfloat vmax(const vfloat& a, const vfloat& b) { return a > b ? a : b; }

}  // namespace sv::vec

namespace sv::vec {

// exp of eight floats: range reduction by ln 2 and a degree-6 polynomial, accurate to a few
// units in the last place. Arguments below -87 give about 1.6e-38 (the weights it feeds are
// negligible there); NaN gives the same.
__attribute__((always_inline)) inline vfloat exp(const vfloat& arg) {
    vfloat x = arg;
    x = vmax(x, splat(-87.0f));
    x = vmin(x, splat(88.0f));
    const vfloat fx = x * splat(1.44269504088896341f) + splat(0.5f);
    vint n = __builtin_convertvector(fx, vint);
    vfloat fn = __builtin_convertvector(n, vfloat);
    n = n + (fn > fx);  // floor: the comparison is -1 where truncation went up
    fn = __builtin_convertvector(n, vfloat);
    x = x - fn * splat(0.693359375f);
    x = x - fn * splat(-2.12194440e-4f);
    const vfloat z = x * x;
    vfloat y = splat(1.9875691500e-4f);
    y = y * x + splat(1.3981999507e-3f);
    y = y * x + splat(8.3334519073e-3f);
    y = y * x + splat(4.1665795894e-2f);
    y = y * x + splat(1.6666665459e-1f);
    y = y * x + splat(5.0000001201e-1f);
    y = y * z + x + splat(1.0f);
    const vint bits = (n + 127) << 23;
    return y * (vfloat)bits;
}

}  // namespace sv::vec

namespace sv::vec {

// 2^(t / 8) for t <= 0, the range weights of the bilateral: the integer part of t / 8 goes to
// the exponent, the next three bits pick one of eight table values 2^(j / 8), and a cubic in
// the rest (|f| <= 0.5) finishes it; relative error below 2e-7. Arguments below -1000 (and
// NaN) give 2^-125, about 2.4e-38. The AVX2 form in the bilateral takes the same steps.
namespace exp2eighths {
inline constexpr float kTable[8] = {1.000000000e+00f, 1.090507746e+00f, 1.189207077e+00f, 1.296839595e+00f,
                                    1.414213538e+00f, 1.542210817e+00f, 1.681792855e+00f, 1.834008098e+00f};
inline constexpr float kC1 = 8.664340526e-02f;
inline constexpr float kC2 = 3.754025558e-03f;
inline constexpr float kC3 = 1.083910611e-04f;
inline constexpr float kLowest = -1000.0f;
inline constexpr float kRound = 12582912.0f;  // 1.5 x 2^23: adding and subtracting it rounds to an integer
}  // namespace exp2eighths

__attribute__((always_inline)) inline vfloat exp2Eighths(const vfloat& arg) {
    using namespace exp2eighths;
    const vfloat t = vmax(arg, splat(kLowest));
    const vfloat kf = (t + splat(kRound)) - splat(kRound);  // nearest integer, ties to even
    const vint k = __builtin_convertvector(kf, vint);
    const vfloat f = t - kf;  // exact
    vfloat p = splat(kC3) * f + splat(kC2);
    p = p * f + splat(kC1);
    p = p * f + splat(1.0f);
    const vfloat table = {kTable[0], kTable[1], kTable[2], kTable[3], kTable[4], kTable[5], kTable[6], kTable[7]};
    const vfloat q = __builtin_shuffle(table, k & 7) * p;
    return (vfloat)((vint)q + ((k >> 3) << 23));
}

}  // namespace sv::vec
