#pragma once

// Direct versions of the filters, written straight from their descriptions: no tables, no
// separable forms, no vectors, one pixel at a time. The tests and benchmarks compare the
// production code with them.

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "filters/filter_kernel.h"
#include "image/float_image.h"
#include "image/region.h"

namespace sv::reference {

inline bool inside(const Region& r, int x, int y) {
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

inline void copyRegion(FloatImage& to, const FloatImage& from, const Region& r) {
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x)
            for (int c = 0; c < 3; ++c) to.at(x, y, c) = from.at(x, y, c);
}

// The blur's 33-tap line kernel: g[i] = d exp(-(i-16)^2 / (2 sigma^2)), normalised.
inline std::vector<float> lineKernel(float sigma) {
    const float d = static_cast<float>(1.0 / (std::sqrt(2.0 * 3.14159265358979323846) * sigma));
    std::vector<float> g(33);
    float sum = 0.0f;
    for (int i = 0; i < 33; ++i) {
        g[i] = static_cast<float>(d * std::exp(-((i - 16.0) * (i - 16.0)) / (2.0 * sigma * sigma)));
        sum += g[i];
    }
    for (float& v : g) v = v / sum;
    return g;
}

inline void gaussianBlur(const FloatImage& P, FloatImage& N, FloatImage& C, const Region& r, int sigmaPos,
                         int opacityPos) {
    const float sigma = static_cast<float>(sigmaPos * 0.1);
    const float op = static_cast<float>(opacityPos * 0.01);
    const std::vector<float> g = lineKernel(sigma);
    int m = 15;
    float s = 0.0f;
    for (int i = 0; i <= 15; ++i) {
        s = s + g[i];
        if (s > 0.02) {
            m = i;
            break;
        }
    }
    FloatImage T(P.width(), P.height());
    copyRegion(N, P, r);
    for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            float c[3] = {0, 0, 0};
            float w = 0.0f;
            for (int t = m; t <= 32 - m; ++t) {
                const int xs = x + 16 - t;
                if (xs >= r.x && xs < r.x + r.width) {
                    w += op * g[t];
                    for (int k = 0; k < 3; ++k) c[k] += op * N.at(xs, y, k) * g[t];
                }
            }
            for (int k = 0; k < 3; ++k) C.at(x, y, k) = c[k] / w;
        }
    }
    copyRegion(T, C, r);
    for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            float c[3] = {0, 0, 0};
            float w = 0.0f;
            for (int t = m; t <= 32 - m; ++t) {
                const int ys = y + 16 - t;
                if (ys >= r.y && ys < r.y + r.height) {
                    w += op * g[t];
                    for (int k = 0; k < 3; ++k) c[k] += op * T.at(x, ys, k) * g[t];
                }
            }
            for (int k = 0; k < 3; ++k) {
                float v = c[k] / w;
                if (v >= 1.0f) v = 1.0f;
                if (v < 0.0f) v = 0.0f;
                C.at(x, y, k) = v;
            }
        }
    }
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x)
            for (int k = 0; k < 3; ++k) C.at(x, y, k) = op * C.at(x, y, k) + (1.0f - op) * P.at(x, y, k);
}

// Direct 2-D convolution with the (33 - 2m)^2 window of the sharpen kernel.
inline void sharpen(const FloatImage& P, FloatImage& N, FloatImage& C, const Region& r, int amountPos,
                    int sigmaPos, int firstRow = -1, int lastRow = -1) {
    const float a = static_cast<float>(amountPos * 0.01);
    const FilterKernel K = makeSharpenKernel(static_cast<float>(sigmaPos * 0.1));
    int m = 15;
    float s = 0.0f;
    for (int i = 0; i <= 14; ++i) {
        s = s + K.weights[i][16];
        if (s < -0.0012) {
            m = i;
            break;
        }
    }
    copyRegion(N, P, r);
    const int y0 = firstRow < 0 ? r.y : firstRow;
    const int y1 = lastRow < 0 ? r.y + r.height : lastRow;
    for (int y = y0; y < y1; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            float c[3] = {P.at(x, y, 0), P.at(x, y, 1), P.at(x, y, 2)};
            for (int i = m; i <= 32 - m; ++i) {
                for (int j = m; j <= 32 - m; ++j) {
                    const int xs = x - i + 16, ys = y - j + 16;
                    if (inside(r, xs, ys)) {
                        for (int k = 0; k < 3; ++k) c[k] += a * N.at(xs, ys, k) * K.weights[i][j];
                    }
                }
            }
            for (int k = 0; k < 3; ++k) {
                if (c[k] >= 1.0f) c[k] = 1.0f;
                if (c[k] < 0.0f) c[k] = 0.0f;
                C.at(x, y, k) = c[k];
            }
        }
    }
}

