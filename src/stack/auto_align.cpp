#include "stack/auto_align.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <tbb/blocked_range.h>
#include <tbb/blocked_range2d.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>

#include "image/parallel_rows.h"
#include "image/zeroed_block.h"
#include "stack/auto_align_detail.h"

// The integer kernels (sums of absolute differences, dot products of 16-bit gradients) are built
// for AVX2 as well as the baseline and chosen at run time; integer sums do not depend on the
// instruction set.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && defined(__GNUC__) && !defined(__clang__)
#define SV_ALIGN_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SV_ALIGN_CLONES
#endif

namespace sv {

namespace align_detail {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Inline: most calls compare a few dozen bytes, where a call through the clone dispatcher costs
// more than the comparison. PSADBW (SSE2, every x86-64) sums sixteen differences in one step.
inline std::int64_t sumAbsDiff(const std::uint8_t* a, const std::uint8_t* b, int n) {
    std::int64_t total = 0;
    int i = 0;
#if defined(__SSE2__)
    __m128i sums = _mm_setzero_si128();  // two 64-bit lanes
    for (; i + 16 <= n; i += 16) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(va, vb));
    }
    total = _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
#endif
    // The rest in 32-bit partial sums, in chunks that keep them far from overflow.
    for (int start = i; start < n; start += 1 << 20) {
        const int end = std::min(n, start + (1 << 20));
        std::int32_t s = 0;
        for (int k = start; k < end; ++k) s += std::abs(static_cast<int>(a[k]) - static_cast<int>(b[k]));
        total += s;
    }
    return total;
}

SV_ALIGN_CLONES std::int64_t dotProduct(const std::int16_t* a, const std::int16_t* b, int n) {
    std::int64_t total = 0;
    // 4096 products of at most 2 x 255^2 stay inside 32 bits.
    for (int start = 0; start < n; start += 4096) {
        const int end = std::min(n, start + 4096);
        std::int32_t s = 0;
        for (int i = start; i < end; ++i) s += static_cast<std::int32_t>(a[i]) * static_cast<std::int32_t>(b[i]);
        total += s;
    }
    return total;
}

}  // namespace

RankBlock zeroedRankBlock(std::size_t bytes) {
    // From a megabyte up, a block is taken at the size that gets huge pages: its untouched rest
    // costs nothing, hundreds of fresh 4K pages would.
    if (bytes >= (1u << 20)) bytes = std::max<std::size_t>(bytes, 4u << 20);
    auto* block = static_cast<std::uint8_t*>(allocateZeroed(bytes));
    if (!block) throw std::bad_alloc();
    return RankBlock(block, RankPixelsRelease{bytes});
}

RankPicture::RankPicture(int w, int h, bool sparse) : width(w), height(h) {
    if (sparse) {
        rowStart.assign(static_cast<std::size_t>(std::max(h, 0)), nullptr);
        return;
    }
    pixels = zeroedRankBlock(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
}

void RankPixelsRelease::operator()(std::uint8_t* p) const { freeZeroed(p, bytes); }

std::uint32_t brightnessKey(float value) {
    std::int32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return static_cast<std::uint32_t>(std::clamp((bits >> 12) - (107 << 11), 0, 65535));
}

int histogramRowStep(int height) { return std::clamp(height / 256, 1, 8); }

namespace {

// The brightness keys of `samples` samples, in one flat loop (which vectorises).
SV_ALIGN_CLONES void flatKeys(const float* p, int samples, std::uint16_t* flat) {
    for (int i = 0; i < samples; ++i) {
        const std::int32_t bits = std::bit_cast<std::int32_t>(p[i]);
        flat[i] = static_cast<std::uint16_t>(std::min(std::max((bits >> 12) - (107 << 11), 0), 65535));
    }
}

// The keys of one row: R, G, B and the brightest channel (whose key is the largest of the three,
// the key being monotone and 0 for anything negative), each `width` long. The samples are first
// keyed flat, then dealt out to the channels.
void rowKeys(const float* p, int width, std::uint16_t* keys, std::uint16_t* flat) {
    flatKeys(p, 3 * width, flat);
    std::uint16_t* kr = keys;
    std::uint16_t* kg = keys + width;
    std::uint16_t* kb = keys + 2 * static_cast<std::ptrdiff_t>(width);
    std::uint16_t* kl = keys + 3 * static_cast<std::ptrdiff_t>(width);
    for (int x = 0; x < width; ++x) {
        const std::uint16_t r = flat[3 * x];
        const std::uint16_t g = flat[3 * x + 1];
        const std::uint16_t b = flat[3 * x + 2];
        kr[x] = r;
        kg[x] = g;
        kb[x] = b;
        kl[x] = std::max(r, std::max(g, b));
    }
}

}  // namespace

namespace {

// One row of the picture halved: ((a + b) + (c + d)) x 0.25 with a, b from the upper row.
// With SSE each pixel is one vector of its three channels and the next pixel's first, which the
// next pixel's store overwrites; the last pixel is done one sample at a time.
void halfRow(const float* r0, const float* r1, float* q, std::size_t samples) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 quarter = _mm_set1_ps(0.25f);
    for (; i + 3 < samples; i += 3) {
        const __m128 upper = _mm_add_ps(_mm_loadu_ps(r0 + 2 * i), _mm_loadu_ps(r0 + 2 * i + 3));
        const __m128 lower = _mm_add_ps(_mm_loadu_ps(r1 + 2 * i), _mm_loadu_ps(r1 + 2 * i + 3));
        _mm_storeu_ps(q + i, _mm_mul_ps(_mm_add_ps(upper, lower), quarter));
    }
#endif
    for (; i < samples; i += 3) {
        for (std::size_t c = 0; c < 3; ++c) {
            q[i + c] = ((r0[2 * i + c] + r0[2 * i + 3 + c]) + (r1[2 * i + c] + r1[2 * i + 3 + c])) * 0.25f;
        }
    }
}

// The rows a rank level is made from: a picture's own, or those of the picture halved in floating
// point (each sample the mean of a 2 x 2 block, as halfSizeFloat), made on the fly into the
// caller's scratch row so that the halved picture never exists whole.
struct RowSource {
    const FloatImage* image = nullptr;
    bool halved = false;
    int width() const { return halved ? image->width() / 2 : image->width(); }
    int height() const { return halved ? image->height() / 2 : image->height(); }
    const float* row(int y, float* scratch) const {
        if (!halved) return image->row(y);
        halfRow(image->row(2 * y), image->row(2 * y + 1), scratch, static_cast<std::size_t>(width()) * 3);
        return scratch;
    }
    std::size_t scratchSamples() const { return halved ? static_cast<std::size_t>(width()) * 3 : 0; }
};

// A worker's room for ranking rows of a source: the keys of one row and the row of a halved source.
struct RankScratch {
    std::vector<std::uint16_t> keys;
    std::vector<float> samples;
    explicit RankScratch(const RowSource& source)
        : keys(static_cast<std::size_t>(kRankChannels + 3) * static_cast<std::size_t>(source.width())),
          samples(source.scratchSamples()) {}
    const float* row(const RowSource& source, int y) { return source.row(y, samples.data()); }
};

std::vector<std::uint8_t> rankTableOf(const RowSource& source) {
    const int width = source.width();
    const int height = source.height();
    constexpr std::size_t kKeys = kBrightnessKeys;
    std::vector<std::uint8_t> lut(kRankChannels * kKeys, 0);
    if (width <= 0 || height <= 0) return lut;
    const std::size_t rowKeyCount = static_cast<std::size_t>(kRankChannels) * width;
    const int step = histogramRowStep(height);
    struct Counts {
        std::vector<std::uint32_t> hist;
        std::vector<std::uint16_t> keys;
        std::vector<std::uint16_t> flat;
        std::vector<float> scratch;
    };
    tbb::enumerable_thread_specific<Counts> partial([&] {
        return Counts{std::vector<std::uint32_t>(kRankChannels * kKeys, 0u), std::vector<std::uint16_t>(rowKeyCount),
                      std::vector<std::uint16_t>(3 * static_cast<std::size_t>(width)),
                      std::vector<float>(source.scratchSamples())};
    });
    const int countedRows = (height + step - 1) / step;
    tbb::parallel_for(tbb::blocked_range<int>(0, countedRows), [&](const tbb::blocked_range<int>& r) {
        Counts& counts = partial.local();
        for (int i = r.begin(); i != r.end(); ++i) {
            rowKeys(source.row(i * step, counts.scratch.data()), width, counts.keys.data(), counts.flat.data());
            for (int c = 0; c < kRankChannels; ++c) {
                std::uint32_t* hist = counts.hist.data() + c * kKeys;
                const std::uint16_t* keys = counts.keys.data() + static_cast<std::size_t>(c) * width;
                for (int x = 0; x < width; ++x) ++hist[keys[x]];
            }
        }
    });
    std::vector<std::uint64_t> hist(kRankChannels * kKeys, 0u);
    for (const Counts& counts : partial) {
        for (std::size_t k = 0; k < hist.size(); ++k) hist[k] += counts.hist[k];
    }
    const std::uint64_t total = static_cast<std::uint64_t>(countedRows) * static_cast<std::uint64_t>(width);
    // Mid-rank of each bin: trunc(256 x (below + same / 2) / total), kept in integers.
    for (int c = 0; c < kRankChannels; ++c) {
        std::uint64_t below = 0;
        std::uint8_t between = 0;  // the level of empty bins, which only changes after a full one
        for (std::size_t k = c * kKeys; k < (c + 1) * kKeys; ++k) {
            if (hist[k] == 0) {
                lut[k] = between;
                continue;
            }
            const std::uint64_t level = ((2 * below + hist[k]) * 128) / total;
            lut[k] = static_cast<std::uint8_t>(std::min<std::uint64_t>(level, 255));
            below += hist[k];
            between = static_cast<std::uint8_t>(std::min<std::uint64_t>((2 * below * 128) / total, 255));
        }
    }
    return lut;
}

}  // namespace

