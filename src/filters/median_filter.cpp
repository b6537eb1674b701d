#include "filters/median_filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "filters/selection_network.h"
#include "filters/vector_float.h"

namespace sv {

using vec::vfloat;

namespace {

constexpr float kThird = 1.0f / 3.0f;

struct Cell {
    int dx;
    int dy;
};

struct Setup {
    int p = 0;
    std::vector<Cell> cells;  // in gathering order: i (horizontal index) outer, j inner
    bool box = false;
    float op = 1.0f;
    float rest = 0.0f;
    float thr = 0.0f;
    SelectionNetwork columnSort;  // box only: sorts one column of the mask
    SelectionNetwork median;      // the interior network
};

// Scalar form for pixels whose mask reaches out of the region.
void medianPixel(const Setup& s, const FloatImage& N, const FloatImage& P, FloatImage& C, const Region& r, int x,
                 int y, float* lists) {
    float* R = lists;
    float* G = lists + 64;
    float* B = lists + 128;
    int n = 0;
    float S = 0.0f;
    for (const Cell& cell : s.cells) {
        const int xs = x + cell.dx, ys = y + cell.dy;
        if (xs < r.x || xs >= r.right() || ys < r.y || ys >= r.bottom()) continue;
        R[n] = N.at(xs, ys, 0);
        G[n] = N.at(xs, ys, 1);
        B[n] = N.at(xs, ys, 2);
        S += R[n];
        S += G[n];
        S += B[n];
        ++n;
    }
    float* out = C.row(y) + static_cast<std::size_t>(x) * 3;
    const float* in = P.row(y) + static_cast<std::size_t>(x) * 3;
    // Alone in the region: there is no neighbour mean to compare with.
    if (n <= 1) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        return;
    }
    const float centre = (N.at(x, y, 0) + N.at(x, y, 1) + N.at(x, y, 2)) * kThird;
    const float others = (S * kThird - centre) / static_cast<float>(n - 1);
    if (std::fabs(others - centre) > s.thr) {
        const int mid = n / 2;
        float* lists3[3] = {R, G, B};
        for (int c = 0; c < 3; ++c) {
            std::nth_element(lists3[c], lists3[c] + mid, lists3[c] + n);
            out[c] = s.op * lists3[c][mid] + s.rest * in[c];
        }
    } else {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
    }
}

// Runs a comparator network on eight lanes at once.
SV_VECTOR_CLONES
void runNetwork(const std::pair<std::uint8_t, std::uint8_t>* pairs, int count, vfloat* v) {
    for (int k = 0; k < count; ++k) {
        const vfloat a = v[pairs[k].first];
        const vfloat b = v[pairs[k].second];
        v[pairs[k].first] = vec::vmin(a, b);
        v[pairs[k].second] = vec::vmax(a, b);
    }
}

// The 7 x 7 box, the slowest setting, as straight-line code: its network is fixed at compile
// time, so every slot index is a constant.
constexpr auto kBox7 = fixedSelectionNetwork<256>(7, 7, true, 24);
static_assert(kBox7.count > 0 && kBox7.count <= 256);

template <int A, int B>
__attribute__((always_inline)) inline void compareExchange(vfloat* v) {
    const vfloat a = v[A], b = v[B];
    v[A] = vec::vmin(a, b);
    v[B] = vec::vmax(a, b);
}

template <std::size_t... I>
__attribute__((always_inline)) inline void runBox7(vfloat* v, std::index_sequence<I...>) {
    (compareExchange<kBox7.pairs[I].first, kBox7.pairs[I].second>(v), ...);
}

SV_VECTOR_CLONES
void medianLanesBox7(const float* sorted, std::size_t sortedStride, int x, float* medians) {
    vfloat v[64];
    int k = 0;
    for (int i = 0; i < 7; ++i) {
        const int xs = x + 3 - i;
        for (int rank = 0; rank < 7; ++rank, ++k) v[kBox7.inputSlots[k]] = vec::load(sorted + rank * sortedStride + xs);
    }
    runBox7(v, std::make_index_sequence<kBox7.count>{});
    vec::store(medians, v[kBox7.outputSlot]);
}

// Brightness test for eight interior pixels from the planar copy; returns the lanes to filter.
SV_VECTOR_CLONES
int thresholdLanes(const Setup& s, const float* const* planes, std::size_t stride, int x, int y) {
    vfloat S = vec::splat(0.0f);
    for (const Cell& cell : s.cells) {
        const std::size_t at = static_cast<std::size_t>(y + cell.dy) * stride + x + cell.dx;
        S += vec::load(planes[0] + at);
        S += vec::load(planes[1] + at);
        S += vec::load(planes[2] + at);
    }
    const std::size_t at = static_cast<std::size_t>(y) * stride + x;
    const vfloat centre = (vec::load(planes[0] + at) + vec::load(planes[1] + at) + vec::load(planes[2] + at)) *
                          vec::splat(kThird);
    const vfloat others =
        (S * vec::splat(kThird) - centre) / vec::splat(static_cast<float>(static_cast<int>(s.cells.size()) - 1));
    vfloat d = others - centre;
    d = d < vec::splat(0.0f) ? -d : d;
    const auto pass = d > vec::splat(s.thr);
    int bits = 0;
    for (int lane = 0; lane < 8; ++lane) bits |= pass[lane] ? (1 << lane) : 0;
    return bits;
}

// Sorts, for eight neighbouring columns at once, the 2p + 1 values of each column around row y.
SV_VECTOR_CLONES
void sortColumns(const Setup& s, const float* plane, std::size_t stride, int x, int y, float* sorted,
                 std::size_t sortedStride) {
    vfloat v[8];
    const int q = 2 * s.p + 1;
    for (int k = 0; k < q; ++k) {
        v[s.columnSort.inputSlots[k]] = vec::load(plane + static_cast<std::size_t>(y - s.p + k) * stride + x);
    }
    runNetwork(s.columnSort.pairs.data(), static_cast<int>(s.columnSort.pairs.size()), v);
    for (int k = 0; k < q; ++k) vec::store(sorted + k * sortedStride + x, v[s.columnSort.rankSlots[k]]);
}

// Medians of one channel for eight interior pixels.
SV_VECTOR_CLONES
void medianLanes(const Setup& s, const float* plane, std::size_t stride, const float* sorted,
                 std::size_t sortedStride, int x, int y, float* medians) {
    if (s.box && s.p == 3) {
        medianLanesBox7(sorted, sortedStride, x, medians);
        return;
    }
    vfloat v[64];
    const int q = 2 * s.p + 1;
    int k = 0;
    if (s.box) {
        // Columns in gathering order (i outer); each arrives sorted from sortColumns.
        for (int i = 0; i < q; ++i) {
            const int xs = x + s.p - i;
            for (int rank = 0; rank < q; ++rank, ++k) {
                v[s.median.inputSlots[k]] = vec::load(sorted + rank * sortedStride + xs);
            }
        }
    } else {
        for (const Cell& cell : s.cells) {
            v[s.median.inputSlots[k++]] =
                vec::load(plane + static_cast<std::size_t>(y + cell.dy) * stride + x + cell.dx);
        }
    }
    runNetwork(s.median.pairs.data(), static_cast<int>(s.median.pairs.size()), v);
    vec::store(medians, v[s.median.rankSlots[static_cast<std::size_t>(k / 2)]]);
}

}  // namespace

