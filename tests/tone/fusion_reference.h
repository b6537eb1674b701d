#pragma once
// Exposure fusion written straight from the method (Mertens, Kautz, Van Reeth 2007): weights from
// contrast, saturation and well-exposedness, normalised per pixel; whole Laplacian pyramids of
// every exposure and Gaussian pyramids of every weight map kept at once; the blended pyramid
// collapsed. Plain loops, float, one thread, 2-D filters applied as they are written (the
// production code is separable, streams the finest level and collapses each exposure on its own).
#include <algorithm>
#include <cmath>
#include <vector>

#include "image/float_image.h"
#include "tone/exposure_fusion.h"

namespace sv::reference {

struct FusionPlane {
    int w = 0, h = 0, c = 1;
    std::vector<float> v;
    FusionPlane() = default;
    FusionPlane(int w_, int h_, int c_) : w(w_), h(h_), c(c_), v(static_cast<std::size_t>(w_) * h_ * c_, 0.0f) {}
    float& at(int x, int y, int ch) { return v[(static_cast<std::size_t>(y) * w + x) * c + ch]; }
    float at(int x, int y, int ch) const { return v[(static_cast<std::size_t>(y) * w + x) * c + ch]; }
};

// ..., 2, 1, 0, 1, 2, ... about the edge pixels.
inline int fusionMirror(int i, int n) {
    if (n == 1) return 0;
    while (i < 0 || i >= n) i = i < 0 ? -i : 2 * (n - 1) - i;
    return i;
}

inline const float kBinomial[5] = {1.0f / 16, 4.0f / 16, 6.0f / 16, 4.0f / 16, 1.0f / 16};

inline FusionPlane fusionReduce(const FusionPlane& g) {
    FusionPlane out((g.w + 1) / 2, (g.h + 1) / 2, g.c);
    for (int y = 0; y < out.h; ++y)
        for (int x = 0; x < out.w; ++x)
            for (int ch = 0; ch < g.c; ++ch) {
                float s = 0.0f;
                for (int m = -2; m <= 2; ++m)
                    for (int n = -2; n <= 2; ++n)
                        s += kBinomial[m + 2] * kBinomial[n + 2] *
                             g.at(fusionMirror(2 * x + n, g.w), fusionMirror(2 * y + m, g.h), ch);
                out.at(x, y, ch) = s;
            }
    return out;
}

// Zeros between the pixels up to w x h, then 4 x the binomial filter.
inline FusionPlane fusionExpand(const FusionPlane& g, int w, int h) {
    FusionPlane up(w, h, g.c);
    for (int y = 0; y < h; y += 2)
        for (int x = 0; x < w; x += 2)
            for (int ch = 0; ch < g.c; ++ch) up.at(x, y, ch) = g.at(x / 2, y / 2, ch);
    FusionPlane out(w, h, g.c);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int ch = 0; ch < g.c; ++ch) {
                float s = 0.0f;
                for (int m = -2; m <= 2; ++m)
                    for (int n = -2; n <= 2; ++n)
                        s += 4.0f * kBinomial[m + 2] * kBinomial[n + 2] *
                             up.at(fusionMirror(x + n, w), fusionMirror(y + m, h), ch);
                out.at(x, y, ch) = s;
            }
    return out;
}

struct ReferenceExposure {
    const FloatImage* pixels = nullptr;
    int shiftX = 0, shiftY = 0;
    float multiplier = 1.0f;
    const std::vector<float>* mask = nullptr;
};

