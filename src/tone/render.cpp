#include "tone/render.h"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "image/parallel_rows.h"

namespace sv {

std::vector<float> identityCurveTable() {
    std::vector<float> table(kCurveLevels);
    for (int x = 0; x < kCurveLevels; ++x) table[static_cast<std::size_t>(x)] = static_cast<float>(x);
    return table;
}

RenderParams renderParams(const ParameterValues& values) {
    const ParameterList d = kRenderParameters;
    RenderParams params;
    params.gammaPosition = positionOf(d, values, "gamma");
    params.saturationPosition = positionOf(d, values, "saturation");
    params.whitePosition = positionOf(d, values, "white");
    params.blackPosition = positionOf(d, values, "black");
    return params;
}

RenderConstants renderConstants(const RenderParams& params) {
    RenderConstants c;
    c.e = static_cast<float>(1.0 / (params.gammaPosition * 0.01));
    c.w = static_cast<float>(params.whitePosition * (1.0 / 255.0));
    c.b = static_cast<float>(params.blackPosition * (1.0 / 255.0));
    c.f = 1.0f / (c.w - c.b);
    c.k = static_cast<float>(params.saturationPosition * 0.01);
    return c;
}

std::int64_t histogramPeak(const HistogramBins& histogram, int whitePosition, int blackPosition) {
    const int lo = blackPosition * kHistogramBins / 255 + 1;
    const int hi = whitePosition * kHistogramBins / 255 - 2;
    std::int64_t peak = 0;
    for (int p = std::max(lo, 0); p <= hi && p < kHistogramBins; ++p) {
        peak = std::max(peak, histogram[static_cast<std::size_t>(p)]);
    }
    return peak;
}

namespace {

// Regions from this many pixels on are written with streaming stores (render and display).
constexpr std::int64_t kStreamingPixels = 1 << 20;
std::atomic<std::int64_t> streamingPixels{kStreamingPixels};

// Everything the render does after the curve index depends on that index alone, so it is worked
// out once per level: t (curve, then gamma) for the histogram and o (stretched and clamped) for
// the picture. A pixel then costs three look-ups instead of three pow calls.
struct LevelEntry {
    float t;
    float o;
};

std::vector<LevelEntry> levelTable(const RenderParams& params, const RenderConstants& c) {
    std::vector<LevelEntry> table(kCurveLevels);
    const float* curve = params.curveTable.data();
    tbb::parallel_for(tbb::blocked_range<int>(0, kCurveLevels, 4096), [&](const tbb::blocked_range<int>& r) {
        for (int index = r.begin(); index != r.end(); ++index) {
            const float v = curve[index] * (1.0f / 32768.0f);
            const float t = static_cast<float>(std::pow(static_cast<double>(v), static_cast<double>(c.e)));
            table[static_cast<std::size_t>(index)] = {t, stretchedLevel(t, c)};
        }
    });
    return table;
}

// Local counts fit 32 bits for any row chunk; they are added into the 64-bit total once per chunk.
using LocalBins = std::array<std::uint32_t, kHistogramBins>;

// A row is worked in spans of pixels, in steps that each run over a whole span, so that the
// arithmetic runs four (SSE) or eight (AVX2) samples at a time apart from the table look-ups.
// Each vector operation is the same correctly rounded IEEE operation as its scalar form (and no
// multiply-add is fused), so every sample sees exactly the arithmetic of the direct version.
constexpr int kSpan = 64;

struct RowScratch {
    alignas(32) float largest[kSpan];
    alignas(32) float tail[24];
    alignas(32) int index[kSpan * 3];
    alignas(32) float o[3 * kSpan];
    alignas(32) float tSum[kSpan];
    alignas(32) int bin[kSpan];
};

// m: the largest of 0 and the three samples (a sample that is not a number never wins).
inline void largestOfPixels(const float* in, int count, int padded, RowScratch& z) {
    for (int x = 0; x < count; ++x) {
        const float* S = in + 3 * x;
        float m = 0.0f;
        if (S[0] > m) m = S[0];
        if (S[1] > m) m = S[1];
        if (S[2] > m) m = S[2];
        z.largest[x] = m;
    }
    for (int x = count; x < padded; ++x) z.largest[x] = 0.0f;
}

// The samples of the pixel group starting at x; the last, partial group reads zeros beyond the span.
inline const float* groupSamples(const float* in, int x, int count, int group, RowScratch& z) {
    if (x + group <= count) return in + 3 * x;
    std::fill(z.tail, z.tail + 3 * group, 0.0f);
    std::copy(in + 3 * x, in + 3 * count, z.tail);
    return z.tail;
}

// The table look-ups (scalar): the picture's samples and each pixel's sum of t. A large region
// is written past the cache (streaming stores), which keeps the table in the cache while the
// stack and the picture stream through it.
inline void lookUp(float* out, int count, const LevelEntry* level, RowScratch& z, bool stream) {
    float* o = stream ? z.o : out;
    for (int x = 0; x < count; ++x) {
        const LevelEntry eR = level[z.index[3 * x]];
        const LevelEntry eG = level[z.index[3 * x + 1]];
        const LevelEntry eB = level[z.index[3 * x + 2]];
        o[3 * x] = eR.o;
        o[3 * x + 1] = eG.o;
        o[3 * x + 2] = eB.o;
        z.tSum[x] = eR.t + eG.t + eB.t;
    }
    if (!stream) return;
    const int samples = 3 * count;
    int i = 0;
    for (; i < samples && (reinterpret_cast<std::uintptr_t>(out + i) & 15u) != 0; ++i) out[i] = o[i];
    for (; i + 4 <= samples; i += 4) _mm_stream_ps(out + i, _mm_loadu_ps(o + i));
    for (; i < samples; ++i) out[i] = o[i];
}

inline void countBins(int count, const RowScratch& z, std::array<LocalBins, 4>& local) {
    int x = 0;
    for (; x + 4 <= count; x += 4) {
        ++local[0][static_cast<std::size_t>(z.bin[x])];
        ++local[1][static_cast<std::size_t>(z.bin[x + 1])];
        ++local[2][static_cast<std::size_t>(z.bin[x + 2])];
        ++local[3][static_cast<std::size_t>(z.bin[x + 3])];
    }
    for (; x < count; ++x) ++local[0][static_cast<std::size_t>(z.bin[x])];
}

void renderSpanSse(const float* in, float* out, int count, float kPlusOne, float k, float M,
                   const LevelEntry* level, bool stream, RowScratch& z, std::array<LocalBins, 4>& local) {
    const int padded = (count + 3) & ~3;
    largestOfPixels(in, count, padded, z);
    const __m128 vK = _mm_set1_ps(k), vM = _mm_set1_ps(M), vOne = _mm_set1_ps(1.0f);
    const __m128 vKPlusOne = _mm_set1_ps(kPlusOne), vLevels = _mm_set1_ps(32767.0f), vZero = _mm_setzero_ps();
    for (int x = 0; x < padded; x += 4) {
        // s = (k + 1) / (m x k / stackMax + 1) for four pixels, spread over their twelve samples.
        const __m128 m = _mm_load_ps(z.largest + x);
        const __m128 s = _mm_div_ps(vKPlusOne, _mm_add_ps(_mm_div_ps(_mm_mul_ps(m, vK), vM), vOne));
        const __m128 spread[3] = {_mm_shuffle_ps(s, s, _MM_SHUFFLE(1, 0, 0, 0)),
                                  _mm_shuffle_ps(s, s, _MM_SHUFFLE(2, 2, 1, 1)),
                                  _mm_shuffle_ps(s, s, _MM_SHUFFLE(3, 3, 3, 2))};
        const float* S = groupSamples(in, x, count, 4, z);
        for (int v = 0; v < 3; ++v) {
            // index = trunc(s x (S / stackMax) x 32767) within 0..32767; not a number gives 0.
            const __m128 n = _mm_div_ps(_mm_loadu_ps(S + 4 * v), vM);
            __m128 q = _mm_mul_ps(_mm_mul_ps(spread[v], n), vLevels);
            q = _mm_min_ps(_mm_max_ps(q, vZero), vLevels);
            _mm_store_si128(reinterpret_cast<__m128i*>(z.index + 3 * x + 4 * v), _mm_cvttps_epi32(q));
        }
    }
    lookUp(out, count, level, z, stream);
    std::fill(z.tSum + count, z.tSum + padded, 0.0f);
    // bin = trunc(215 x (tR + tG + tB) / 3). Every t is below 1, so it is at most 214; the cap
    // (applied before truncating, with the same outcome) only keeps a stray value in range.
    const __m128 v215 = _mm_set1_ps(215.0f), vThree = _mm_set1_ps(3.0f), vLast = _mm_set1_ps(214.0f);
    for (int x = 0; x < padded; x += 4) {
        __m128 b = _mm_div_ps(_mm_mul_ps(v215, _mm_load_ps(z.tSum + x)), vThree);
        b = _mm_min_ps(_mm_max_ps(b, vZero), vLast);
        _mm_store_si128(reinterpret_cast<__m128i*>(z.bin + x), _mm_cvttps_epi32(b));
    }
    countBins(count, z, local);
}

// The same steps eight pixels at a time. Only AVX and AVX2 instructions are enabled here, not
// FMA, so no multiply and add can be fused.
__attribute__((target("avx2"))) void renderSpanAvx2(const float* in, float* out, int count, float kPlusOne,
                                                    float k, float M, const LevelEntry* level, bool stream,
                                                    RowScratch& z, std::array<LocalBins, 4>& local) {
    const int padded = (count + 7) & ~7;
    largestOfPixels(in, count, padded, z);
    const __m256 vK = _mm256_set1_ps(k), vM = _mm256_set1_ps(M), vOne = _mm256_set1_ps(1.0f);
    const __m256 vKPlusOne = _mm256_set1_ps(kPlusOne), vLevels = _mm256_set1_ps(32767.0f);
    const __m256 vZero = _mm256_setzero_ps();
    const __m256i spreadIndex[3] = {_mm256_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2), _mm256_setr_epi32(2, 3, 3, 3, 4, 4, 4, 5),
                                    _mm256_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7)};
    for (int x = 0; x < padded; x += 8) {
        const __m256 m = _mm256_load_ps(z.largest + x);
        const __m256 s = _mm256_div_ps(vKPlusOne, _mm256_add_ps(_mm256_div_ps(_mm256_mul_ps(m, vK), vM), vOne));
        const float* S = groupSamples(in, x, count, 8, z);
        for (int v = 0; v < 3; ++v) {
            const __m256 spread = _mm256_permutevar8x32_ps(s, spreadIndex[v]);
            const __m256 n = _mm256_div_ps(_mm256_loadu_ps(S + 8 * v), vM);
            __m256 q = _mm256_mul_ps(_mm256_mul_ps(spread, n), vLevels);
            q = _mm256_min_ps(_mm256_max_ps(q, vZero), vLevels);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(z.index + 3 * x + 8 * v), _mm256_cvttps_epi32(q));
        }
    }
    lookUp(out, count, level, z, stream);
    std::fill(z.tSum + count, z.tSum + padded, 0.0f);
    const __m256 v215 = _mm256_set1_ps(215.0f), vThree = _mm256_set1_ps(3.0f), vLast = _mm256_set1_ps(214.0f);
    for (int x = 0; x < padded; x += 8) {
        __m256 b = _mm256_div_ps(_mm256_mul_ps(v215, _mm256_load_ps(z.tSum + x)), vThree);
        b = _mm256_min_ps(_mm256_max_ps(b, vZero), vLast);
        _mm256_store_si256(reinterpret_cast<__m256i*>(z.bin + x), _mm256_cvttps_epi32(b));
    }
    countBins(count, z, local);
}

