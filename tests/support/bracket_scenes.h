#pragma once
// Synthetic exposure brackets for the alignment and ghost tests (and the accuracy comparison in
// bench/): a scene is a linear radiance picture, procedural or taken from a real photograph that a
// Debian package ships; an exposure is a window of it at some EV, through a camera-like curve,
// with noise, quantised to 8 bits and passed through JPEG with libjpeg-turbo.
#include <stb/stb_image.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "image/float_image.h"

namespace sv::test {

// Real photographs shipped by python3-skimage (tools/install_deps.sh installs it).
inline std::string skimagePicture(const std::string& name) {
    return "/usr/lib/python3/dist-packages/skimage/data/" + name;
}
inline bool haveFile(const std::string& path) { return std::filesystem::exists(path); }

// Smoothly interpolated lattice noise in 0..1, `octaves` octaves from cells of `cell` pixels.
inline void addValueNoise(std::vector<float>& out, int w, int h, std::mt19937& rng, double cell, int octaves,
                          double persistence) {
    std::vector<float> acc(out.size(), 0.0f);
    double amplitude = 1.0;
    double totalAmplitude = 0.0;
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int o = 0; o < octaves && cell >= 1.0; ++o, cell /= 2.0, amplitude *= persistence) {
        const int gw = static_cast<int>(w / cell) + 3;
        const int gh = static_cast<int>(h / cell) + 3;
        std::vector<float> grid(static_cast<std::size_t>(gw) * gh);
        for (float& g : grid) g = unit(rng);
        for (int y = 0; y < h; ++y) {
            const double fy = y / cell;
            const int iy = static_cast<int>(fy);
            double ty = fy - iy;
            ty = ty * ty * (3 - 2 * ty);
            for (int x = 0; x < w; ++x) {
                const double fx = x / cell;
                const int ix = static_cast<int>(fx);
                double tx = fx - ix;
                tx = tx * tx * (3 - 2 * tx);
                const auto g = [&](int i, int j) { return grid[static_cast<std::size_t>(j) * gw + i]; };
                const double top = g(ix, iy) * (1 - tx) + g(ix + 1, iy) * tx;
                const double bottom = g(ix, iy + 1) * (1 - tx) + g(ix + 1, iy + 1) * tx;
                acc[static_cast<std::size_t>(y) * w + x] += static_cast<float>(amplitude * (top * (1 - ty) + bottom * ty));
            }
        }
        totalAmplitude += amplitude;
    }
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += acc[i] / static_cast<float>(totalAmplitude);
}

enum class SceneKind {
    Detailed,  // colour textures at every scale plus hard-edged shapes
    Smooth,    // soft brightness gradients and blurred blobs with a faint tint: sky, fog, a wall
};

