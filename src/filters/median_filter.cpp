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

constexpr auto kColumn7 = fixedSelectionNetwork<32>(1, 7, false, -1);

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

template <std::size_t... I>
__attribute__((always_inline)) inline void runColumn7(vfloat* v, std::index_sequence<I...>) {
    (compareExchange<kColumn7.pairs[I].first, kColumn7.pairs[I].second>(v), ...);
}

SV_VECTOR_CLONES
void sortColumns7(const float* plane, std::size_t stride, int x, int y, float* sorted, std::size_t sortedStride) {
    vfloat v[8];
    for (int k = 0; k < 7; ++k) {
        v[kColumn7.inputSlots[k]] = vec::load(plane + static_cast<std::size_t>(y - 3 + k) * stride + x);
    }
    runColumn7(v, std::make_index_sequence<kColumn7.count>{});
    for (int k = 0; k < 7; ++k) vec::store(sorted + k * sortedStride + x, v[kColumn7.rankSlots[k]]);
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

// Brightness test for Blocks x 8 interior pixels from the planar copy: the lanes to filter, one
// bit mask per block. The blocks' sums are independent chains, so they run side by side.
template <int Blocks>
__attribute__((always_inline)) inline void thresholdBlocks(const Setup& s, const float* const* planes,
                                                           std::size_t stride, int x, int y, int* masks) {
    vfloat S[Blocks];
    for (int b = 0; b < Blocks; ++b) S[b] = vec::splat(0.0f);
    for (const Cell& cell : s.cells) {
        const std::size_t at = static_cast<std::size_t>(y + cell.dy) * stride + x + cell.dx;
        for (int b = 0; b < Blocks; ++b) S[b] += vec::load(planes[0] + at + 8 * b);
        for (int b = 0; b < Blocks; ++b) S[b] += vec::load(planes[1] + at + 8 * b);
        for (int b = 0; b < Blocks; ++b) S[b] += vec::load(planes[2] + at + 8 * b);
    }
    const vfloat others_n = vec::splat(static_cast<float>(static_cast<int>(s.cells.size()) - 1));
    for (int b = 0; b < Blocks; ++b) {
        const std::size_t at = static_cast<std::size_t>(y) * stride + x + 8 * b;
        const vfloat centre = (vec::load(planes[0] + at) + vec::load(planes[1] + at) + vec::load(planes[2] + at)) *
                              vec::splat(kThird);
        const vfloat others = (S[b] * vec::splat(kThird) - centre) / others_n;
        vfloat d = others - centre;
        d = d < vec::splat(0.0f) ? -d : d;
        const auto pass = d > vec::splat(s.thr);
        int bits = 0;
        for (int lane = 0; lane < 8; ++lane) bits |= pass[lane] ? (1 << lane) : 0;
        masks[b] = bits;
    }
}

SV_VECTOR_CLONES
void thresholdLanes4(const Setup& s, const float* const* planes, std::size_t stride, int x, int y, int* masks) {
    thresholdBlocks<4>(s, planes, stride, x, y, masks);
}

SV_VECTOR_CLONES
void thresholdLanes1(const Setup& s, const float* const* planes, std::size_t stride, int x, int y, int* masks) {
    thresholdBlocks<1>(s, planes, stride, x, y, masks);
}

// Sorts, for eight neighbouring columns at once, the 2p + 1 values of each column around row y.
SV_VECTOR_CLONES
void sortColumns(const Setup& s, const float* plane, std::size_t stride, int x, int y, float* sorted,
                 std::size_t sortedStride) {
    if (s.p == 3) {
        sortColumns7(plane, stride, x, y, sorted, sortedStride);
        return;
    }
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

MedianParams medianParams(const ParameterValues& values) {
    const ParameterList d = kMedianParameters;
    MedianParams params;
    params.shape = static_cast<MedianShape>(positionOf(d, values, "shape"));
    params.sizePosition = positionOf(d, values, "size");
    params.thresholdPosition = positionOf(d, values, "threshold");
    params.opacityPosition = positionOf(d, values, "opacity");
    return params;
}

void medianFilter(const FilterBuffers& buffers, const Region& regionIn, const MedianParams& params,
                  ProgressSink& progress) {
    Region r;
    if (!beginFilter(buffers, regionIn, 3, progress, r)) return;
    const FloatImage& P = buffers.processed;
    FloatImage& N = buffers.working;
    FloatImage& C = buffers.output;

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

    // Pass 1: the copy into N.
    tbb::parallel_for(tbb::blocked_range<int>(0, h), [&](const tbb::blocked_range<int>& range) {
        for (int ry = range.begin(); ry != range.end(); ++ry) {
            std::memcpy(N.row(r.y + ry) + x0s, P.row(r.y + ry) + x0s, static_cast<std::size_t>(w) * 3 * sizeof(float));
        }
        progress.advance(range.end() - range.begin());
    });

    // Pass 2: filter, in bands of rows. Interior pixels (mask wholly inside the region) go eight
    // at a time from a planar copy of the band's rows and the rows in reach; the rest one by one.
    const std::size_t stride = static_cast<std::size_t>(w) + 8;
    constexpr int kBand = 32;
    const int bands = (h + kBand - 1) / kBand;
    const std::size_t bandRows = static_cast<std::size_t>(kBand + 2 * s.p);
    const std::size_t sortedStride = stride;
    struct Scratch {
        std::vector<float> planes, sorted;
    };
    tbb::enumerable_thread_specific<Scratch> scratch([&] {
        Scratch sc;
        sc.planes.assign(stride * bandRows * 3, 0.0f);
        sc.sorted.assign(sortedStride * q * 3 + 8, 0.0f);
        return sc;
    });
    tbb::parallel_for(tbb::blocked_range<int>(0, bands, 1), [&](const tbb::blocked_range<int>& range) {
      Scratch& sc = scratch.local();
      std::vector<float>& sorted = sc.sorted;
      float lists[192];
      for (int band = range.begin(); band != range.end(); ++band) {
        const int a = band * kBand, b = std::min(h, a + kBand);
        const int first = std::max(0, a - s.p), last = std::min(h, b + s.p);
        const std::size_t planeSize = stride * bandRows;
        const float* planePtr[3] = {sc.planes.data(), sc.planes.data() + planeSize, sc.planes.data() + 2 * planeSize};
        for (int ry = first; ry < last; ++ry) {
            const float* src = P.row(r.y + ry) + x0s;
            for (int c = 0; c < 3; ++c) {
                float* dst = sc.planes.data() + planeSize * c + stride * static_cast<std::size_t>(ry - first);
                for (int x = 0; x < w; ++x) dst[x] = src[x * 3 + c];
            }
        }
        for (int ry = a; ry < b; ++ry) {
            const int y = r.y + ry;
            const int by = ry - first;  // row in the band's planes
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
                        sortColumns(s, planePtr[c], stride, x, by, sorted.data() + sortedStride * q * c,
                                    sortedStride);
                    }
                    if (w % 8 != 0) {
                        sortColumns(s, planePtr[c], stride, w - 8 >= 0 ? w - 8 : 0, by,
                                    sorted.data() + sortedStride * q * c, sortedStride);
                    }
                }
            }
            int masks[4] = {0, 0, 0, 0};
            const int fullEnd = xFirst + (xEnd - xFirst) / 32 * 32;  // runs of four blocks end here
            for (int x = xFirst; x < xEnd; x += 8) {
                int block = 0;
                if (x < fullEnd) {
                    block = (x - xFirst) / 8 % 4;
                    if (block == 0) thresholdLanes4(s, planePtr, stride, x, by, masks);
                } else {
                    thresholdLanes1(s, planePtr, stride, x, by, masks);
                }
                const int lanes = masks[block];
                const float* in = P.row(y) + x0s + static_cast<std::size_t>(x) * 3;
                float* out = C.row(y) + x0s + static_cast<std::size_t>(x) * 3;
                if (lanes == 0) {
                    std::memcpy(out, in, 24 * sizeof(float));
                    continue;
                }
                for (int c = 0; c < 3; ++c) {
                    float med[8];
                    medianLanes(s, planePtr[c], stride, sorted.data() + sortedStride * q * c, sortedStride, x, by,
                                med);
                    for (int lane = 0; lane < 8; ++lane) {
                        out[lane * 3 + c] =
                            (lanes >> lane) & 1 ? s.op * med[lane] + s.rest * in[lane * 3 + c] : in[lane * 3 + c];
                    }
                }
            }
            for (int x = xEnd; x < w; ++x) medianPixel(s, N, P, C, r, r.x + x, y, lists);
        }
        progress.advance(b - a);
      }
    });
}

}  // namespace sv