using SpanFunction = void (*)(const float*, float*, int, float, float, float, const LevelEntry*, bool, RowScratch&,
                              std::array<LocalBins, 4>&);

std::atomic<int> simdLimit{2};  // 2: AVX2 where the processor has it; 1: SSE only; 0: scalar display rows

bool processorHas(int level) {
    __builtin_cpu_init();
    static const bool avx2 = __builtin_cpu_supports("avx2");
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    return level >= 2 ? avx2 : ssse3;
}

SpanFunction chooseSpanFunction() {
    return simdLimit.load(std::memory_order_relaxed) >= 2 && processorHas(2) ? renderSpanAvx2 : renderSpanSse;
}

}  // namespace

namespace detail {
void limitToneSimd(int level) { simdLimit.store(level, std::memory_order_relaxed); }
int toneSimdLevel() { return simdLimit.load(std::memory_order_relaxed); }
void setToneStreamingPixels(std::int64_t pixels) {
    streamingPixels.store(pixels > 0 ? pixels : kStreamingPixels, std::memory_order_relaxed);
}
}  // namespace detail

void renderRegion(const FloatImage& stackBuffer, float stackMax, const Region& region, const RenderParams& params,
                  FloatImage& processedBuffer, RenderHistogram& result, ProgressSink& progress) {
    renderRegion(stackBuffer, stackMax, region, params, nullptr, processedBuffer, result, progress);
}