std::vector<std::uint8_t> rankTable(const FloatImage& image) { return rankTableOf(RowSource{&image, false}); }

namespace {

// One row of samples ranked through `table` into one row of each channel.
void rankRowInto(const std::uint8_t* table, int width, const float* samples, std::uint16_t* keys,
                 const std::array<std::uint8_t*, kRankChannels>& out) {
    // Keyed flat, then each pixel's keys looked up at once (no channel rows of keys in between).
    flatKeys(samples, 3 * width, keys);
    const std::uint8_t* tr = table;
    const std::uint8_t* tg = table + kBrightnessKeys;
    const std::uint8_t* tb = table + 2 * kBrightnessKeys;
    const std::uint8_t* tl = table + 3 * kBrightnessKeys;
    std::uint8_t* qr = out[0];
    std::uint8_t* qg = out[1];
    std::uint8_t* qb = out[2];
    std::uint8_t* ql = out[3];
    for (int x = 0; x < width; ++x) {
        const std::uint16_t r = keys[3 * x];
        const std::uint16_t g = keys[3 * x + 1];
        const std::uint16_t b = keys[3 * x + 2];
        qr[x] = tr[r];
        qg[x] = tg[g];
        qb[x] = tb[b];
        ql[x] = tl[std::max(r, std::max(g, b))];
    }
}

void rankRow(RankLevel& level, int y, const float* samples, std::uint16_t* keys) {
    std::array<std::uint8_t*, kRankChannels> out{};
    for (int c = 0; c < kRankChannels; ++c) out[static_cast<std::size_t>(c)] = level.channel[c].row(y);
    rankRowInto(level.table.data(), level.width(), samples, keys, out);
}

RankLevel unfilledLevel(const FloatImage& image, bool sparse, std::vector<std::uint8_t> table) {
    RankLevel out;
    for (RankPicture& c : out.channel) c = RankPicture(image.width(), image.height(), sparse);
    out.source = &image;
    out.table = std::move(table);
    return out;
}

}  // namespace

RankLevel rankChannels(const FloatImage& image, ProgressSink* progress) {
    RankLevel out;
    if (image.empty()) return out;
    out = unfilledLevel(image, false, rankTable(image));
    const RowSource source{&image, false};
    tbb::enumerable_thread_specific<RankScratch> scratch([&] { return RankScratch(source); });
    parallelRows(0, image.height(), [&](int y) {
        RankScratch& z = scratch.local();
        rankRow(out, y, z.row(source, y), z.keys.data());
    }, progress);
    out.source = nullptr;
    return out;
}

RankLevel rankChannelsOnDemand(const FloatImage& image) {
    if (image.empty()) return RankLevel();
    return unfilledLevel(image, true, rankTable(image));
}

RankLevel rankChannelsOnDemand(const FloatImage& image, std::vector<std::uint8_t> table) {
    if (image.empty()) return RankLevel();
    return unfilledLevel(image, true, std::move(table));
}

