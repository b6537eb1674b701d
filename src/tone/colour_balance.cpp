#include "tone/colour_balance.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "image/parallel_rows.h"

namespace sv {

namespace {

constexpr float kThird = 1.0f / 3.0f;

bool usable(const FloatImage& p, const FloatImage& n, const FloatImage& c) {
    return !p.empty() && p.sameSize(n) && p.sameSize(c) && &p != &n && &p != &c && &n != &c;
}

void copyRegion(FloatImage& to, const FloatImage& from, const Region& r) {
    const std::size_t at = static_cast<std::size_t>(r.x) * 3;
    const std::size_t bytes = static_cast<std::size_t>(r.width) * 3 * sizeof(float);
    parallelRows(r.y, r.bottom(), [&](int y) { std::memcpy(to.row(y) + at, from.row(y) + at, bytes); });
}

// The start the two colour tools share: the region within the picture, the gauge set up for two
// passes (the tool's and the display's), and the region of P kept in N (the Undo picture). False
// when there is nothing to do.
bool beginColourTool(const FloatImage& P, FloatImage& N, const FloatImage& C, const Region& regionIn,
                     ProgressSink& progress, Region& r) {
    if (!usable(P, N, C)) return false;
    r = clippedRegion(regionIn, P.width(), P.height());
    beginProgress(progress, 2 * static_cast<std::int64_t>(r.height));
    if (r.empty()) return false;
    copyRegion(N, P, r);
    return true;
}

}  // namespace

SamplingKernel makeSamplingKernel(int radius) {
    radius = std::clamp(radius, 0, 4);
    SamplingKernel k;
    k.size = 2 * radius + 1;
    const int c = k.size / 2;
    const float sigma = static_cast<float>(k.size * 1.8 / 7.0);
    const float g = static_cast<float>(1.0 / (static_cast<double>(sigma) * std::sqrt(2.0 * std::numbers::pi)));
    const double twoSigmaSq = 2.0 * static_cast<double>(sigma) * static_cast<double>(sigma);
    k.weights.resize(static_cast<std::size_t>(k.size) * k.size);
    float total = 0.0f;
    for (int i = 0; i < k.size; ++i) {
        for (int j = 0; j < k.size; ++j) {
            const double di = i - c, dj = j - c;
            const float w = static_cast<float>(std::exp(-(di * di) / twoSigmaSq) * g * g *
                                               std::exp(-(dj * dj) / twoSigmaSq));
            k.weights[static_cast<std::size_t>(i) * k.size + j] = w;
            total += w;
        }
    }
    for (float& w : k.weights) w = w / total;
    return k;
}

Rgb takeSample(const FloatImage& picture, int x, int y, int radius) {
    Rgb s{0.0f, 0.0f, 0.0f};
    if (picture.empty()) return s;
    x = std::clamp(x, 0, picture.width() - 1);
    y = std::clamp(y, 0, picture.height() - 1);
    if (radius <= 0) {
        for (int ch = 0; ch < 3; ++ch) s[ch] = picture.at(x, y, ch);
        return s;
    }
    const SamplingKernel k = makeSamplingKernel(radius);
    const int c = k.size / 2;
    for (int i = 0; i < k.size; ++i) {
        const int xs = std::clamp(x + i - c, 0, picture.width() - 1);
        for (int j = 0; j < k.size; ++j) {
            const int ys = std::clamp(y + j - c, 0, picture.height() - 1);
            const float w = k.at(i, j);
            for (int ch = 0; ch < 3; ++ch) s[ch] += w * picture.at(xs, ys, ch);
        }
    }
    return s;
}

std::array<int, 3> sampleBytes(const Rgb& sample) {
    std::array<int, 3> b{};
    for (int ch = 0; ch < 3; ++ch) b[ch] = std::clamp(static_cast<int>(sample[ch] * 255.0f), 0, 255);
    return b;
}

int neutralGreyByte(const Rgb& sample) {
    const float mean = (sample[0] + sample[1] + sample[2]) * kThird;
    return std::clamp(static_cast<int>(mean * 255.0f), 0, 255);
}

std::string sampleHint(const Rgb& sample) {
    const auto b = sampleBytes(sample);
    return "R:" + std::to_string(b[0]) + ", G:" + std::to_string(b[1]) + ", B:" + std::to_string(b[2]);
}

void neutralPoint(const FloatImage& P, FloatImage& N, FloatImage& C, const Region& regionIn, const Rgb& sample,
                  ProgressSink& progress) {
    Region r;
    if (!beginColourTool(P, N, C, regionIn, progress, r)) return;
    copyRegion(C, P, r);
    const float m = (sample[0] + sample[1] + sample[2]) * kThird;
    parallelRows(
        r.y, r.bottom(),
        [&](int y) {
            const float* p = P.row(y) + static_cast<std::size_t>(r.x) * 3;
            float* out = C.row(y) + static_cast<std::size_t>(r.x) * 3;
            for (int k = 0; k < r.width * 3; k += 3) {
                for (int ch = 0; ch < 3; ++ch) {
                    float o = sample[ch] != 0.0f ? p[k + ch] / sample[ch] * m : p[k + ch];
                    if (o > 1.0f) o = 1.0f;
                    out[k + ch] = o;
                }
            }
        },
        &progress);
}

bool balanceRangeInUse(const BalanceRange& range) {
    const float sMax = std::max({range.sample[0], range.sample[1], range.sample[2]});
    const int tMax = std::max({range.target[0], range.target[1], range.target[2]});
    return range.ticked && sMax != 0.0f && tMax != 0;
}

void sampleTargetBalance(const FloatImage& P, FloatImage& N, FloatImage& C, const Region& regionIn,
                         const BalanceParams& params, ProgressSink& progress) {
    Region r;
    if (!beginColourTool(P, N, C, regionIn, progress, r)) return;

    struct Used {
        int range;
        Rgb sample;
        Rgb target;
    };
    std::vector<Used> used;
    for (int k = 0; k < 3; ++k) {
        const BalanceRange& row = params.ranges[k];
        if (!balanceRangeInUse(row)) continue;
        Used u{k, row.sample, {}};
        for (int ch = 0; ch < 3; ++ch) u.target[ch] = static_cast<float>(row.target[ch]) / 255.0f;
        used.push_back(u);
    }
    const float n = static_cast<float>(used.size());
    parallelRows(
        r.y, r.bottom(),
        [&](int y) {
            const float* p = P.row(y) + static_cast<std::size_t>(r.x) * 3;
            float* out = C.row(y) + static_cast<std::size_t>(r.x) * 3;
            for (int k = 0; k < r.width * 3; k += 3) {
                if (used.empty()) {
                    out[k] = p[k];
                    out[k + 1] = p[k + 1];
                    out[k + 2] = p[k + 2];
                    continue;
                }
                const float L = (p[k] + p[k + 1] + p[k + 2]) * kThird;
                const float weights[3] = {(1.0f - L) * (1.0f - L), 1.0f - (L - 0.5f) * 4.0f * (L - 0.5f),
                                          1.0f - (1.0f - L) * (1.0f - L)};
                for (int ch = 0; ch < 3; ++ch) {
                    const float v = p[k + ch];
                    float acc = 0.0f;
                    for (const Used& u : used) {
                        const float wk = weights[u.range];
                        // A sample channel of 0 cannot be carried anywhere: the pixel keeps it.
                        acc += u.sample[ch] != 0.0f ? wk * v / u.sample[ch] * u.target[ch] + (1.0f - wk) * v : v;
                    }
                    float o = acc / n;
                    if (o > 1.0f) o = 1.0f;
                    out[k + ch] = o;
                }
            }
        },
        &progress);
}

}  // namespace sv