void renderRegion(const FloatImage& stackBuffer, float stackMax, const Region& region, const RenderParams& params,
                  const std::shared_ptr<const LocalContrastModel>& model, FloatImage& processedBuffer,
                  RenderHistogram& result, ProgressSink& progress) {
    if (params.curveTable.size() != static_cast<std::size_t>(kCurveLevels)) {
        throw std::invalid_argument("renderRegion: the curve table must have 32768 entries");
    }
    if (!stackBuffer.sameSize(processedBuffer)) {
        throw std::invalid_argument("renderRegion: stack and processed picture differ in size");
    }
    result.histogram.fill(0);
    const Region r = clippedRegion(region, stackBuffer.width(), stackBuffer.height());
    if (r.empty()) {
        result.histogramPeak = 0;
        return;
    }

    // Local contrast reads a model of the whole stack, so the region's pixels do not depend on the region.
    std::optional<LocalContrastMapping> localContrast;
    if (params.localContrast.enabled) {
        std::shared_ptr<const LocalContrastModel> wholePicture = model;
        if (!wholePicture || !wholePicture->builtFor(stackBuffer, stackMax, params.localContrast.radiusPosition)) {
            NullProgress quiet;
            wholePicture = buildLocalContrastModel(stackBuffer, stackMax, params.localContrast.radiusPosition, quiet);
        }
        localContrast.emplace(std::move(wholePicture), params.localContrast, params.gammaPosition,
                              params.saturationPosition);
    }
    const LocalContrastMapping* mapping = localContrast ? &*localContrast : nullptr;

    const RenderConstants c = renderConstants(params);
    const std::vector<LevelEntry> levels = levelTable(params, c);
    const LevelEntry* level = levels.data();
    const float k = c.k;
    const float kPlusOne = k + 1.0f;
    const float M = stackMax;

    const SpanFunction spanFunction = chooseSpanFunction();
    const bool stream = static_cast<std::int64_t>(r.width) * r.height >= streamingPixels.load(std::memory_order_relaxed);
    tbb::enumerable_thread_specific<HistogramBins> perThread([] {
        HistogramBins bins{};
        return bins;
    });
    tbb::parallel_for(tbb::blocked_range<int>(r.y, r.bottom()), [&](const tbb::blocked_range<int>& rows) {
        // Counted in four interleaved copies so that neighbouring pixels of one brightness do not
        // wait on each other's increment; summed at the end of the chunk.
        std::array<LocalBins, 4> local{};
        RowScratch scratch;
        alignas(32) float mapped[3 * kSpan];
        for (int y = rows.begin(); y != rows.end(); ++y) {
            const float* in = stackBuffer.row(y) + static_cast<std::size_t>(r.x) * 3;
            float* out = processedBuffer.row(y) + static_cast<std::size_t>(r.x) * 3;
            for (int done = 0; done < r.width; done += kSpan) {
                const int count = std::min(kSpan, r.width - done);
                const float* source = in + static_cast<std::size_t>(done) * 3;
                if (mapping) {
                    mapping->mapPixels(source, r.x + done, y, count, mapped);
                    source = mapped;
                }
                spanFunction(source, out + static_cast<std::size_t>(done) * 3, count, kPlusOne, k, M, level, stream,
                             scratch, local);
            }
        }
        // Streaming stores are weakly ordered: settle them before the chunk counts as done.
        if (stream) _mm_sfence();
        HistogramBins& total = perThread.local();
        for (const LocalBins& part : local) {
            for (int i = 0; i < kHistogramBins; ++i) total[static_cast<std::size_t>(i)] += part[static_cast<std::size_t>(i)];
        }
        progress.advance(rows.end() - rows.begin());
    });
    for (const HistogramBins& bins : perThread) {
        for (int i = 0; i < kHistogramBins; ++i) result.histogram[static_cast<std::size_t>(i)] += bins[static_cast<std::size_t>(i)];
    }
    result.histogramPeak = histogramPeak(result.histogram, params.whitePosition, params.blackPosition);
}