// Linear radiance, mid-grey about 0.18 like a metered scene.
inline FloatImage proceduralScene(int w, int h, unsigned seed, SceneKind kind = SceneKind::Detailed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    FloatImage scene(w, h);
    const std::size_t n = static_cast<std::size_t>(w) * h;
    if (kind == SceneKind::Detailed) {
        for (int c = 0; c < 3; ++c) {
            std::vector<float> channel(n, 0.0f);
            addValueNoise(channel, w, h, rng, 128.0, 7, 0.6);
            for (std::size_t i = 0; i < n; ++i) scene.data()[3 * i + c] = channel[i];
        }
        for (int s = 0; s < w * h / 4000; ++s) {
            const float cx = unit(rng) * w;
            const float cy = unit(rng) * h;
            const float radius = 4 + unit(rng) * 40;
            const float colour[3] = {unit(rng), unit(rng), unit(rng)};
            const bool disc = unit(rng) < 0.5f;
            for (int y = std::max(0, static_cast<int>(cy - radius)); y < std::min(h, static_cast<int>(cy + radius) + 1); ++y) {
                for (int x = std::max(0, static_cast<int>(cx - radius)); x < std::min(w, static_cast<int>(cx + radius) + 1); ++x) {
                    const float dx = x - cx;
                    const float dy = y - cy;
                    const bool inside = disc ? dx * dx + dy * dy <= radius * radius : std::fabs(dy) <= radius * 0.6f;
                    if (!inside) continue;
                    for (int c = 0; c < 3; ++c) scene.at(x, y, c) = colour[c];
                }
            }
        }
    } else {
        std::vector<float> brightness(n, 0.0f);
        addValueNoise(brightness, w, h, rng, 200.0, 4, 0.5);
        std::vector<float> tint[3];
        for (auto& t : tint) {
            t.assign(n, 0.0f);
            addValueNoise(t, w, h, rng, 400.0, 2, 0.5);
        }
        for (int s = 0; s < 8; ++s) {
            const float cx = unit(rng) * w;
            const float cy = unit(rng) * h;
            const float radius = 40 + unit(rng) * 90;
            const float lift = unit(rng) < 0.5f ? 0.25f : -0.2f;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const float dx = x - cx;
                    const float dy = y - cy;
                    brightness[static_cast<std::size_t>(y) * w + x] += lift * std::exp(-(dx * dx + dy * dy) / (radius * radius));
                }
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (int c = 0; c < 3; ++c) scene.data()[3 * i + c] = brightness[i] * (0.85f + 0.3f * tint[c][i]);
        }
    }
    // Display-like values to linear light: the mean lands near mid-grey.
    for (std::size_t i = 0; i < scene.sampleCount(); ++i) {
        scene.data()[i] = std::pow(std::clamp(scene.data()[i], 0.0f, 1.0f), 2.2f);
    }
    return scene;
}

// A photograph as linear radiance, enlarged by `scale` (bilinear). Empty if it cannot be read.
inline FloatImage photoScene(const std::string& path, double scale = 1.0) {
    int w = 0, h = 0, n = 0;
    unsigned char* rgb = stbi_load(path.c_str(), &w, &h, &n, 3);
    if (!rgb) return FloatImage();
    const int ow = static_cast<int>(w * scale);
    const int oh = static_cast<int>(h * scale);
    FloatImage scene(ow, oh);
    for (int y = 0; y < oh; ++y) {
        const double sy = std::clamp((y + 0.5) / scale - 0.5, 0.0, h - 1.0);
        const int iy = std::min(static_cast<int>(sy), h - 2 < 0 ? 0 : h - 2);
        const double ty = std::min(1.0, sy - iy);
        for (int x = 0; x < ow; ++x) {
            const double sx = std::clamp((x + 0.5) / scale - 0.5, 0.0, w - 1.0);
            const int ix = std::min(static_cast<int>(sx), w - 2 < 0 ? 0 : w - 2);
            const double tx = std::min(1.0, sx - ix);
            for (int c = 0; c < 3; ++c) {
                const auto p = [&](int i, int j) { return rgb[(static_cast<std::size_t>(j) * w + i) * 3 + c] / 255.0; };
                const double v = (p(ix, iy) * (1 - tx) + p(ix + 1, iy) * tx) * (1 - ty) +
                                 (p(ix, iy + 1) * (1 - tx) + p(ix + 1, iy + 1) * tx) * ty;
                scene.at(x, y, c) = static_cast<float>(std::pow(v, 2.2));
            }
        }
    }
    stbi_image_free(rgb);
    return scene;
}

// How a window of the scene is seen: position, EV, and optionally a rotation (degrees) and zoom
// about the window's centre, which no integer shift can undo.
struct Shot {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    double ev = 0.0;
    double rotationDegrees = 0.0;
    double zoom = 1.0;
    double noise = 2.0;   // standard deviation in 8-bit levels
    int jpegQuality = 90; // 0: no JPEG
    unsigned seed = 1;
};

// Bilinear radiance at a real position, edge pixels repeated.
inline float sampleScene(const FloatImage& scene, double x, double y, int c) {
    x = std::clamp(x, 0.0, scene.width() - 1.0);
    y = std::clamp(y, 0.0, scene.height() - 1.0);
    const int ix = std::min(static_cast<int>(x), scene.width() - 2);
    const int iy = std::min(static_cast<int>(y), scene.height() - 2);
    const double tx = x - ix;
    const double ty = y - iy;
    return static_cast<float>((scene.at(ix, iy, c) * (1 - tx) + scene.at(ix + 1, iy, c) * tx) * (1 - ty) +
                              (scene.at(ix, iy + 1, c) * (1 - tx) + scene.at(ix + 1, iy + 1, c) * tx) * ty);
}

