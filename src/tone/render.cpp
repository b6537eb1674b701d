#include "tone/render.h"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "image/parallel_rows.h"

namespace sv {

std::vector<float> identityCurveTable() {
    std::vector<float> table(kCurveLevels);
    for (int x = 0; x < kCurveLevels; ++x) table[static_cast<std::size_t>(x)] = static_cast<float>(x);
    return table;
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
    const bool coincide = !std::isfinite(c.f);
    tbb::parallel_for(tbb::blocked_range<int>(0, kCurveLevels, 4096), [&](const tbb::blocked_range<int>& r) {
        for (int index = r.begin(); index != r.end(); ++index) {
            const float v = curve[index] * (1.0f / 32768.0f);
            const float t = static_cast<float>(std::pow(static_cast<double>(v), static_cast<double>(c.e)));
            float o;
            if (coincide) {
                // The stretch between equal points has no finite slope: its limit is a step.
                o = t > c.b ? 1.0f : 0.0f;
            } else {
                o = c.f * t - c.f * c.b;
                if (o >= 1.0f) o = 1.0f;
                if (!(o >= 0.0f)) o = 0.0f;
            }
            table[static_cast<std::size_t>(index)] = {t, o};
        }
    });
    return table;
}

// s x n x 32767 truncated, held within 0..32767 (a sample above stackMax takes the last entry).
inline int curveIndex(float level) {
    if (level >= 32767.0f) return 32767;
    if (level > 0.0f) return static_cast<int>(level);
    return 0;  // negative or not a number
}

Region clipped(const Region& region, int width, int height) {
    Region r = region;
    if (r.x < 0) {
        r.width += r.x;
        r.x = 0;
    }
    if (r.y < 0) {
        r.height += r.y;
        r.y = 0;
    }
    r.width = std::min(r.width, width - r.x);
    r.height = std::min(r.height, height - r.y);
    return r;
}

// Local counts fit 32 bits for any row chunk; they are added into the 64-bit total once per chunk.
using LocalBins = std::array<std::uint32_t, kHistogramBins>;

}  // namespace

void renderRegion(const FloatImage& stackBuffer, float stackMax, const Region& region, const RenderParams& params,
                  FloatImage& processedBuffer, RenderHistogram& result, ProgressSink& progress) {
    if (params.curveTable.size() != static_cast<std::size_t>(kCurveLevels)) {
        throw std::invalid_argument("renderRegion: the curve table must have 32768 entries");
    }
    if (!stackBuffer.sameSize(processedBuffer)) {
        throw std::invalid_argument("renderRegion: stack and processed picture differ in size");
    }
    result.histogram.fill(0);
    const Region r = clipped(region, stackBuffer.width(), stackBuffer.height());
    if (r.empty()) {
        result.histogramPeak = 0;
        return;
    }

    const RenderConstants c = renderConstants(params);
    const std::vector<LevelEntry> levels = levelTable(params, c);
    const LevelEntry* level = levels.data();
    const float k = c.k;
    const float kPlusOne = k + 1.0f;
    const float M = stackMax;

    tbb::enumerable_thread_specific<HistogramBins> perThread([] {
        HistogramBins bins{};
        return bins;
    });
    tbb::parallel_for(tbb::blocked_range<int>(r.y, r.bottom()), [&](const tbb::blocked_range<int>& rows) {
        LocalBins local{};
        for (int y = rows.begin(); y != rows.end(); ++y) {
            const float* in = stackBuffer.row(y) + static_cast<std::size_t>(r.x) * 3;
            float* out = processedBuffer.row(y) + static_cast<std::size_t>(r.x) * 3;
            for (int x = 0; x < r.width; ++x, in += 3, out += 3) {
                const float sR = in[0], sG = in[1], sB = in[2];
                float m = 0.0f;
                if (sR > m) m = sR;
                if (sG > m) m = sG;
                if (sB > m) m = sB;
                const float s = kPlusOne / (m * k / M + 1.0f);
                const LevelEntry& eR = level[curveIndex(s * (sR / M) * 32767.0f)];
                const LevelEntry& eG = level[curveIndex(s * (sG / M) * 32767.0f)];
                const LevelEntry& eB = level[curveIndex(s * (sB / M) * 32767.0f)];
                out[0] = eR.o;
                out[1] = eG.o;
                out[2] = eB.o;
                const float sum = eR.t + eG.t + eB.t;
                int bin = static_cast<int>(215.0f * sum / 3.0f);
                if (bin > kHistogramBins - 1) bin = kHistogramBins - 1;
                ++local[static_cast<std::size_t>(bin)];
            }
        }
        HistogramBins& total = perThread.local();
        for (int i = 0; i < kHistogramBins; ++i) total[static_cast<std::size_t>(i)] += local[static_cast<std::size_t>(i)];
        progress.advance(rows.end() - rows.begin());
    });
    for (const HistogramBins& bins : perThread) {
        for (int i = 0; i < kHistogramBins; ++i) result.histogram[static_cast<std::size_t>(i)] += bins[static_cast<std::size_t>(i)];
    }
    result.histogramPeak = histogramPeak(result.histogram, params.whitePosition, params.blackPosition);
}

namespace {

inline std::uint32_t level8(float sample) {
    const float v = sample * 255.0f;
    if (v >= 255.0f) return 255u;
    if (v > 0.0f) return static_cast<std::uint32_t>(static_cast<int>(v));
    return 0u;  // negative or not a number
}

}  // namespace

void drawRegion(const FloatImage& picture, const Region& region, DisplayBitmap& display, ProgressSink& progress) {
    if (picture.width() != display.width() || picture.height() != display.height()) {
        throw std::invalid_argument("drawRegion: the display bitmap must have the picture's size");
    }
    const Region r = clipped(region, picture.width(), picture.height());
    if (r.empty()) return;
    parallelRows(r.y, r.bottom(), [&](int y) {
        const float* in = picture.row(y) + static_cast<std::size_t>(r.x) * 3;
        std::uint32_t* out = display.row(y) + r.x;
        for (int x = 0; x < r.width; ++x, in += 3) {
            out[x] = (level8(in[0]) << 16) | (level8(in[1]) << 8) | level8(in[2]);
        }
    }, &progress);
}

DisplayBitmap drawPicture(const FloatImage& picture, ProgressSink& progress) {
    DisplayBitmap display(picture.width(), picture.height());
    drawRegion(picture, picture.bounds(), display, progress);
    return display;
}

}  // namespace sv
