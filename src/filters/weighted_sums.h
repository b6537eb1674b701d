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