namespace {

// trunc(sample x 255), held within 0..255 (not a number: 0); written so that it runs on whole
// vectors of samples.
inline std::uint32_t level8(float sample) {
    float v = sample * 255.0f;
    v = v > 0.0f ? v : 0.0f;
    v = v < 255.0f ? v : 255.0f;
    return static_cast<std::uint32_t>(static_cast<int>(v));
}

}  // namespace

namespace {

void drawRowScalar(const float* in, std::uint32_t* out, int count) {
    for (int x = 0; x < count; ++x, in += 3) out[x] = (level8(in[0]) << 16) | (level8(in[1]) << 8) | level8(in[2]);
}

// Four pixels at a time: the same multiply, hold and truncation per sample, then the twelve bytes
// are packed and shuffled into four words (blue lowest, top byte 0). A whole picture is written
// past the cache (streaming stores): nothing reads it back soon, and the display would only push
// the picture's floats out.
template <bool kStream>
__attribute__((target("ssse3"))) void drawRowSsse3(const float* in, std::uint32_t* out, int count) {
    int x = 0;
    if (kStream) {
        // Up to three pixels first, so that the vector stores land on 16-byte boundaries.
        while (x < count && (reinterpret_cast<std::uintptr_t>(out + x) & 15u) != 0) ++x;
        drawRowScalar(in, out, x);
    }
    in += 3 * x;
    const __m128 v255 = _mm_set1_ps(255.0f), vZero = _mm_setzero_ps();
    const __m128i order = _mm_setr_epi8(2, 1, 0, -128, 5, 4, 3, -128, 8, 7, 6, -128, 11, 10, 9, -128);
    for (; x + 4 <= count; x += 4, in += 12) {
        __m128i level[3];
        for (int v = 0; v < 3; ++v) {
            __m128 q = _mm_mul_ps(_mm_loadu_ps(in + 4 * v), v255);
            q = _mm_min_ps(_mm_max_ps(q, vZero), v255);
            level[v] = _mm_cvttps_epi32(q);
        }
        const __m128i bytes =
            _mm_packus_epi16(_mm_packs_epi32(level[0], level[1]), _mm_packs_epi32(level[2], level[2]));
        const __m128i words = _mm_shuffle_epi8(bytes, order);
        if (kStream) {
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + x), words);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), words);
        }
    }
    if (kStream) _mm_sfence();
    drawRowScalar(in, out + x, count - x);
}