void prepareRows(RankLevel& level, const std::vector<int>& rows) {
    if (!level.source) return;
    std::vector<int> missing;
    for (int y : rows) {
        if (y >= 0 && y < level.height() && !level.channel[0].row(y)) missing.push_back(y);
    }
    std::sort(missing.begin(), missing.end());
    missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
    if (missing.empty()) return;
    // One room for all the new rows.
    const std::size_t rowBytes = static_cast<std::size_t>(level.width());
    level.rowBlocks.push_back(zeroedRankBlock(missing.size() * kRankChannels * rowBytes));
    std::uint8_t* room = level.rowBlocks.back().get();
    for (int y : missing) {
        for (RankPicture& c : level.channel) {
            c.rowStart[static_cast<std::size_t>(y)] = room;
            room += rowBytes;
        }
    }
    const RowSource source{level.source, level.halvedSource};
    tbb::enumerable_thread_specific<RankScratch> scratch([&] { return RankScratch(source); });
    tbb::parallel_for(std::size_t{0}, missing.size(), [&](std::size_t i) {
        RankScratch& z = scratch.local();
        rankRow(level, missing[i], z.row(source, missing[i]), z.keys.data());
    });
}

FloatImage halfSizeFloat(const FloatImage& image) {
    FloatImage out(image.width() / 2, image.height() / 2);
    const std::size_t samples = out.rowSamples();
    parallelRows(0, out.height(), [&](int y) { halfRow(image.row(2 * y), image.row(2 * y + 1), out.row(y), samples); });
    return out;
}

RankPicture meanOfChannels(const RankLevel& level) {
    RankPicture out(level.width(), level.height());
    parallelRows(0, out.height, [&](int y) {
        const std::uint8_t* r = level.channel[0].row(y);
        const std::uint8_t* g = level.channel[1].row(y);
        const std::uint8_t* b = level.channel[2].row(y);
        std::uint8_t* q = out.row(y);
        for (int x = 0; x < out.width; ++x) q[x] = static_cast<std::uint8_t>((r[x] + g[x] + b[x] + 1) / 3);
    });
    return out;
}

namespace {

SV_ALIGN_CLONES void halveRow(const std::uint8_t* r0, const std::uint8_t* r1, std::uint8_t* q, int width) {
    for (int x = 0; x < width; ++x) {
        const std::uint16_t sum = static_cast<std::uint16_t>(r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1] + 2);
        q[x] = static_cast<std::uint8_t>(sum >> 2);
    }
}

}  // namespace

RankPicture halfSize(const RankPicture& picture) {
    RankPicture out(picture.width / 2, picture.height / 2);
    parallelRows(0, out.height, [&](int y) { halveRow(picture.row(2 * y), picture.row(2 * y + 1), out.row(y), out.width); });
    return out;
}

RankLevel halfSize(const RankLevel& level) {
    RankLevel out;
    for (int c = 0; c < kRankChannels; ++c) out.channel[c] = halfSize(level.channel[c]);
    return out;
}

FloatImage quarterSizeFloat(const FloatImage& image) {
    const int halfWidth = image.width() / 2;
    if (halfWidth / 2 <= 0 || image.height() / 4 <= 0) return FloatImage();
    FloatImage out(halfWidth / 2, image.height() / 4);
    const std::size_t halfSamples = static_cast<std::size_t>(halfWidth) * 3;
    tbb::enumerable_thread_specific<std::vector<float>> scratch([&] { return std::vector<float>(2 * halfSamples); });
    parallelRows(0, out.height(), [&](int y) {
        float* upper = scratch.local().data();
        float* lower = upper + halfSamples;
        halfRow(image.row(4 * y), image.row(4 * y + 1), upper, halfSamples);
        halfRow(image.row(4 * y + 2), image.row(4 * y + 3), lower, halfSamples);
        halfRow(upper, lower, out.row(y), out.rowSamples());
    });
    return out;
}

HalfAndQuarter rankChannelsOfHalfAndQuarter(const FloatImage& image) {
    const RowSource source{&image, true};
    HalfAndQuarter out;
    const int width = source.width();
    const int height = source.height();
    if (width <= 0 || height <= 0) return out;
    RankLevel& half = out.half;
    for (RankPicture& c : half.channel) c = RankPicture(width, height, true);
    half.source = &image;
    half.halvedSource = true;
    half.table = rankTableOf(source);
    // Ranking the whole half level only to halve it would rank four times the pixels the quarter
    // has: the quarter is ranked from the picture quartered in floating point instead.
    out.quarter = rankChannels(quarterSizeFloat(image), nullptr);
    return out;
}

std::int64_t GradientPicture::energy(int u0, int u1, int v0, int v1) const {
    const std::size_t stride = static_cast<std::size_t>(width) + 1;
    std::int64_t total = 0;
    for (int v = v0; v < v1; ++v) {
        const std::int64_t* sums = rowEnergy + static_cast<std::size_t>(v) * stride;
        total += sums[u1] - sums[u0];
    }
    return total;
}

// Rows are independent (running sums a row, not a summed-area table), so the whole picture is
// made in parallel, its fresh memory first touched by both cores.
GradientPicture gradients(const RankPicture& picture) {
    GradientPicture out;
    out.width = picture.width;
    out.height = picture.height;
    const int w = picture.width;
    const int h = picture.height;
    const std::size_t stride = static_cast<std::size_t>(w) + 1;
    const std::size_t energyBytes = stride * static_cast<std::size_t>(h) * sizeof(std::int64_t);
    out.block = zeroedRankBlock(energyBytes + static_cast<std::size_t>(w) * h * 2 * sizeof(std::int16_t));
    out.rowEnergy = reinterpret_cast<std::int64_t*>(out.block.get());
    out.g = reinterpret_cast<std::int16_t*>(out.block.get() + energyBytes);
    parallelRows(0, h, [&](int y) {
        std::int16_t* g = out.g + static_cast<std::size_t>(y) * 2 * w;
        std::int64_t* sums = out.rowEnergy + static_cast<std::size_t>(y) * stride;
        sums[0] = 0;
        if (y == 0 || y == h - 1) {
            std::fill(g, g + 2 * static_cast<std::ptrdiff_t>(w), std::int16_t{0});
            std::fill(sums + 1, sums + stride, std::int64_t{0});
            return;
        }
        const std::uint8_t* up = picture.row(y - 1);
        const std::uint8_t* mid = picture.row(y);
        const std::uint8_t* down = picture.row(y + 1);
        g[0] = g[1] = 0;
        for (int x = 1; x + 1 < w; ++x) {
            g[2 * x] = static_cast<std::int16_t>(mid[x + 1] - mid[x - 1]);
            g[2 * x + 1] = static_cast<std::int16_t>(down[x] - up[x]);
        }
        if (w > 1) g[2 * w - 2] = g[2 * w - 1] = 0;
        std::int64_t rowSum = 0;
        for (int x = 0; x < w; ++x) {
            rowSum += static_cast<std::int64_t>(g[2 * x]) * g[2 * x] + static_cast<std::int64_t>(g[2 * x + 1]) * g[2 * x + 1];
            sums[x + 1] = rowSum;
        }
    });
    return out;
}