// The shot as 8-bit RGB: radiance x 2^ev, clipped, gamma 1/2.2, noise, rounding, JPEG.
inline std::vector<unsigned char> shootRgb(const FloatImage& scene, const Shot& shot) {
    std::mt19937 rng(shot.seed);
    std::normal_distribution<float> noise(0.0f, static_cast<float>(shot.noise));
    const double gain = std::pow(2.0, shot.ev);
    const double angle = shot.rotationDegrees * 3.14159265358979323846 / 180.0;
    const double cs = std::cos(angle) / shot.zoom;
    const double sn = std::sin(angle) / shot.zoom;
    const double cx = shot.x + shot.width / 2.0;
    const double cy = shot.y + shot.height / 2.0;
    const bool warped = shot.rotationDegrees != 0.0 || shot.zoom != 1.0;
    std::vector<unsigned char> rgb(static_cast<std::size_t>(shot.width) * shot.height * 3);
    for (int v = 0; v < shot.height; ++v) {
        for (int u = 0; u < shot.width; ++u) {
            double sx = shot.x + u;
            double sy = shot.y + v;
            if (warped) {
                const double px = sx - cx;
                const double py = sy - cy;
                sx = cx + cs * px - sn * py;
                sy = cy + sn * px + cs * py;
            }
            for (int c = 0; c < 3; ++c) {
                const float radiance = warped ? sampleScene(scene, sx, sy, c)
                                              : scene.at(std::clamp(static_cast<int>(sx), 0, scene.width() - 1),
                                                         std::clamp(static_cast<int>(sy), 0, scene.height() - 1), c);
                const double light = std::min(1.0, std::max(0.0, radiance * gain));
                const double level = std::pow(light, 1.0 / 2.2) * 255.0 + noise(rng);
                rgb[(static_cast<std::size_t>(v) * shot.width + u) * 3 + c] =
                    static_cast<unsigned char>(std::clamp(std::lround(level), 0L, 255L));
            }
        }
    }
    if (shot.jpegQuality <= 0) return rgb;
    tjhandle enc = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(enc, rgb.data(), shot.width, 0, shot.height, TJPF_RGB, &jpeg, &size, TJSAMP_420, shot.jpegQuality, 0);
    tjDestroy(enc);
    tjhandle dec = tjInitDecompress();
    tjDecompress2(dec, jpeg, size, rgb.data(), shot.width, 0, shot.height, TJPF_RGB, 0);
    tjDestroy(dec);
    tjFree(jpeg);
    return rgb;
}

// 8-bit RGB as the program holds an opened 8-bit picture: v / 256.
inline FloatImage openingScale(const std::vector<unsigned char>& rgb, int width, int height) {
    FloatImage image(width, height);
    for (std::size_t i = 0; i < image.sampleCount(); ++i) image.data()[i] = static_cast<float>(rgb[i]) / 256.0f;
    return image;
}

inline FloatImage shoot(const FloatImage& scene, const Shot& shot) {
    return openingScale(shootRgb(scene, shot), shot.width, shot.height);
}

// A stack holding one exposure, as the first add leaves it: v x 1 / (0.7 L + 1).
inline FloatImage stackOf(const FloatImage& exposure) {
    FloatImage stack(exposure.width(), exposure.height());
    for (int y = 0; y < exposure.height(); ++y) {
        for (int x = 0; x < exposure.width(); ++x) {
            const float l = std::max({0.0f, exposure.at(x, y, 0), exposure.at(x, y, 1), exposure.at(x, y, 2)});
            const float weight = static_cast<float>(1.0 / (0.7 * l + 1.0));
            for (int c = 0; c < 3; ++c) stack.at(x, y, c) = weight * exposure.at(x, y, c);
        }
    }
    return stack;
}

}  // namespace sv::test
