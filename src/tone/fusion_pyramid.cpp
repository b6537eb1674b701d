#include "tone/fusion_pyramid.h"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <immintrin.h>

#include <algorithm>
#include <cassert>
#include <new>

#include "image/zeroed_block.h"

namespace sv::fusion {

void Plane::FreeDeleter::operator()(float* p) const { freeZeroed(p, bytes); }

Plane::Plane(int width, int height, int channels) : width_(width), height_(height), channels_(channels) {
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * channels * sizeof(float);
    auto* p = static_cast<float*>(allocateZeroed(bytes));
    if (!p) throw std::bad_alloc();
    data_ = std::unique_ptr<float[], FreeDeleter>(p, FreeDeleter{bytes});
}

int mirror(int i, int n) {
    if (n <= 1) return 0;
    const int period = 2 * n - 2;
    i %= period;
    if (i < 0) i += period;
    return i < n ? i : period - i;
}

Span expandSupport(Span fine, int fineSize) {
    const int coarse = coarserSize(fineSize);
    // Even outputs read (x - 2) / 2 .. (x + 2) / 2, odd ones (x - 1) / 2 .. (x + 1) / 2; indices
    // mirrored at an edge land inside this range too.
    const int lo = fine.begin - 2 >= 0 ? (fine.begin - 2) / 2 : 0;
    const int hi = (fine.end + 1) / 2 + 1;
    return Span{lo, std::min(hi, coarse)};
}

ExpandTaps expandTaps(int x, int n) {
    // Mirroring keeps the parity of an index (n >= 2), so the inserted zeros stay zeros and only
    // the even positions, coarse pixels, carry weight.
    if ((x & 1) == 0) return ExpandTaps{mirror(x - 2, n) / 2, x / 2, mirror(x + 2, n) / 2};
    return ExpandTaps{mirror(x - 1, n) / 2, mirror(x + 1, n) / 2, 0};
}

namespace {

// (a + 4b + 6c + 4d + e) / 16, summed left to right.
inline float binomial5(float a, float b, float c, float d, float e) {
    return ((((a + 4.0f * b) + 6.0f * c) + 4.0f * d) + e) * 0.0625f;
}

inline float expandEven(float a, float b, float c) { return ((a + 6.0f * b) + c) * 0.125f; }
inline float expandOdd(float a, float b) { return (a + b) * 0.5f; }

template <int kChannels>
void reduceColumns(const float* t, int width, float* out) {
    const int outWidth = coarserSize(width);
    auto edge = [&](int x) {
        const int i0 = mirror(2 * x - 2, width), i1 = mirror(2 * x - 1, width), i2 = 2 * x;
        const int i3 = mirror(2 * x + 1, width), i4 = mirror(2 * x + 2, width);
        for (int c = 0; c < kChannels; ++c) {
            out[x * kChannels + c] = binomial5(t[i0 * kChannels + c], t[i1 * kChannels + c], t[i2 * kChannels + c],
                                               t[i3 * kChannels + c], t[i4 * kChannels + c]);
        }
    };
    // Outputs whose five taps all lie inside: 2x - 2 >= 0 and 2x + 2 <= width - 1. At least one
    // edge output always follows them.
    const int first = 1;
    const int last = (width - 3) / 2;  // inclusive
    int x = 0;
    for (; x < std::min(first, outWidth); ++x) edge(x);
    if constexpr (kChannels == 3) {
        // A pixel's three samples in the low lanes of one vector; the fourth lane spills onto
        // the next output's first sample, which is written after it.
        const __m128 four = _mm_set1_ps(4.0f), six = _mm_set1_ps(6.0f), sixteenth = _mm_set1_ps(0.0625f);
        for (; x <= last; ++x) {
            const float* q = t + (2 * x - 2) * 3;
            const __m128 a = _mm_loadu_ps(q), b = _mm_loadu_ps(q + 3), c = _mm_loadu_ps(q + 6);
            const __m128 d = _mm_loadu_ps(q + 9), e = _mm_loadu_ps(q + 12);
            __m128 sum = _mm_add_ps(a, _mm_mul_ps(four, b));
            sum = _mm_add_ps(sum, _mm_mul_ps(six, c));
            sum = _mm_add_ps(sum, _mm_mul_ps(four, d));
            sum = _mm_add_ps(sum, e);
            _mm_storeu_ps(out + 3 * x, _mm_mul_ps(sum, sixteenth));
        }
    } else {
        for (; x <= last; ++x) {
            const float* q = t + (2 * x - 2);
            out[x] = binomial5(q[0], q[1], q[2], q[3], q[4]);
        }
    }
    for (; x < outWidth; ++x) edge(x);
}

template <int kChannels>
void expandColumns(const float* v, int fineWidth, Span columns, float* out) {
    auto one = [&](int x) {
        const ExpandTaps t = expandTaps(x, fineWidth);
        float* o = out + (x - columns.begin) * kChannels;
        for (int c = 0; c < kChannels; ++c) {
            o[c] = (x & 1) == 0 ? expandEven(v[t.a * kChannels + c], v[t.b * kChannels + c], v[t.c * kChannels + c])
                                : expandOdd(v[t.a * kChannels + c], v[t.b * kChannels + c]);
        }
    };
    // Inside: even x = 2i reads i - 1, i, i + 1 (needs x >= 2, x + 2 <= fineWidth - 1); odd
    // x = 2i + 1 reads i, i + 1 (needs x + 1 <= fineWidth - 1).
    const int innerBegin = std::max(columns.begin, 2);
    const int innerEnd = std::min(columns.end, fineWidth - 3);  // exclusive: x + 2 <= fineWidth - 1 for x < this
    int x = columns.begin;
    for (; x < std::min(innerBegin, columns.end); ++x) one(x);
    if (x < innerEnd && (x & 1) == 1) one(x++);
    if constexpr (kChannels == 3) {
        // Pairs of outputs (even, odd) from three coarse pixels, each pixel's samples in the low
        // lanes of a vector; the fourth lane of each store is overwritten by the next one (or the
        // padding takes it).
        const __m128 six = _mm_set1_ps(6.0f), eighth = _mm_set1_ps(0.125f), half = _mm_set1_ps(0.5f);
        for (; x + 1 < innerEnd; x += 2) {
            const int i = x >> 1;
            const __m128 left = _mm_loadu_ps(v + 3 * (i - 1)), mid = _mm_loadu_ps(v + 3 * i);
            const __m128 right = _mm_loadu_ps(v + 3 * (i + 1));
            float* o = out + (x - columns.begin) * 3;
            _mm_storeu_ps(o, _mm_mul_ps(_mm_add_ps(_mm_add_ps(left, _mm_mul_ps(six, mid)), right), eighth));
            _mm_storeu_ps(o + 3, _mm_mul_ps(_mm_add_ps(mid, right), half));
        }
    } else {
        for (; x + 1 < innerEnd; x += 2) {
            const int i = x >> 1;
            out[x - columns.begin] = expandEven(v[i - 1], v[i], v[i + 1]);
            out[x + 1 - columns.begin] = expandOdd(v[i], v[i + 1]);
        }
    }
    for (; x < columns.end; ++x) one(x);
}

}  // namespace

void reduceRow(const float* const rows[5], int sourceWidth, int channels, float* scratch, float* out) {
    const std::size_t samples = static_cast<std::size_t>(sourceWidth) * channels;
    const float* __restrict r0 = rows[0];
    const float* __restrict r1 = rows[1];
    const float* __restrict r2 = rows[2];
    const float* __restrict r3 = rows[3];
    const float* __restrict r4 = rows[4];
    float* __restrict t = scratch;
    for (std::size_t i = 0; i < samples; ++i) t[i] = binomial5(r0[i], r1[i], r2[i], r3[i], r4[i]);
    if (channels == 3) {
        reduceColumns<3>(scratch, sourceWidth, out);
    } else {
        reduceColumns<1>(scratch, sourceWidth, out);
    }
}

void reduceLevel(const Plane& source, Plane& target) {
    assert(target.width() == coarserSize(source.width()) && target.height() == coarserSize(source.height()));
    assert(source.height() >= 2 && source.width() >= 2);
    tbb::enumerable_thread_specific<std::vector<float>> scratch(
        [&] { return std::vector<float>(source.rowSamples() + kRowPadding); });
    tbb::parallel_for(tbb::blocked_range<int>(0, target.height()), [&](const tbb::blocked_range<int>& r) {
        std::vector<float>& t = scratch.local();
        for (int j = r.begin(); j != r.end(); ++j) {
            const float* rows[5];
            for (int m = 0; m < 5; ++m) rows[m] = source.row(mirror(2 * j - 2 + m, source.height()));
            reduceRow(rows, source.width(), source.channels(), t.data(), target.row(j));
        }
    });
}

void expandRow(const Plane& coarse, int fineWidth, int fineHeight, int y, Span columns, float* scratch, float* out) {
    const int channels = coarse.channels();
    const ExpandTaps ty = expandTaps(y, fineHeight);
    const Span support = expandSupport(columns, fineWidth);
    const std::size_t from = static_cast<std::size_t>(support.begin) * channels;
    const std::size_t to = static_cast<std::size_t>(support.end) * channels;
    const float* __restrict a = coarse.row(ty.a);
    const float* __restrict b = coarse.row(ty.b);
    float* __restrict v = scratch;
    if ((y & 1) == 0) {
        const float* __restrict c = coarse.row(ty.c);
        for (std::size_t i = from; i < to; ++i) v[i] = expandEven(a[i], b[i], c[i]);
    } else {
        for (std::size_t i = from; i < to; ++i) v[i] = expandOdd(a[i], b[i]);
    }
    if (channels == 3) {
        expandColumns<3>(scratch, fineWidth, columns, out);
    } else {
        expandColumns<1>(scratch, fineWidth, columns, out);
    }
}

}  // namespace sv::fusion