Overlap overlapOf(int width, int height, int dx, int dy, float minOverlap) {
    Overlap o;
    o.u0 = std::max(0, -dx);
    o.u1 = std::min(width, width - dx);
    o.v0 = std::max(0, -dy);
    o.v1 = std::min(height, height - dy);
    if (o.u1 <= o.u0 || o.v1 <= o.v0) {
        o.u1 = o.u0;
        o.v1 = o.v0;
        return o;
    }
    const double area = static_cast<double>(width) * height;
    o.usable = static_cast<double>(o.count()) >= static_cast<double>(minOverlap) * area;
    return o;
}

double gradientCost(const GradientPicture& a, const GradientPicture& b, int dx, int dy, float minOverlap) {
    const Overlap o = overlapOf(a.width, a.height, dx, dy, minOverlap);
    if (!o.usable) return kInfinity;
    std::int64_t dot = 0;
    const int n = 2 * (o.u1 - o.u0);
    for (int v = o.v0; v < o.v1; ++v) {
        dot += dotProduct(a.row(v) + 2 * o.u0, b.row(v + dy) + 2 * (o.u0 + dx), n);
    }
    const double ea = static_cast<double>(a.energy(o.u0, o.u1, o.v0, o.v1));
    const double eb = static_cast<double>(b.energy(o.u0 + dx, o.u1 + dx, o.v0 + dy, o.v1 + dy));
    if (ea <= 0.0 || eb <= 0.0) return 1.0;
    return 1.0 - static_cast<double>(dot) / std::sqrt(ea * eb);
}

namespace {

// Conditional means as a rounded map; gaps take the nearest occurring value's mapping.
std::array<std::uint8_t, 256> mapFromSums(const std::array<std::int64_t, 256>& count,
                                          const std::array<std::int64_t, 256>& sum) {
    std::array<std::uint8_t, 256> map{};
    std::array<int, 256> mean{};
    for (int v = 0; v < 256; ++v) {
        mean[v] = count[v] > 0 ? static_cast<int>((2 * sum[v] + count[v]) / (2 * count[v])) : -1;
    }
    for (int v = 0; v < 256; ++v) {
        if (mean[v] >= 0) {
            map[v] = static_cast<std::uint8_t>(mean[v]);
            continue;
        }
        int lower = v - 1;
        while (lower >= 0 && mean[lower] < 0) --lower;
        int upper = v + 1;
        while (upper < 256 && mean[upper] < 0) ++upper;
        const bool hasLower = lower >= 0;
        const bool hasUpper = upper < 256;
        int value = v;  // no pairs at all: the identity
        if (hasLower && hasUpper) {
            const int dl = v - lower;
            const int du = upper - v;
            value = dl < du ? mean[lower] : du < dl ? mean[upper] : (mean[lower] + mean[upper] + 1) / 2;
        } else if (hasLower) {
            value = mean[lower];
        } else if (hasUpper) {
            value = mean[upper];
        }
        map[v] = static_cast<std::uint8_t>(value);
    }
    return map;
}

}  // namespace

namespace {

// A thread's sums for the maps. Each pixel adds a count and a value to one entry of each side's
// table, packed into one 64-bit word (the count from bit 40), and odd pixels go to a second pair of
// tables so that runs of equal values do not wait on one another. The words are unpacked into the
// totals before a count could reach bit 64.
struct MapSums {
    static constexpr int kCountShift = 40;
    static constexpr std::uint64_t kOne = std::uint64_t{1} << kCountShift;
    static constexpr std::int64_t kPixelsBeforeUnpacking = std::int64_t{1} << 24;
    std::array<std::int64_t, 256> countA{}, sumB{}, countB{}, sumA{};
    std::array<std::array<std::uint64_t, 256>, 2> packedA{}, packedB{};  // indexed by a, by b
    std::int64_t pending = 0;

    void add(const std::uint8_t* pa, const std::uint8_t* pb, int n) {
        if (pending + n > kPixelsBeforeUnpacking) unpack();
        pending += n;
        int u = 0;
        for (; u + 1 < n; u += 2) {
            packedA[0][pa[u]] += kOne | pb[u];
            packedB[0][pb[u]] += kOne | pa[u];
            packedA[1][pa[u + 1]] += kOne | pb[u + 1];
            packedB[1][pb[u + 1]] += kOne | pa[u + 1];
        }
        if (u < n) {
            packedA[0][pa[u]] += kOne | pb[u];
            packedB[0][pb[u]] += kOne | pa[u];
        }
    }
    void unpack() {
        for (int k = 0; k < 2; ++k) {
            for (int v = 0; v < 256; ++v) {
                countA[v] += static_cast<std::int64_t>(packedA[k][v] >> kCountShift);
                sumB[v] += static_cast<std::int64_t>(packedA[k][v] & (kOne - 1));
                countB[v] += static_cast<std::int64_t>(packedB[k][v] >> kCountShift);
                sumA[v] += static_cast<std::int64_t>(packedB[k][v] & (kOne - 1));
            }
            packedA[k].fill(0);
            packedB[k].fill(0);
        }
        pending = 0;
    }
};

}  // namespace

BrightnessMaps fitMaps(const RankPicture& a, const RankPicture& b, int dx, int dy, int rowStep) {
    BrightnessMaps maps;
    const Overlap o = overlapOf(a.width, a.height, dx, dy, 0.0f);
    tbb::enumerable_thread_specific<MapSums> partial;
    const int firstUsed = (o.v0 + rowStep - 1) / rowStep;
    const int endUsed = o.v1 > o.v0 ? (o.v1 - 1) / rowStep + 1 : firstUsed;
    if (o.count() > 0 && endUsed > firstUsed) {
        tbb::parallel_for(tbb::blocked_range<int>(firstUsed, endUsed), [&](const tbb::blocked_range<int>& r) {
            MapSums& s = partial.local();
            for (int i = r.begin(); i != r.end(); ++i) {
                const int v = i * rowStep;
                s.add(a.row(v) + o.u0, b.row(v + dy) + o.u0 + dx, o.u1 - o.u0);
            }
        });
    }
    MapSums total;
    for (MapSums& s : partial) {
        s.unpack();
        for (int v = 0; v < 256; ++v) {
            total.countA[v] += s.countA[v];
            total.sumB[v] += s.sumB[v];
            total.countB[v] += s.countB[v];
            total.sumA[v] += s.sumA[v];
        }
    }
    maps.aToB = mapFromSums(total.countA, total.sumB);
    maps.bToA = mapFromSums(total.countB, total.sumA);
    return maps;
}

