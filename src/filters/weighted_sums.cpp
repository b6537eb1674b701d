#include "filters/weighted_sums.h"

#include "filters/vector_float.h"

namespace sv {

using vec::vfloat;

SV_VECTOR_CLONES
void weightedSums(const float* src, const int* offsets, const float* weights, int taps, float* acc, int count) {
    int s = 0;
    for (; s + 64 <= count; s += 64) {
        vfloat a[8];
        for (int i = 0; i < 8; ++i) a[i] = vec::splat(0.0f);
        for (int k = 0; k < taps; ++k) {
            const float* p = src + s + offsets[k];
            const vfloat w = vec::splat(weights[k]);
            for (int i = 0; i < 8; ++i) a[i] += vec::load(p + 8 * i) * w;
        }
        for (int i = 0; i < 8; ++i) vec::store(acc + s + 8 * i, a[i]);
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
    for (; s + 64 <= count; s += 64) {
        vfloat a[8];
        for (int i = 0; i < 8; ++i) a[i] = vec::splat(0.0f);
        for (int k = 0; k < taps; ++k) {
            const float* p = rows[k] + s;
            const vfloat w = vec::splat(weights[k]);
            for (int i = 0; i < 8; ++i) a[i] += vec::load(p + 8 * i) * w;
        }
        for (int i = 0; i < 8; ++i) vec::store(acc + s + 8 * i, a[i]);
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

namespace sv {

namespace {
__attribute__((always_inline)) inline vfloat clamp01(const vfloat& value) {
    vfloat v = value;
    v = v >= vec::splat(1.0f) ? vec::splat(1.0f) : v;
    return v < vec::splat(0.0f) ? vec::splat(0.0f) : v;
}
}  // namespace

SV_VECTOR_CLONES
void scaleInto(float* out, const float* in, float factor, int count) {
    int k = 0;
    for (; k + 8 <= count; k += 8) vec::store(out + k, vec::splat(factor) * vec::load(in + k));
    for (; k < count; ++k) out[k] = factor * in[k];
}

SV_VECTOR_CLONES
void scaleQuotient(float* out, const float* acc, const float* totals, float factor, int count) {
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        vec::store(out + k, vec::splat(factor) * (vec::load(acc + k) / vec::load(totals + k)));
    }
    for (; k < count; ++k) out[k] = factor * (acc[k] / totals[k]);
}

SV_VECTOR_CLONES
void blurFinish(float* out, const float* acc, float total, float op, float rest, const float* p, int count) {
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        const vfloat v = clamp01(vec::load(acc + k) / vec::splat(total));
        vec::store(out + k, vec::splat(op) * v + vec::splat(rest) * vec::load(p + k));
    }
    for (; k < count; ++k) {
        float v = acc[k] / total;
        if (v >= 1.0f) v = 1.0f;
        if (v < 0.0f) v = 0.0f;
        out[k] = op * v + rest * p[k];
    }
}

SV_VECTOR_CLONES
void sharpenFinish(float* out, const float* acc, const float* p, float a, float centreWeight, float centreGauss,
                   int count) {
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        const vfloat pk = vec::load(p + k);
        const vfloat v = pk + vec::splat(a) * (pk * vec::splat(centreWeight) -
                                               (vec::load(acc + k) - pk * vec::splat(centreGauss)));
        vec::store(out + k, clamp01(v));
    }
    for (; k < count; ++k) {
        float v = p[k] + a * (p[k] * centreWeight - (acc[k] - p[k] * centreGauss));
        if (v >= 1.0f) v = 1.0f;
        if (v < 0.0f) v = 0.0f;
        out[k] = v;
    }
}

}  // namespace sv
