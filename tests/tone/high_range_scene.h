#pragma once
// A high-range scene for the local contrast tests, benchmarks and screenshots: a dark, textured
// room beside a window onto a view about 2500 x brighter, photographed as a bracket of 8-bit
// sRGB exposures the way a camera would, and opened through the engine's own path.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "image/display_bitmap.h"
#include "image/progress.h"
#include "imagefiles/bmp_writer.h"
#include "stack/exposure_stack.h"
#include "support/test_support.h"

namespace sv::test {

enum class ScenePart : std::uint8_t { Wall, Floor, Sky, Roofs };

struct RadianceMap {
    int width = 0;
    int height = 0;
    std::vector<float> rgb;         // linear scene radiance, 1.0 = white at 0 EV
    std::vector<ScenePart> part;    // what each pixel shows
    float at(int x, int y, int c) const { return rgb[(static_cast<std::size_t>(y) * width + x) * 3 + c]; }
    ScenePart partAt(int x, int y) const { return part[static_cast<std::size_t>(y) * width + x]; }
};

// Smooth random texture of standard deviation about 1: value noise on a grid of `cell` pixels,
// bilinearly interpolated, two octaves.
inline std::vector<float> valueNoise(int width, int height, float cell, unsigned seed) {
    std::vector<float> out(static_cast<std::size_t>(width) * height, 0.0f);
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (const float scale : {cell, cell * 4.0f}) {
        const int gw = static_cast<int>(width / scale) + 2, gh = static_cast<int>(height / scale) + 2;
        std::vector<float> grid(static_cast<std::size_t>(gw) * gh);
        for (float& v : grid) v = normal(rng);
        const float weight = scale == cell ? 0.8f : 0.6f;
        for (int y = 0; y < height; ++y) {
            const float gy = y / scale;
            const int iy = static_cast<int>(gy);
            const float fy = gy - iy;
            for (int x = 0; x < width; ++x) {
                const float gx = x / scale;
                const int ix = static_cast<int>(gx);
                const float fx = gx - ix;
                const float* g0 = grid.data() + static_cast<std::size_t>(iy) * gw + ix;
                const float* g1 = g0 + gw;
                const float top = g0[0] + fx * (g0[1] - g0[0]);
                const float bottom = g1[0] + fx * (g1[1] - g1[0]);
                out[static_cast<std::size_t>(y) * width + x] += weight * (top + fy * (bottom - top));
            }
        }
    }
    return out;
}

inline RadianceMap roomWithWindow(int width, int height, unsigned seed = 7) {
    RadianceMap map;
    map.width = width;
    map.height = height;
    map.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    map.part.resize(static_cast<std::size_t>(width) * height);
    const std::vector<float> roomTexture = valueNoise(width, height, 2.5f, seed);
    const std::vector<float> viewTexture = valueNoise(width, height, 3.0f, seed + 1);
    const int wx0 = width * 56 / 100, wx1 = width * 90 / 100, wy0 = height * 14 / 100, wy1 = height * 72 / 100;
    const int floorY = height * 80 / 100;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            const bool inside = x >= wx0 && x < wx1 && y >= wy0 && y < wy1;
            const float v = static_cast<float>(y - wy0) / static_cast<float>(wy1 - wy0);
            const bool roof = v > 0.62f + 0.08f * std::sin(static_cast<float>(x) * 0.09f);
            const bool floor = y >= floorY;
            float r, g, b;
            if (inside) {
                // The view: a sky brighter towards the top, a darker roofline, clouds.
                float level = (roof ? 1.8f : 4.8f - 1.6f * v) * std::exp(0.2f * viewTexture[i]);
                r = level * 0.92f;
                g = level * 0.97f;
                b = level * (roof ? 0.85f : 1.1f);
            } else {
                // The room: a planked wall and a darker floor, lit only by the window.
                const float planks = 1.0f + 0.25f * std::sin(static_cast<float>(x) * 0.52f);
                const float level = (floor ? 0.0011f : 0.0019f * planks) * std::exp(0.3f * roomTexture[i]);
                r = level * 1.08f;
                g = level;
                b = level * 0.82f;
            }
            map.rgb[i * 3] = r;
            map.rgb[i * 3 + 1] = g;
            map.rgb[i * 3 + 2] = b;
            map.part[i] = inside ? (roof ? ScenePart::Roofs : ScenePart::Sky) : (floor ? ScenePart::Floor : ScenePart::Wall);
        }
    }
    return map;
}

// The camera's 8-bit picture of the scene at `ev` stops: radiance x 2^ev, clipped at 1, sRGB-encoded.
inline DisplayBitmap exposeScene(const RadianceMap& map, double ev) {
    DisplayBitmap picture(map.width, map.height);
    const double scale = std::pow(2.0, ev);
    auto encode = [&](float radiance) {
        const double linear = std::clamp(radiance * scale, 0.0, 1.0);
        const double s = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
        return static_cast<std::uint32_t>(std::lround(255.0 * s));
    };
    for (int y = 0; y < map.height; ++y) {
        for (int x = 0; x < map.width; ++x) {
            picture.at(x, y) = (encode(map.at(x, y, 0)) << 16) | (encode(map.at(x, y, 1)) << 8) | encode(map.at(x, y, 2));
        }
    }
    return picture;
}

// Writes the bracket as BMP files into `folder` and opens them all at once, as the Open command
// does with several files: each is decoded and added to the stack with its weight.
inline bool openBracket(Project& project, const RadianceMap& map, const std::vector<double>& stops,
                        const std::string& folder) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < stops.size(); ++i) {
        const std::string path = folder + "/exposure_" + std::to_string(i) + ".bmp";
        std::string error;
        if (!test::written(writeBmp(exposeScene(map, stops[i]), path), error)) return false;
        paths.push_back(path);
    }
    DecodeHooks hooks;
    NullProgress progress;
    for (const OpenResult& result : openPictures(project, paths, hooks, progress)) {
        if (!result.opened) return false;
    }
    return project.exposureCount == static_cast<int>(stops.size());
}

}  // namespace sv::test
