#pragma once

namespace sv {

// acc[s] = the float sum, in the order of k, of src[s + offsets[k]] x weights[k] for s in
// [0, count). src must be readable up to count rounded up to a multiple of 8, plus the largest
// offset. acc must hold count rounded up to a multiple of 8.
void weightedSums(const float* src, const int* offsets, const float* weights, int taps, float* acc, int count);

// acc[s] = the float sum, in the order of k, of rows[k][s] x weights[k] for s in [0, count).
// Reads nothing past rows[k][count - 1].
void weightedRowSums(const float* const* rows, const float* weights, int taps, float* acc, int count);

inline int roundUp8(int n) { return (n + 7) / 8 * 8; }

}  // namespace sv

namespace sv {

// Element-wise steps of the blur and sharpen rows, eight lanes at a time (same IEEE results as
// the scalar loops they replace).
void scaleInto(float* out, const float* in, float factor, int count);                       // out = factor x in
void scaleQuotient(float* out, const float* acc, const float* totals, float factor, int count);  // factor x (acc / totals)
// out = op x clamp01(acc / total) + rest x p  (clamp: >= 1 gives 1, < 0 gives 0)
void blurFinish(float* out, const float* acc, float total, float op, float rest, const float* p, int count);
// out = clamp01(p + a x (p x centreWeight - (acc - p x centreGauss)))
void sharpenFinish(float* out, const float* acc, const float* p, float a, float centreWeight, float centreGauss,
                   int count);

}  // namespace sv
