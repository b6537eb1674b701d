#pragma once
// Direct versions of the local contrast operator for the tests: the same grid filter written
// straight from its description (double precision, std::log and std::exp, a 125-tap 3-D blur, one
// thread), and the exact bilateral filter the grid stands for. Only the choice of a pixel's cell
// is computed in float as the operator defines it, so that both put every pixel in the same cell.
#include <algorithm>
#include <cmath>
#include <vector>

#include "image/float_image.h"
#include "tone/local_contrast.h"

namespace sv::reference {

inline double logBrightness(const float* S, float stackMax) {
    float m = 0.0f;
    for (int c = 0; c < 3; ++c) m = S[c] > m ? S[c] : m;
    const double ratio = std::min(static_cast<double>(m / stackMax), 256.0);
    return std::log(ratio + std::ldexp(1.0, -17));
}

struct LocalModel {
    int width = 0, height = 0;
    float inverseCell = 1.0f;
    int gw = 0, gh = 0, levels = 0;
    std::vector<double> sum, weight;  // blurred
    double brightest = -12.0;

    std::size_t at(int x, int y, int z) const { return (static_cast<std::size_t>(y) * gw + x) * levels + z; }
    float levelOf(double l) const {
        return std::clamp(static_cast<float>((l + 12.0) / kLocalRangeSigma), 0.0f, static_cast<float>(levels - 2));
    }
    double base(int x, int y, double l) const {
        const float gx = static_cast<float>(x) * inverseCell, gy = static_cast<float>(y) * inverseCell;
        const float gz = levelOf(l);
        const int ix = static_cast<int>(gx), iy = static_cast<int>(gy), iz = static_cast<int>(gz);
        double s = 0.0, w = 0.0;
        for (int dy = 0; dy < 2; ++dy) {
            for (int dx = 0; dx < 2; ++dx) {
                for (int dz = 0; dz < 2; ++dz) {
                    const double a = (dx ? gx - ix : 1.0 - (gx - ix)) * (dy ? gy - iy : 1.0 - (gy - iy)) *
                                     (dz ? gz - iz : 1.0 - (gz - iz));
                    s += a * sum[at(ix + dx, iy + dy, iz + dz)];
                    w += a * weight[at(ix + dx, iy + dy, iz + dz)];
                }
            }
        }
        return w > 0.0 ? s / w : l;  // near no splatted pixel: its own base
    }
};

inline LocalModel buildLocalModel(const FloatImage& stack, float stackMax, int radiusPosition) {
    LocalModel g;
    g.width = stack.width();
    g.height = stack.height();
    const float cell = static_cast<float>(std::max(1.0, std::hypot(double(g.width), double(g.height)) * radiusPosition / 1000.0));
    g.inverseCell = 1.0f / cell;
    g.gw = static_cast<int>(static_cast<float>(g.width - 1) * g.inverseCell) + 2;
    g.gh = static_cast<int>(static_cast<float>(g.height - 1) * g.inverseCell) + 2;
    g.levels = static_cast<int>(std::lround(17.6 / kLocalRangeSigma)) + 2;
    const std::size_t cells = static_cast<std::size_t>(g.gw) * g.gh * g.levels;
    std::vector<double> sum(cells, 0.0), weight(cells, 0.0);
    // Cells of 8 pixels or more take every step-th pixel in both directions, up to one in 16.
    const int step = std::clamp(static_cast<int>(cell / 8.0f), 1, 4);
    for (int y = step / 2; y < g.height; y += step) {
        for (int x = step / 2; x < g.width; x += step) {
            const double l = logBrightness(stack.row(y) + 3 * static_cast<std::size_t>(x), stackMax);
            const int ix = static_cast<int>(static_cast<float>(x) * g.inverseCell + 0.5f);
            const int iy = static_cast<int>(static_cast<float>(y) * g.inverseCell + 0.5f);
            const int iz = static_cast<int>(g.levelOf(l) + 0.5f);
            sum[g.at(ix, iy, iz)] += l;
            weight[g.at(ix, iy, iz)] += 1.0;
        }
    }
    // The 1 4 6 4 1 kernel in all three directions at once, nothing outside the grid.
    const double k[5] = {1 / 16.0, 4 / 16.0, 6 / 16.0, 4 / 16.0, 1 / 16.0};
    g.sum.assign(cells, 0.0);
    g.weight.assign(cells, 0.0);
    for (int y = 0; y < g.gh; ++y) {
        for (int x = 0; x < g.gw; ++x) {
            for (int z = 0; z < g.levels; ++z) {
                for (int j = -2; j <= 2; ++j) {
                    for (int i = -2; i <= 2; ++i) {
                        for (int h = -2; h <= 2; ++h) {
                            if (y + j < 0 || y + j >= g.gh || x + i < 0 || x + i >= g.gw || z + h < 0 || z + h >= g.levels) continue;
                            const double a = k[j + 2] * k[i + 2] * k[h + 2];
                            g.sum[g.at(x, y, z)] += a * sum[g.at(x + i, y + j, z + h)];
                            g.weight[g.at(x, y, z)] += a * weight[g.at(x + i, y + j, z + h)];
                        }
                    }
                }
            }
        }
    }
    for (std::size_t i = 0; i < cells; ++i) {
        if (weight[i] > 0.0) g.brightest = std::max(g.brightest, g.sum[i] / g.weight[i]);
    }
    return g;
}

// The whole operator, pixel by pixel: compress the base towards the brightest base, scale the
// detail's texture-sized part (undoing gamma and saturation's flattening within 1 .. 4) and
// compress the rest with the base, lower by how far the 99th
// percentile on the lattice of samples rose above its old level (or white), scale the samples.
inline void localContrast(const FloatImage& stack, float stackMax, const LocalContrastParams& p, int gammaPosition,
                          int saturationPosition, FloatImage& out) {
    const LocalModel g = buildLocalModel(stack, stackMax, p.radiusPosition);
    const double keep = 1.0 - p.compressionPosition * 0.009, detail = p.detailPosition / 100.0;
    const double gamma = gammaPosition / 100.0, k = saturationPosition / 100.0;
    auto mapped = [&](double b, double l) {
        const double after = g.brightest + keep * (b - g.brightest);
        const double gain = std::clamp(gamma * (std::exp(after) * k + 1.0), 1.0, 4.0);
        const double d = l - b, texture = d / (1.0 + std::fabs(d) / kLocalRangeSigma);
        return after + keep * (d - texture) + detail * gain * texture;
    };
    const int step = std::max(1, static_cast<int>(std::sqrt(double(g.width) * g.height / 65536.0)));
    std::vector<double> before, after;
    for (int y = step / 2; y < g.height; y += step) {
        for (int x = step / 2; x < g.width; x += step) {
            const double l = logBrightness(stack.row(y) + 3 * static_cast<std::size_t>(x), stackMax);
            before.push_back(l);
            after.push_back(mapped(g.base(x, y, l), l));
        }
    }
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    const std::size_t rank = after.size() - 1 - static_cast<std::size_t>(after.size() * 0.01);
    const double lowering = std::max(0.0, after[rank] - std::max(0.0, before[rank]));
    for (int y = 0; y < g.height; ++y) {
        for (int x = 0; x < g.width; ++x) {
            const float* S = stack.row(y) + 3 * static_cast<std::size_t>(x);
            const double l = logBrightness(S, stackMax);
            const double ratio = std::exp(mapped(g.base(x, y, l), l) - lowering - l);
            for (int c = 0; c < 3; ++c) out.at(x, y, c) = static_cast<float>(S[c] * ratio);
        }
    }
}

// The exact bilateral filter of the log brightness: Gaussian weights in space (sigma in pixels)
// and in log brightness, over the whole picture.
inline std::vector<double> bilateral(const FloatImage& stack, float stackMax, double sigmaSpace, double sigmaRange) {
    const int w = stack.width(), h = stack.height();
    std::vector<double> l(static_cast<std::size_t>(w) * h), out(l.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) l[static_cast<std::size_t>(y) * w + x] = logBrightness(stack.row(y) + 3 * static_cast<std::size_t>(x), stackMax);
    }
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double centre = l[static_cast<std::size_t>(y) * w + x];
            double s = 0.0, n = 0.0;
            for (int v = 0; v < h; ++v) {
                for (int u = 0; u < w; ++u) {
                    const double value = l[static_cast<std::size_t>(v) * w + u];
                    const double d2 = double(u - x) * (u - x) + double(v - y) * (v - y);
                    const double a = std::exp(-d2 / (2 * sigmaSpace * sigmaSpace) -
                                              (value - centre) * (value - centre) / (2 * sigmaRange * sigmaRange));
                    s += a * value;
                    n += a;
                }
            }
            out[static_cast<std::size_t>(y) * w + x] = s / n;
        }
    }
    return out;
}

}  // namespace sv::reference