// The fused picture, every sample held to 0..1.
inline FusionPlane referenceFusion(const std::vector<ReferenceExposure>& exposures, int W, int H,
                                   const FusionParams& params) {
    const float wc = static_cast<float>(params.contrastPosition * 0.01);
    const float ws = static_cast<float>(params.saturationPosition * 0.01);
    const float we = static_cast<float>(params.exposurePosition * 0.01);
    const int N = static_cast<int>(exposures.size());
    int levels = 1;
    for (int m = std::min(W, H); m >= 2; m /= 2) ++levels;

    // Exposures in stack coordinates and their weights.
    std::vector<FusionPlane> images, weights;
    for (const ReferenceExposure& e : exposures) {
        FusionPlane I(W, H, 3), Wt(W, H, 1);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                for (int ch = 0; ch < 3; ++ch) {
                    const int sx = std::clamp(x - e.shiftX, 0, W - 1), sy = std::clamp(y - e.shiftY, 0, H - 1);
                    float v = e.multiplier * e.pixels->at(sx, sy, ch);
                    I.at(x, y, ch) = v >= 0.0f ? std::min(v, 1.0f) : 0.0f;
                }
        auto grey = [&](int x, int y) {
            x = fusionMirror(x, W);
            y = fusionMirror(y, H);
            return 0.299f * I.at(x, y, 0) + 0.587f * I.at(x, y, 1) + 0.114f * I.at(x, y, 2);
        };
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const bool covered = x - e.shiftX >= 0 && x - e.shiftX < W && y - e.shiftY >= 0 && y - e.shiftY < H;
                if (!covered) continue;
                const float C = std::fabs((((grey(x - 1, y) + grey(x + 1, y)) + grey(x, y - 1)) + grey(x, y + 1)) -
                                          4.0f * grey(x, y));
                const float r = I.at(x, y, 0), g = I.at(x, y, 1), b = I.at(x, y, 2);
                const float mu = ((r + g) + b) / 3.0f;
                const float S = std::sqrt((((r - mu) * (r - mu) + (g - mu) * (g - mu)) + (b - mu) * (b - mu)) / 3.0f);
                float E = 1.0f;
                for (int ch = 0; ch < 3; ++ch) {
                    const float d = I.at(x, y, ch) - 0.5f;
                    E *= std::exp(-d * d / (2.0f * 0.2f * 0.2f));
                }
                float w = std::pow(C, wc) * std::pow(S, ws) * std::pow(E, we) + 1e-12f;
                if (e.mask) w *= (*e.mask)[static_cast<std::size_t>(y) * W + x];
                Wt.at(x, y, 0) = w;
            }
        images.push_back(std::move(I));
        weights.push_back(std::move(Wt));
    }
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            float sum = 0.0f;
            for (int k = 0; k < N; ++k) sum += weights[static_cast<std::size_t>(k)].at(x, y, 0);
            for (int k = 0; k < N; ++k) {
                float& w = weights[static_cast<std::size_t>(k)].at(x, y, 0);
                w = sum > 0.0f ? w / sum : 1.0f / static_cast<float>(N);
            }
        }

    // Every pyramid at once, then the blend level by level.
    std::vector<FusionPlane> blended(static_cast<std::size_t>(levels));
    for (int k = 0; k < N; ++k) {
        std::vector<FusionPlane> G{images[static_cast<std::size_t>(k)]}, Gw{weights[static_cast<std::size_t>(k)]};
        for (int l = 1; l < levels; ++l) {
            G.push_back(fusionReduce(G.back()));
            Gw.push_back(fusionReduce(Gw.back()));
        }
        for (int l = 0; l < levels; ++l) {
            const FusionPlane& g = G[static_cast<std::size_t>(l)];
            FusionPlane lap = g;
            if (l + 1 < levels) {
                const FusionPlane e = fusionExpand(G[static_cast<std::size_t>(l + 1)], g.w, g.h);
                for (std::size_t i = 0; i < lap.v.size(); ++i) lap.v[i] -= e.v[i];
            }
            FusionPlane& out = blended[static_cast<std::size_t>(l)];
            if (out.v.empty()) out = FusionPlane(g.w, g.h, 3);
            for (int y = 0; y < g.h; ++y)
                for (int x = 0; x < g.w; ++x)
                    for (int ch = 0; ch < 3; ++ch)
                        out.at(x, y, ch) += Gw[static_cast<std::size_t>(l)].at(x, y, 0) * lap.at(x, y, ch);
        }
    }
    for (int l = levels - 2; l >= 0; --l) {
        FusionPlane& fine = blended[static_cast<std::size_t>(l)];
        const FusionPlane e = fusionExpand(blended[static_cast<std::size_t>(l + 1)], fine.w, fine.h);
        for (std::size_t i = 0; i < fine.v.size(); ++i) fine.v[i] += e.v[i];
    }
    FusionPlane& result = blended[0];
    for (float& v : result.v) v = v >= 0.0f ? std::min(v, 1.0f) : 0.0f;
    return result;
}

}  // namespace sv::reference