LevelMaps fitLevelMaps(const RankLevel& a, const RankLevel& b, int dx, int dy, int rowStep) {
    LevelMaps maps;
    for (int c = 0; c < kRankChannels; ++c) maps.channel[c] = fitMaps(a.channel[c], b.channel[c], dx, dy, rowStep);
    return maps;
}

namespace {

void mapRowPlain(const std::uint8_t* in, const std::uint8_t* map, std::uint8_t* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = map[in[i]];
}

#if defined(__x86_64__) && defined(__GNUC__)
// Thirty-two values at a time: the table as sixteen rows of sixteen, each row looked up by the low
// four bits (PSHUFB) and kept where the high four bits name it.
__attribute__((target("avx2"))) void mapRowAvx2(const std::uint8_t* in, const std::uint8_t* map, std::uint8_t* out,
                                                 int n) {
    __m256i rows[16];
    for (int k = 0; k < 16; ++k) {
        rows[k] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(map + 16 * k)));
    }
    const __m256i low = _mm256_set1_epi8(0x0F);
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const __m256i column = _mm256_and_si256(v, low);
        const __m256i row = _mm256_and_si256(_mm256_srli_epi16(v, 4), low);
        __m256i result = _mm256_setzero_si256();
        for (int k = 0; k < 16; ++k) {
            const __m256i here = _mm256_cmpeq_epi8(row, _mm256_set1_epi8(static_cast<char>(k)));
            result = _mm256_or_si256(result, _mm256_and_si256(here, _mm256_shuffle_epi8(rows[k], column)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), result);
    }
    mapRowPlain(in + i, map, out + i, n - i);
}
#endif

}  // namespace

void mapRow(const std::uint8_t* in, const std::array<std::uint8_t, 256>& map, std::uint8_t* out, int n) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        mapRowAvx2(in, map.data(), out, n);
        return;
    }
#endif
    mapRowPlain(in, map.data(), out, n);
}

std::vector<double> mappedCosts(const RankLevel& a, const RankLevel& b, const LevelMaps& maps, int centreX,
                                int centreY, int radius, float minOverlap, int rowStep) {
    const int width = a.width();
    const int height = a.height();
    const int side = 2 * radius + 1;
    const std::size_t shifts = static_cast<std::size_t>(side) * side;
    std::vector<Overlap> overlaps(shifts);
    std::vector<std::int64_t> usedRows(shifts, 0);
    int firstRow = height;
    int endRow = 0;
    for (int j = 0; j < side; ++j) {
        for (int i = 0; i < side; ++i) {
            const Overlap o = overlapOf(width, height, centreX - radius + i, centreY - radius + j, minOverlap);
            const std::size_t s = static_cast<std::size_t>(j) * side + i;
            overlaps[s] = o;
            if (!o.usable) continue;
            firstRow = std::min(firstRow, o.v0);
            endRow = std::max(endRow, o.v1);
            usedRows[s] = (o.v1 - 1) / rowStep - (o.v0 + rowStep - 1) / rowStep + 1;
        }
    }
    // Row by row over a, every shift of the window at once: each row of a and each row of b it
    // meets is mapped once into the thread's buffers and compared at every horizontal shift.
    struct Work {
        std::vector<std::int64_t> sums;
        std::vector<std::uint8_t> aInB;
        std::vector<std::uint8_t> bInA;
    };
    tbb::enumerable_thread_specific<Work> partial([&] {
        return Work{std::vector<std::int64_t>(shifts, 0),
                    std::vector<std::uint8_t>(static_cast<std::size_t>(kRankChannels) * width),
                    std::vector<std::uint8_t>(static_cast<std::size_t>(kRankChannels) * width)};
    });
    const int firstUsed = (firstRow + rowStep - 1) / rowStep;
    const int endUsed = endRow > firstRow ? (endRow - 1) / rowStep + 1 : firstUsed;
    // Where rows of a are closer than the window is tall, each row of b meets several of them:
    // then the rows of b in reach are mapped once, beforehand.
    const bool shareRows = rowStep < side && endUsed > firstUsed;
    const int firstB = shareRows ? std::max(0, firstUsed * rowStep + centreY - radius) : 0;
    const int endB = shareRows ? std::min(height, (endUsed - 1) * rowStep + centreY + radius + 1) : 0;
    std::vector<std::uint8_t> bMapped;
    const auto mappedB = [&](int c, int y) {
        return bMapped.data() + (static_cast<std::size_t>(y - firstB) * kRankChannels + c) * width;
    };
    if (endB > firstB) {
        bMapped.resize(static_cast<std::size_t>(endB - firstB) * kRankChannels * width);
        parallelRows(firstB, endB, [&](int y) {
            if (!b.channel[0].row(y)) return;  // a row a level ranked on demand was not asked for
            for (int c = 0; c < kRankChannels; ++c) mapRow(b.channel[c].row(y), maps.channel[c].bToA, mappedB(c, y), width);
        });
    }
    if (endUsed > firstUsed) {
        tbb::parallel_for(tbb::blocked_range<int>(firstUsed, endUsed, 8), [&](const tbb::blocked_range<int>& r) {
            Work& work = partial.local();
            for (int k = r.begin(); k != r.end(); ++k) {
                const int v = k * rowStep;
                for (int c = 0; c < kRankChannels; ++c) {
                    mapRow(a.channel[c].row(v), maps.channel[c].aToB, work.aInB.data() + c * width, width);
                }
                for (int j = 0; j < side; ++j) {
                    const int dy = centreY - radius + j;
                    if (v + dy < 0 || v + dy >= height) continue;
                    bool mapped = shareRows;
                    for (int i = 0; i < side; ++i) {
                        const std::size_t s = static_cast<std::size_t>(j) * side + i;
                        const Overlap& o = overlaps[s];
                        if (!o.usable || v < o.v0 || v >= o.v1) continue;
                        if (!mapped) {
                            for (int c = 0; c < kRankChannels; ++c) {
                                mapRow(b.channel[c].row(v + dy), maps.channel[c].bToA, work.bInA.data() + c * width, width);
                            }
                            mapped = true;
                        }
                        const int dx = centreX - radius + i;
                        const int n = o.u1 - o.u0;
                        for (int c = 0; c < kRankChannels; ++c) {
                            const std::uint8_t* aInB = work.aInB.data() + c * width;
                            const std::uint8_t* bInA = shareRows ? mappedB(c, v + dy) : work.bInA.data() + c * width;
                            work.sums[s] += sumAbsDiff(aInB + o.u0, b.channel[c].row(v + dy) + o.u0 + dx, n);
                            work.sums[s] += sumAbsDiff(a.channel[c].row(v) + o.u0, bInA + o.u0 + dx, n);
                        }
                    }
                }
            }
        });
    }
    std::vector<double> costs(shifts, kInfinity);
    for (std::size_t s = 0; s < shifts; ++s) {
        if (!overlaps[s].usable || usedRows[s] <= 0) continue;
        std::int64_t total = 0;
        for (const Work& w : partial) total += w.sums[s];
        const double pixels = static_cast<double>(usedRows[s]) * (overlaps[s].u1 - overlaps[s].u0);
        costs[s] = static_cast<double>(total) / (2.0 * kRankChannels * pixels);
    }
    return costs;
}

