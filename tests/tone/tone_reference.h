#pragma once
// Direct versions of the tone algorithms, written straight from their descriptions: one pixel
// (or level) at a time, a pow per channel, no tables, one thread. The tests compare the production
// code with them and the benchmarks time them.
#include <algorithm>
#include <cmath>
#include <vector>

#include "tone/render.h"
#include "tone/tone_curve.h"

namespace sv::reference {

struct ReferenceResult {
    HistogramBins histogram{};
    std::int64_t peak = 0;
};

// renderRegion as described: parameters from the positions, then each pixel in turn.
inline ReferenceResult referenceRender(const FloatImage& stack, float stackMax, const Region& r, const RenderParams& p,
                                FloatImage& out) {
    const float e = static_cast<float>(1.0 / (p.gammaPosition * 0.01));
    const float w = static_cast<float>(p.whitePosition * (1.0 / 255.0));
    const float b = static_cast<float>(p.blackPosition * (1.0 / 255.0));
    const float f = 1.0f / (w - b);
    const float k = static_cast<float>(p.saturationPosition * 0.01);
    ReferenceResult result;
    for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * stack.width() + x;
            const float* S = stack.data() + i * 3;
            float m = 0.0f;
            for (int c = 0; c < 3; ++c) m = S[c] > m ? S[c] : m;
            const float s = (k + 1.0f) / (m * k / stackMax + 1.0f);
            float t[3];
            for (int c = 0; c < 3; ++c) {
                const float n = S[c] / stackMax;
                const float level = s * n * 32767.0f;
                int index;
                if (level > 32767.0f) {
                    index = 32767;
                } else if (level >= 0.0f) {
                    index = static_cast<int>(level);
                } else {
                    index = 0;  // below 0, or not a number (a damaged float TIFF)
                }
                const float v = p.curveTable[static_cast<std::size_t>(index)] * (1.0f / 32768.0f);
                t[c] = static_cast<float>(std::pow(static_cast<double>(v), static_cast<double>(e)));
                float o;
                if (w == b) {
                    o = t[c] > b ? 1.0f : 0.0f;  // the step the equal points stand for
                } else {
                    o = f * t[c] - f * b;
                    if (o >= 1.0f) o = 1.0f;
                    if (!(o >= 0.0f)) o = 0.0f;
                }
                out.data()[i * 3 + c] = o;
            }
            const float sum = t[0] + t[1] + t[2];
            ++result.histogram[static_cast<std::size_t>(static_cast<int>(215.0f * sum / 3.0f))];
        }
    }
    const int lo = p.blackPosition * 215 / 255 + 1;
    const int hi = p.whitePosition * 215 / 255 - 2;
    for (int q = lo; q <= hi; ++q) result.peak = std::max(result.peak, result.histogram[static_cast<std::size_t>(q)]);
    return result;
}

// drawRegion as described.
inline void referenceDraw(const FloatImage& picture, const Region& r, DisplayBitmap& display) {
    for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            const auto r8 = static_cast<std::uint32_t>(static_cast<int>(picture.at(x, y, 0) * 255.0f));
            const auto g8 = static_cast<std::uint32_t>(static_cast<int>(picture.at(x, y, 1) * 255.0f));
            const auto b8 = static_cast<std::uint32_t>(static_cast<int>(picture.at(x, y, 2) * 255.0f));
            display.at(x, y) = (r8 << 16) | (g8 << 8) | b8;
        }
    }
}

// Sampling as described, level by level.
inline std::vector<float> referenceSample(const CurvePoints& P, int n, CurveMode mode, float U) {
    std::vector<float> table(kCurveLevels);
    const double u = U;
    for (int x = 0; x < kCurveLevels; ++x) {
        double value = 0.0;
        if (mode == CurveMode::Smooth) {
            for (int j = 0; j <= n + 1; ++j) {
                double term = P[j].Y * u;
                for (int i = 0; i <= n + 1; ++i) {
                    if (i != j) term = term * (x - P[i].X * u) / ((P[j].X - P[i].X) * u);
                }
                value += term;
            }
        } else {
            int j = n;
            for (int s = 0; s <= n; ++s) {
                if (x <= P[s + 1].X * u) {
                    j = s;
                    break;
                }
            }
            const float slope = static_cast<float>(P[j + 1].Y - P[j].Y) / static_cast<float>(P[j + 1].X - P[j].X);
            const float intercept = j == 0 ? 0.0f : static_cast<float>(u * (P[j].Y - P[j].X * static_cast<double>(slope)));
            value = x * static_cast<double>(slope) + intercept;
        }
        if (value > 32767.0) value = 32767.0;
        if (!(value >= 0.0)) value = 0.0;
        table[static_cast<std::size_t>(x)] = static_cast<float>(value);
    }
    table[32767] = 32767.0f;
    table[0] = 0.0f;
    return table;
}

}  // namespace sv::reference
