#include "filters/weighted_sums.h"

#include "filters/vector_float.h"

namespace sv {

using vec::vfloat;

SV_VECTOR_CLONES
void weightedSums(const float* src, const int* offsets, const float* weights, int taps, float* acc, int count) {
    int s = 0;
    for (; s + 32 <= count; s += 32) {
        vfloat a0 = vec::splat(0.0f), a1 = a0, a2 = a0, a3 = a0;
        for (int k = 0; k < taps; ++k) {
            const float* p = src + s + offsets[k];
            const vfloat w = vec::splat(weights[k]);
            a0 += vec::load(p) * w;
            a1 += vec::load(p + 8) * w;
            a2 += vec::load(p + 16) * w;
            a3 += vec::load(p + 24) * w;
        }
        vec::store(acc + s, a0);
        vec::store(acc + s + 8, a1);
        vec::store(acc + s + 16, a2);
        vec::store(acc + s + 24, a3);
    }
    for (; s < count; s += 8) {
        vfloat a = vec::splat(0.0f);
        for (int k = 0; k < taps; ++k) a += vec::load(src + s + offsets[k]) * vec::splat(weights[k]);
        vec::store(acc + s, a);
    }
}

SV_VECTOR_CLONES
void weightedRowSums(const float* const* rows, const float* weights, int taps, float* acc, int count) {
    int s = 0;
    for (; s + 32 <= count; s += 32) {
        vfloat a0 = vec::splat(0.0f), a1 = a0, a2 = a0, a3 = a0;
        for (int k = 0; k < taps; ++k) {
            const float* p = rows[k] + s;
            const vfloat w = vec::splat(weights[k]);
            a0 += vec::load(p) * w;
            a1 += vec::load(p + 8) * w;
            a2 += vec::load(p + 16) * w;
            a3 += vec::load(p + 24) * w;
        }
        vec::store(acc + s, a0);
        vec::store(acc + s + 8, a1);
        vec::store(acc + s + 16, a2);
        vec::store(acc + s + 24, a3);
    }
    for (; s + 8 <= count; s += 8) {
        vfloat a = vec::splat(0.0f);
        for (int k = 0; k < taps; ++k) a += vec::load(rows[k] + s) * vec::splat(weights[k]);
        vec::store(acc + s, a);
    }
    for (; s < count; ++s) {
        float a = 0.0f;
        for (int k = 0; k < taps; ++k) a += rows[k][s] * weights[k];
        acc[s] = a;
    }
}

}  // namespace sv