float tileResidual(const RankLevel& a, const RankLevel& b, const LevelMaps& maps, double shiftX, double shiftY,
                   int tileSize, int radius) {
    const int fx = static_cast<int>(std::floor(shiftX));
    const int fy = static_cast<int>(std::floor(shiftY));
    const bool wholeX = static_cast<double>(fx) == shiftX;
    const bool wholeY = static_cast<double>(fy) == shiftY;
    const int side = 2 * radius + 2;  // floor - radius .. floor + 1 + radius
    const int span = tileSize + side - 1;
    const int tilesX = a.width() / tileSize;
    const int tilesY = a.height() / tileSize;
    struct Score {
        double weighted = 0.0;
        double weights = 0.0;
    };
    // Every row of b meets several rows of each tile: both levels are mapped once, whole.
    const std::size_t pixels = static_cast<std::size_t>(a.width()) * a.height();
    std::vector<std::uint8_t> aInB(pixels * kRankChannels);
    std::vector<std::uint8_t> bInA(pixels * kRankChannels);
    const auto mapped = [&](std::vector<std::uint8_t>& to, int c, int y) {
        return to.data() + (static_cast<std::size_t>(c) * a.height() + static_cast<std::size_t>(y)) * a.width();
    };
    parallelRows(0, a.height(), [&](int y) {
        for (int c = 0; c < kRankChannels; ++c) {
            mapRow(a.channel[c].row(y), maps.channel[c].aToB, mapped(aInB, c, y), a.width());
            mapRow(b.channel[c].row(y), maps.channel[c].bToA, mapped(bInA, c, y), a.width());
        }
    });
    tbb::enumerable_thread_specific<Score> partial;
    tbb::parallel_for(tbb::blocked_range<int>(0, tilesX * tilesY), [&](const tbb::blocked_range<int>& r) {
        Score& score = partial.local();
        std::vector<double> cost(static_cast<std::size_t>(side) * side);
        for (int t = r.begin(); t != r.end(); ++t) {
            const int u0 = (t % tilesX) * tileSize;
            const int v0 = (t / tilesX) * tileSize;
            const int lowX = u0 + fx - radius;
            const int lowY = v0 + fy - radius;
            if (lowX < 0 || lowY < 0 || lowX + span > b.width() || lowY + tileSize + side - 1 > b.height()) continue;
            std::fill(cost.begin(), cost.end(), 0.0);
            for (int c = 0; c < kRankChannels; ++c) {
                for (int v = v0; v < v0 + tileSize; v += 2) {
                    const std::uint8_t* pa = a.channel[c].row(v) + u0;
                    const std::uint8_t* paInB = mapped(aInB, c, v) + u0;
                    for (int j = 0; j < side; ++j) {
                        const std::uint8_t* pb = b.channel[c].row(v + fy - radius + j) + lowX;
                        const std::uint8_t* pbInA = mapped(bInA, c, v + fy - radius + j) + lowX;
                        for (int i = 0; i < side; ++i) {
                            cost[static_cast<std::size_t>(j) * side + i] += static_cast<double>(
                                sumAbsDiff(paInB, pb + i, tileSize) + sumAbsDiff(pa, pbInA + i, tileSize));
                        }
                    }
                }
            }
            double least = kInfinity;
            double mean = 0.0;
            for (double c : cost) {
                least = std::min(least, c);
                mean += c;
            }
            mean /= static_cast<double>(cost.size());
            double chosen = kInfinity;
            for (int j = 0; j <= (wholeY ? 0 : 1); ++j) {
                for (int i = 0; i <= (wholeX ? 0 : 1); ++i) {
                    chosen = std::min(chosen, cost[static_cast<std::size_t>(radius + j) * side + radius + i]);
                }
            }
            const double contrast = mean - least;
            if (!(contrast > 0.0)) continue;
            const double misfit = std::clamp((chosen - least) / contrast, 0.0, 1.0);
            score.weighted += contrast * misfit;
            score.weights += contrast;
        }
    });
    Score total;
    for (const Score& s : partial) {
        total.weighted += s.weighted;
        total.weights += s.weights;
    }
    if (!(total.weights > 0.0)) return 0.0f;
    return static_cast<float>(total.weighted / total.weights);
}

}  // namespace align_detail