inline void median(const FloatImage& P, FloatImage& N, FloatImage& C, const Region& r, MedianShape shape,
                   int sizePos, int thresholdPos, int opacityPos, int firstRow = -1, int lastRow = -1) {
    const float op = static_cast<float>(opacityPos * 0.01);
    const float thr = static_cast<float>(1.0 - thresholdPos * 0.01);
    const int p = sizePos;
    const FilterKernel mask = makeMedianMask(shape, sizePos);
    copyRegion(N, P, r);
    const int y0 = firstRow < 0 ? r.y : firstRow;
    const int y1 = lastRow < 0 ? r.y + r.height : lastRow;
    std::vector<float> R, G, B;
    for (int y = y0; y < y1; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            R.clear();
            G.clear();
            B.clear();
            float S = 0.0f;
            for (int i = 0; i <= 2 * p; ++i) {
                for (int j = 0; j <= 2 * p; ++j) {
                    if (mask.weights[i][j] != 1.0f) continue;
                    const int xs = x - i + p, ys = y - j + p;
                    if (!inside(r, xs, ys)) continue;
                    R.push_back(N.at(xs, ys, 0));
                    G.push_back(N.at(xs, ys, 1));
                    B.push_back(N.at(xs, ys, 2));
                    S += N.at(xs, ys, 0);
                    S += N.at(xs, ys, 1);
                    S += N.at(xs, ys, 2);
                }
            }
            const int n = static_cast<int>(R.size());
            const float centre = (N.at(x, y, 0) + N.at(x, y, 1) + N.at(x, y, 2)) * (1.0f / 3.0f);
            bool filter = false;
            if (n > 1) {
                const float others = (S * (1.0f / 3.0f) - centre) / static_cast<float>(n - 1);
                filter = std::fabs(others - centre) > thr;
            }
            if (filter) {
                std::sort(R.begin(), R.end());
                std::sort(G.begin(), G.end());
                std::sort(B.begin(), B.end());
                const float med[3] = {R[n / 2], G[n / 2], B[n / 2]};
                for (int k = 0; k < 3; ++k) C.at(x, y, k) = op * med[k] + (1.0f - op) * P.at(x, y, k);
            } else {
                for (int k = 0; k < 3; ++k) C.at(x, y, k) = P.at(x, y, k);
            }
        }
    }
}

// Two 1-D passes with one scalar exponential per tap.
inline void bilateral(const FloatImage& P, FloatImage& N, FloatImage& C, const Region& r, int sigmaPos,
                      int thresholdPos, int opacityPos) {
    const float op = static_cast<float>(opacityPos * 0.01);
    const float sr = static_cast<float>(thresholdPos * 0.01);
    const float e = 2.0f * sr * sr;
    const FilterKernel K = makeBilateralKernel(static_cast<float>(sigmaPos * 0.1));
    int m = 15;
    float s = 0.0f;
    for (int i = 0; i <= 15; ++i) {
        s = s + K.weights[i][16];
        if (s > 0.0009) {
            m = i;
            break;
        }
    }
    FloatImage Q(P.width(), P.height());
    copyRegion(N, P, r);
    for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            for (int k = 0; k < 3; ++k) {
                float total = 0.0f, sum = 0.0f;
                for (int t = m; t <= 32 - m; ++t) {
                    const int xs = x - t + 16;
                    if (xs < r.x || xs >= r.x + r.width) continue;
                    const float diff = N.at(xs, y, k) - N.at(x, y, k);
                    const float w = K.weights[t][16] * std::exp(-(diff * diff) / e);
                    total += w;
                    sum += w * N.at(xs, y, k);
                }
                C.at(x, y, k) = sum / total;
            }
        }
    }
    copyRegion(Q, C, r);
    for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            for (int k = 0; k < 3; ++k) {
                float total = 0.0f, sum = 0.0f;
                for (int t = m; t <= 32 - m; ++t) {
                    const int ys = y - t + 16;
                    if (ys < r.y || ys >= r.y + r.height) continue;
                    const float diff = Q.at(x, ys, k) - Q.at(x, y, k);
                    const float w = K.weights[16][t] * std::exp(-(diff * diff) / e);
                    total += w;
                    sum += w * Q.at(x, ys, k);
                }
                C.at(x, y, k) = sum / total;
            }
        }
    }
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x)
            for (int k = 0; k < 3; ++k) C.at(x, y, k) = op * C.at(x, y, k) + (1.0f - op) * P.at(x, y, k);
}

// A picture of smooth gradients, steps and isolated impulses, all samples in 0..1.
inline FloatImage testPicture(int width, int height, unsigned seed) {
    FloatImage img(width, height);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                float v = 0.5f + 0.3f * std::sin(0.21f * x + 0.5f * c) * std::cos(0.17f * y);
                if ((x / 7 + y / 5 + c) % 3 == 0) v = 0.8f * v + 0.15f;
                v += 0.08f * (u(rng) - 0.5f);
                if (u(rng) < 0.04f) v = u(rng) < 0.5f ? 0.0f : 1.0f;
                img.at(x, y, c) = std::clamp(v, 0.0f, 1.0f);
            }
        }
    }
    return img;
}

// Regions worth checking on a picture: the whole, each edge, the corners, one-pixel rows and
// columns, a single pixel, and random rectangles.
inline std::vector<Region> testRegions(int width, int height, unsigned seed, int randomCount = 4) {
    std::vector<Region> regions = {
        {0, width, 0, height},
        {0, width / 2, 0, height},                        // left edge
        {width / 3, width - width / 3, 0, height},        // right edge
        {0, width, 0, height / 2 + 1},                    // top edge
        {0, width, height / 3, height - height / 3},      // bottom edge
        {width - 9, 9, height - 7, 7},                    // bottom-right corner
        {0, 1, 0, height},                                // one column at the left
        {width - 1, 1, 0, height},                        // one column at the right
        {0, width, height - 1, 1},                        // one row at the bottom
        {3, width - 6, 4, 1},                             // one inner row
        {width / 2, 1, 2, height - 4},                    // one inner column
        {width / 2, 1, height / 2, 1},                    // one pixel
    };
    std::mt19937 rng(seed);
    for (int k = 0; k < randomCount; ++k) {
        const int x = std::uniform_int_distribution<int>(0, width - 2)(rng);
        const int y = std::uniform_int_distribution<int>(0, height - 2)(rng);
        const int w = std::uniform_int_distribution<int>(1, width - x)(rng);
        const int h = std::uniform_int_distribution<int>(1, height - y)(rng);
        regions.push_back({x, w, y, h});
    }
    return regions;
}

}  // namespace sv::reference