void medianFilter(const FilterBuffers& buffers, const Region& regionIn, const MedianParams& params,
                  ProgressSink& progress) {
    if (!buffersUsable(buffers)) return;
    const FloatImage& P = buffers.processed;
    FloatImage& N = buffers.working;
    FloatImage& C = buffers.output;
    const Region r = clipRegion(regionIn, P.width(), P.height());
    beginProgress(progress, 3 * static_cast<std::int64_t>(r.height));
    if (r.empty()) return;

    Setup s;
    const FilterKernel mask = makeMedianMask(params.shape, params.sizePosition);
    s.p = mask.width / 2;
    for (int i = 0; i < mask.width; ++i) {
        for (int j = 0; j < mask.height; ++j) {
            if (mask.weights[i][j] == 1.0f) s.cells.push_back({s.p - i, s.p - j});
        }
    }
    s.box = params.shape == MedianShape::Box;
    s.op = fractionFromPosition(params.opacityPosition);
    s.rest = 1.0f - s.op;
    s.thr = static_cast<float>(1.0 - params.thresholdPosition * 0.01);
    const int q = 2 * s.p + 1;
    const int n = static_cast<int>(s.cells.size());
    if (s.box) {
        s.columnSort = makeSelectionNetwork(1, q, false, -1);
        s.median = makeSelectionNetwork(q, q, true, n / 2);
    } else {
        s.median = makeSelectionNetwork(1, n, false, n / 2);
    }

    const int w = r.width;
    const int h = r.height;
    const std::size_t x0s = static_cast<std::size_t>(r.x) * 3;

    // Pass 1: the copy into N, and a planar copy of the region for the eight-lane interior.
    const std::size_t stride = static_cast<std::size_t>(w) + 8;
    std::unique_ptr<float[]> planes(new float[stride * h * 3]);
    const float* planePtr[3] = {planes.get(), planes.get() + stride * h, planes.get() + 2 * stride * h};
    tbb::parallel_for(tbb::blocked_range<int>(0, h), [&](const tbb::blocked_range<int>& range) {
        for (int ry = range.begin(); ry != range.end(); ++ry) {
            const float* src = P.row(r.y + ry) + x0s;
            std::memcpy(N.row(r.y + ry) + x0s, src, static_cast<std::size_t>(w) * 3 * sizeof(float));
            for (int c = 0; c < 3; ++c) {
                float* dst = planes.get() + stride * h * c + stride * ry;
                for (int x = 0; x < w; ++x) dst[x] = src[x * 3 + c];
                std::fill(dst + w, dst + stride, 0.0f);
            }
        }
        progress.advance(range.end() - range.begin());
    });

    // Pass 2: filter. Interior pixels (mask wholly inside the region) eight at a time; the
    // rest one by one.
    const std::size_t sortedStride = stride;
    tbb::enumerable_thread_specific<std::vector<float>> sortedBuffers(
        [&] { return std::vector<float>(sortedStride * q * 3 + 8); });
    tbb::parallel_for(tbb::blocked_range<int>(0, h), [&](const tbb::blocked_range<int>& range) {
        float lists[192];
        std::vector<float>& sorted = sortedBuffers.local();
        for (int ry = range.begin(); ry != range.end(); ++ry) {
            const int y = r.y + ry;
            const bool rowInterior = ry >= s.p && ry + s.p < h;
            int xFirst = w, xEnd = w;  // interior run [xFirst, xEnd) in region coordinates
            if (rowInterior && w >= 2 * s.p + 8) {
                xFirst = s.p;
                xEnd = s.p + (w - 2 * s.p) / 8 * 8;
            }
            for (int x = 0; x < xFirst; ++x) medianPixel(s, N, P, C, r, r.x + x, y, lists);
            if (xFirst < xEnd && s.box) {
                for (int c = 0; c < 3; ++c) {
                    for (int x = 0; x + 8 <= w; x += 8) {
                        sortColumns(s, planePtr[c], stride, x, ry, sorted.data() + sortedStride * q * c,
                                    sortedStride);
                    }
                    if (w % 8 != 0) {
                        sortColumns(s, planePtr[c], stride, w - 8 >= 0 ? w - 8 : 0, ry,
                                    sorted.data() + sortedStride * q * c, sortedStride);
                    }
                }
            }
            for (int x = xFirst; x < xEnd; x += 8) {
                const int lanes = thresholdLanes(s, planePtr, stride, x, ry);
                const float* in = P.row(y) + x0s + static_cast<std::size_t>(x) * 3;
                float* out = C.row(y) + x0s + static_cast<std::size_t>(x) * 3;
                if (lanes == 0) {
                    std::memcpy(out, in, 24 * sizeof(float));
                    continue;
                }
                for (int c = 0; c < 3; ++c) {
                    float med[8];
                    medianLanes(s, planePtr[c], stride, sorted.data() + sortedStride * q * c, sortedStride, x, ry,
                                med);
                    for (int lane = 0; lane < 8; ++lane) {
                        out[lane * 3 + c] =
                            (lanes >> lane) & 1 ? s.op * med[lane] + s.rest * in[lane * 3 + c] : in[lane * 3 + c];
                    }
                }
            }
            for (int x = xEnd; x < w; ++x) medianPixel(s, N, P, C, r, r.x + x, y, lists);
        }
        progress.advance(range.end() - range.begin());
    });
}

}  // namespace sv