namespace {

using namespace align_detail;

constexpr int kCoarsestSide = 64;         // the exhaustive search runs on a level about this long
constexpr int kCoarsestShortSide = 16;
constexpr std::int64_t kGuidedLevelPixels = 400000;  // intensities take over at or below this size
constexpr std::int64_t kIntensityPixels = 500000;  // rows sampled down to about this many pixels
constexpr std::int64_t kLookPixels = 250000;       // the same on the levels between, looked at once
constexpr std::int64_t kMapPixels = 400000;
constexpr std::int64_t kOnDemandPixels = 4000000;  // above this the finest level is ranked row by row
constexpr std::size_t kCandidates = 8;    // kept per level of the gradient search
constexpr std::size_t kIntensityCandidates = 3;
constexpr int kBasinReach = 16;           // candidates this close (guided level) share a basin
constexpr int kIntensityRadius = 2;       // window of the intensity comparison on the guided level
constexpr int kIntensityRounds = 6;
constexpr int kResidualTile = 32;
constexpr int kResidualRadius = 3;

struct Candidate {
    int dx = 0;
    int dy = 0;
    double cost = kInfinity;
};

// Lower cost first; among equals the smaller shift, so a picture without structure stays put.
bool better(const Candidate& p, const Candidate& q) {
    if (p.cost != q.cost) return p.cost < q.cost;
    const int mp = std::max(std::abs(p.dx), std::abs(p.dy));
    const int mq = std::max(std::abs(q.dx), std::abs(q.dy));
    if (mp != mq) return mp < mq;
    if (p.dy != q.dy) return p.dy < q.dy;
    return p.dx < q.dx;
}

// The best `limit` candidates, no two of them neighbours (each basin of the cost kept once).
std::vector<Candidate> keepBest(std::vector<Candidate> all, std::size_t limit) {
    std::sort(all.begin(), all.end(), better);
    std::vector<Candidate> kept;
    for (const Candidate& c : all) {
        if (!std::isfinite(c.cost)) break;
        const bool near = std::any_of(kept.begin(), kept.end(), [&](const Candidate& k) {
            return std::abs(k.dx - c.dx) <= 1 && std::abs(k.dy - c.dy) <= 1;
        });
        if (near) continue;
        kept.push_back(c);
        if (kept.size() == limit) break;
    }
    return kept;
}

// Exhaustive gradient search on the coarsest level: the local minima of the cost surface.
std::vector<Candidate> coarseSearch(const GradientPicture& a, const GradientPicture& b, int radius, float minOverlap) {
    const int side = 2 * radius + 1;
    std::vector<double> cost(static_cast<std::size_t>(side) * side, kInfinity);
    tbb::parallel_for(tbb::blocked_range<int>(0, side * side), [&](const tbb::blocked_range<int>& r) {
        for (int s = r.begin(); s != r.end(); ++s) {
            cost[static_cast<std::size_t>(s)] = gradientCost(a, b, s % side - radius, s / side - radius, minOverlap);
        }
    });
    std::vector<Candidate> minima;
    for (int j = 0; j < side; ++j) {
        for (int i = 0; i < side; ++i) {
            const double c = cost[static_cast<std::size_t>(j) * side + i];
            if (!std::isfinite(c)) continue;
            bool isMinimum = true;
            for (int nj = std::max(0, j - 1); nj <= std::min(side - 1, j + 1) && isMinimum; ++nj) {
                for (int ni = std::max(0, i - 1); ni <= std::min(side - 1, i + 1); ++ni) {
                    if (cost[static_cast<std::size_t>(nj) * side + ni] < c) {
                        isMinimum = false;
                        break;
                    }
                }
            }
            if (isMinimum) minima.push_back({i - radius, j - radius, c});
        }
    }
    return keepBest(std::move(minima), kCandidates);
}

// One level finer: each candidate doubled and its 3 x 3 neighbourhood scored.
std::vector<Candidate> refineGradient(const GradientPicture& a, const GradientPicture& b,
                                      const std::vector<Candidate>& coarse, float minOverlap) {
    std::vector<Candidate> trial;
    for (const Candidate& c : coarse) {
        for (int j = -1; j <= 1; ++j) {
            for (int i = -1; i <= 1; ++i) {
                const Candidate t{2 * c.dx + i, 2 * c.dy + j, kInfinity};
                const bool seen = std::any_of(trial.begin(), trial.end(),
                                              [&](const Candidate& k) { return k.dx == t.dx && k.dy == t.dy; });
                if (!seen) trial.push_back(t);
            }
        }
    }
    tbb::parallel_for(std::size_t{0}, trial.size(), [&](std::size_t k) {
        trial[k].cost = gradientCost(a, b, trial[k].dx, trial[k].dy, minOverlap);
    });
    return keepBest(std::move(trial), kCandidates);
}

// The candidates the intensities decide among: the best few, and the best of every other basin.
// On smooth pictures gradients barely tell basins apart, and one basin split into neighbouring
// candidates can fill the best places (a wrong shift with a small overlap among them) while the
// right basin comes next; the intensities, which see the whole brightness, tell them apart.
// A basin is only worth asking about when it overlaps at least as much as the gradients' favourite:
// on a smaller overlap the intensity cost is averaged over too few pixels to overrule it.
std::vector<Candidate> intensityTrials(const std::vector<Candidate>& candidates, int width, int height) {
    const std::size_t best = std::min(candidates.size(), kIntensityCandidates);
    std::vector<Candidate> tried(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(best));
    const auto overlap = [&](const Candidate& c) {
        return static_cast<std::int64_t>(std::max(0, width - std::abs(c.dx))) * std::max(0, height - std::abs(c.dy));
    };
    const std::int64_t favourite = candidates.empty() ? 0 : overlap(candidates.front());
    for (std::size_t k = tried.size(); k < candidates.size(); ++k) {
        const Candidate& c = candidates[k];
        const bool seen = std::any_of(tried.begin(), tried.end(), [&](const Candidate& t) {
            return std::max(std::abs(t.dx - c.dx), std::abs(t.dy - c.dy)) <= kBasinReach;
        });
        if (!seen && overlap(c) >= favourite) tried.push_back(c);
    }
    return tried;
}

// Rows used by the intensity comparison on a level: enough for a whole-pixel decision, at most
// about `sample` pixels of them.
int intensityRowStep(const RankLevel& level, std::int64_t sample = kIntensityPixels) {
    const std::int64_t pixels = static_cast<std::int64_t>(level.width()) * level.height();
    return static_cast<int>(std::clamp<std::int64_t>((pixels + sample - 1) / sample, 1, 64));
}

// Rows counted by the brightness maps: a few hundred thousand pixels fix 256 means well.
int mapRowStep(const RankLevel& level) {
    const std::int64_t pixels = static_cast<std::int64_t>(level.width()) * level.height();
    return static_cast<int>(std::clamp<std::int64_t>(pixels / kMapPixels, 1, 64));
}

// The best shift of the window around (cx, cy), compared by intensities through maps fitted at
// the window's centre. Maps fitted at a wrong shift absorb part of the error on smooth pictures,
// so the search moves to the best shift found and fits again (with a window of one pixel) until
// it stays put.
Candidate intensitySearch(RankLevel& a, RankLevel& b, int cx, int cy, int radius, int rounds, float minOverlap,
                          std::int64_t sample = kIntensityPixels) {
    const int rowStep = intensityRowStep(a, sample);
    const int mapStep = rowStep * std::max(1, mapRowStep(a) / rowStep);  // a subset of the compared rows
    Candidate best{cx, cy, kInfinity};
    for (int round = 0; round < rounds; ++round) {
        const int r = round == 0 ? radius : 1;
        const int side = 2 * r + 1;
        if (a.source || b.source) {
            std::vector<int> rowsA;
            std::vector<int> rowsB;
            for (int v = 0; v < a.height(); v += rowStep) {
                rowsA.push_back(v);
                for (int dy = best.dy - r; dy <= best.dy + r; ++dy) rowsB.push_back(v + dy);
            }
            prepareRows(a, rowsA);
            prepareRows(b, rowsB);
        }
        const LevelMaps maps = fitLevelMaps(a, b, best.dx, best.dy, mapStep);
        const std::vector<double> costs = mappedCosts(a, b, maps, best.dx, best.dy, r, minOverlap, rowStep);
        std::vector<Candidate> all;
        for (int s = 0; s < side * side; ++s) {
            all.push_back({best.dx - r + s % side, best.dy - r + s / side, costs[static_cast<std::size_t>(s)]});
        }
        std::sort(all.begin(), all.end(), better);
        const bool settled = all.front().dx == best.dx && all.front().dy == best.dy;
        best = all.front();
        if (settled || !std::isfinite(best.cost)) break;
    }
    return best;
}

}  // namespace