using DrawRowFunction = void (*)(const float*, std::uint32_t*, int);

DrawRowFunction chooseDrawRow(const Region& r) {
    if (simdLimit.load(std::memory_order_relaxed) < 1 || !processorHas(1)) return drawRowScalar;
    const bool large = static_cast<std::int64_t>(r.width) * r.height >= streamingPixels.load(std::memory_order_relaxed);
    return large ? drawRowSsse3<true> : drawRowSsse3<false>;
}

}  // namespace

void drawRegion(const FloatImage& picture, const Region& region, DisplayBitmap& display, ProgressSink& progress) {
    if (picture.width() != display.width() || picture.height() != display.height()) {
        throw std::invalid_argument("drawRegion: the display bitmap must have the picture's size");
    }
    const Region r = clippedRegion(region, picture.width(), picture.height());
    if (r.empty()) return;
    const DrawRowFunction drawRow = chooseDrawRow(r);
    parallelRows(r.y, r.bottom(), [&](int y) {
        drawRow(picture.row(y) + static_cast<std::size_t>(r.x) * 3, display.row(y) + r.x, r.width);
    }, &progress);
}

DisplayBitmap drawPicture(const FloatImage& picture, ProgressSink& progress) {
    DisplayBitmap display(picture.width(), picture.height());
    drawRegion(picture, picture.bounds(), display, progress);
    return display;
}

}  // namespace sv