int autoAlignRange(int width, int height, const AutoAlignParams& params) {
    if (params.maxShift > 0) return params.maxShift;
    return std::max(256, std::max(width, height) / 16);
}

AutoAlignResult autoAlign(const FloatImage& newImage, const FloatImage& stack, const AutoAlignParams& params,
                          ProgressSink& progress) {
    AutoAlignResult result;
    if (newImage.empty() || stack.empty() || !newImage.sameSize(stack)) return result;
    const int height = newImage.height();
    beginProgress(progress, 3ll * height);

    std::vector<RankLevel> a;
    std::vector<RankLevel> b;
    if (static_cast<std::int64_t>(newImage.width()) * height > kOnDemandPixels) {
        // The two finest levels are only ever compared on a few rows: rank those when asked, the
        // finest through the table of the next, which is counted on the pictures halved in
        // floating point. The quarter level is ranked whole, from the pictures quartered.
        // Both at once: the serial steps of one (its tables) overlap the other's rows.
        HalfAndQuarter halvesA;
        HalfAndQuarter halvesB;
        tbb::parallel_invoke([&] { halvesA = rankChannelsOfHalfAndQuarter(newImage); },
                             [&] { halvesB = rankChannelsOfHalfAndQuarter(stack); });
        progress.advance(2ll * height);
        a.push_back(rankChannelsOnDemand(newImage, halvesA.half.table));
        b.push_back(rankChannelsOnDemand(stack, halvesB.half.table));
        const bool quarterDue = std::max(halvesA.half.width(), halvesA.half.height()) / 2 >= kCoarsestSide &&
                                std::min(halvesA.half.width(), halvesA.half.height()) / 2 >= kCoarsestShortSide;
        a.push_back(std::move(halvesA.half));
        b.push_back(std::move(halvesB.half));
        if (quarterDue) {
            a.push_back(std::move(halvesA.quarter));
            b.push_back(std::move(halvesB.quarter));
        }
    } else {
        a.push_back(rankChannels(newImage, &progress));
        b.push_back(rankChannels(stack, &progress));
    }
    while (std::max(a.back().width(), a.back().height()) / 2 >= kCoarsestSide &&
           std::min(a.back().width(), a.back().height()) / 2 >= kCoarsestShortSide) {
        a.push_back(halfSize(a.back()));
        b.push_back(halfSize(b.back()));
    }
    const int coarsest = static_cast<int>(a.size()) - 1;
    int guided = 0;
    while (guided < coarsest && static_cast<std::int64_t>(a[guided].width()) * a[guided].height() > kGuidedLevelPixels) {
        ++guided;
    }
    const auto gradientsOf = [](const RankLevel& level) { return gradients(meanOfChannels(level)); };
    const float minOverlap = std::clamp(params.minOverlap, 0.0f, 1.0f);
    const int range = autoAlignRange(newImage.width(), newImage.height(), params);

    // Gradient search from the coarsest level down to the guided one.
    std::vector<Candidate> candidates;
    {
        const GradientPicture ga = gradientsOf(a[coarsest]);
        const GradientPicture gb = gradientsOf(b[coarsest]);
        const int scale = 1 << coarsest;
        int radius = (range + scale - 1) / scale + 1;
        radius = std::min(radius, std::max(a[coarsest].width(), a[coarsest].height()));
        candidates = coarseSearch(ga, gb, radius, minOverlap);
    }
    progress.advance(height / 3);
    for (int level = coarsest - 1; level >= guided && !candidates.empty(); --level) {
        const GradientPicture ga = gradientsOf(a[level]);
        const GradientPicture gb = gradientsOf(b[level]);
        candidates = refineGradient(ga, gb, candidates, minOverlap);
    }
    if (candidates.empty()) candidates.push_back({0, 0, kInfinity});
    progress.advance(height / 3);

    // Intensities decide among the best basins (a quick look at a quarter of the rows first) and
    // settle the whole pixel.
    Candidate best{0, 0, kInfinity};
    {
        RankLevel& ga = a[guided];
        RankLevel& gb = b[guided];
        const std::vector<Candidate> tried = intensityTrials(candidates, ga.width(), ga.height());
        const int quickStep = std::min(4 * intensityRowStep(ga), std::max(1, ga.height() / 64));
        Candidate start = candidates.front();
        double startCost = kInfinity;
        for (std::size_t k = 0; k < tried.size() && tried.size() > 1; ++k) {
            const Candidate& c = tried[k];
            const LevelMaps maps = fitLevelMaps(ga, gb, c.dx, c.dy, std::max(quickStep, mapRowStep(ga)));
            const std::vector<double> costs = mappedCosts(ga, gb, maps, c.dx, c.dy, 1, minOverlap, quickStep);
            const double least = *std::min_element(costs.begin(), costs.end());
            if (least < startCost) {
                startCost = least;
                start = c;
            }
        }
        best = intensitySearch(ga, gb, start.dx, start.dy, kIntensityRadius, kIntensityRounds, minOverlap);
    }
    if (!std::isfinite(best.cost)) best = Candidate{candidates.front().dx, candidates.front().dy, kInfinity};
    for (int level = guided - 1; level >= 0; --level) {
        // Between the guided level and the finest one, one look suffices: the next level corrects.
        const int rounds = level == 0 ? kIntensityRounds : 1;
        const Candidate c = intensitySearch(a[level], b[level], 2 * best.dx, 2 * best.dy, 1, rounds, minOverlap,
                                            level == 0 ? kIntensityPixels : kLookPixels);
        best = std::isfinite(c.cost) ? c : Candidate{2 * best.dx, 2 * best.dy, kInfinity};
    }
    result.shiftX = best.dx;
    result.shiftY = best.dy;

    // The residual on the guided level, with maps fitted at the chosen shift.
    {
        const double scale = static_cast<double>(1 << guided);
        const double sx = best.dx / scale;
        const double sy = best.dy / scale;
        const LevelMaps maps = fitLevelMaps(a[guided], b[guided], static_cast<int>(std::floor(sx)),
                                            static_cast<int>(std::floor(sy)), 1);
        result.residual = tileResidual(a[guided], b[guided], maps, sx, sy, kResidualTile, kResidualRadius);
    }
    result.doubtful = result.residual > params.residualLimit;
    result.valid = true;
    progress.advance(height - 2 * (height / 3));
    endProgress(progress, height);
    return result;
}

}  // namespace sv
