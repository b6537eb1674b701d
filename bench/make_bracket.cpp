// Writes a bracket of three JPEG exposures (-2, 0, +2 EV) of one detailed synthetic scene, of any
// size, for the end-to-end benchmark. Rows are computed and compressed one at a time (one pass
// over the scene feeds all three encoders), so a 200-megapixel bracket needs little memory.
// Usage: make_bracket WIDTH HEIGHT OUTPUT_PREFIX   (writes PREFIX_minus2.jpg, _0.jpg, _plus2.jpg)
#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A smooth random field in 0..1 with features about `cell` pixels across (hashed lattice values,
// smoothly interpolated).
double lattice(std::int64_t i, std::int64_t j, std::uint32_t seed) {
    std::uint64_t h = static_cast<std::uint64_t>(i) * 0x9E3779B97F4A7C15ull ^
                      static_cast<std::uint64_t>(j) * 0xC2B2AE3D27D4EB4Full ^ seed * 0x165667B19E3779F9ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<double>(h & 0xFFFFFF) / 16777215.0;
}

double noise(double x, double y, double cell, std::uint32_t seed) {
    const double u = x / cell, v = y / cell;
    const double fu = std::floor(u), fv = std::floor(v);
    const auto i = static_cast<std::int64_t>(fu), j = static_cast<std::int64_t>(fv);
    double a = u - fu, b = v - fv;
    a = a * a * (3 - 2 * a);
    b = b * b * (3 - 2 * b);
    const double top = lattice(i, j, seed) * (1 - a) + lattice(i + 1, j, seed) * a;
    const double bottom = lattice(i, j + 1, seed) * (1 - a) + lattice(i + 1, j + 1, seed) * a;
    return top * (1 - b) + bottom * b;
}

// Scene radiance (linear, about 0.002 .. 40): sky with clouds and a sun, a textured facade with
// lit windows in deep shadow, foliage and gravel in half shade. Detail at every scale from a few
// pixels to a tenth of the picture, as a photograph has.
void radiance(int x, int y, int w, int h, double rgb[3]) {
    const double u = (x + 0.5) / w, v = (y + 0.5) / h;
    const double s = std::max(w, h) / 6000.0;  // keep the features' size in the scene, not in pixels
    const double fine = noise(x, y, 3.0 * s, 1), mid = noise(x, y, 40.0 * s, 2), coarse = noise(x, y, 400.0 * s, 3);
    double r, g, b;
    if (v < 0.4) {
        const double cloud = std::clamp((coarse * 0.6 + mid * 0.3 + fine * 0.1 - 0.45) * 3.0, 0.0, 1.0);
        r = 1.2 + 1.5 * v + 3.0 * cloud;
        g = 1.6 + 1.5 * v + 3.0 * cloud;
        b = 2.8 + 1.0 * v + 2.6 * cloud;
        const double dx = u - 0.78, dy = v - 0.2, d = std::sqrt(dx * dx + dy * dy);
        const double sun = d < 0.03 ? 40.0 : 6.0 * std::exp(-(d - 0.03) * 18.0);
        r += sun;
        g += sun * 0.95;
        b += sun * 0.8;
    } else if (u < 0.6 && v < 0.8) {
        // Facade: bricks with mortar, weathering, and a grid of windows, some lit.
        const double bu = u * 150.0 + (static_cast<int>(v * 300.0) % 2) * 0.5, bv = v * 300.0;
        const bool mortar = bu - std::floor(bu) < 0.08 || bv - std::floor(bv) < 0.12;
        const double shade = (0.01 + 0.05 * u) * (0.6 + 0.8 * mid) * (mortar ? 0.6 : 1.0 + 0.5 * fine);
        r = shade * 1.2;
        g = shade;
        b = shade * 0.85;
        const double wu = u * 12.0, wv = (v - 0.4) * 20.0;
        if (wu - std::floor(wu) > 0.25 && wu - std::floor(wu) < 0.75 && wv - std::floor(wv) > 0.2 &&
            wv - std::floor(wv) < 0.8) {
            const bool lit = lattice(static_cast<std::int64_t>(wu), static_cast<std::int64_t>(wv), 7) > 0.5;
            const double glow = lit ? 2.0 + 1.5 * fine : 0.02 + 0.05 * coarse;
            r = glow;
            g = glow * 0.8;
            b = glow * (lit ? 0.45 : 1.2);
        }
    } else if (v < 0.8) {
        // Foliage: strongly textured green in sun and shade.
        const double leaf = 0.3 * fine + 0.5 * noise(x, y, 9.0 * s, 4) + 0.2 * mid;
        const double light = coarse > 0.5 ? 1.0 : 0.15;
        r = light * 0.15 * leaf;
        g = light * 0.5 * leaf;
        b = light * 0.08 * leaf;
    } else {
        // Gravel path in half shade.
        const double stone = 0.5 * fine + 0.3 * noise(x, y, 6.0 * s, 5) + 0.2 * mid;
        const double light = 0.1 + 0.4 * (v - 0.8) / 0.2;
        r = light * stone * 1.1;
        g = light * stone;
        b = light * stone * 0.9;
    }
    rgb[0] = r;
    rgb[1] = g;
    rgb[2] = b;
}

struct Encoder {
    std::FILE* file = nullptr;
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    double scale = 1.0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_bracket WIDTH HEIGHT OUTPUT_PREFIX\n");
        return 1;
    }
    const int w = std::atoi(argv[1]), h = std::atoi(argv[2]);
    if (w <= 0 || h <= 0 || w > 65500 || h > 65500) {
        std::fprintf(stderr, "make_bracket: sizes are 1 .. 65500\n");
        return 1;
    }
    const std::string prefix = argv[3];
    const struct {
        const char* suffix;
        double ev;
    } shots[] = {{"_minus2.jpg", -2.0}, {"_0.jpg", 0.0}, {"_plus2.jpg", 2.0}};
    Encoder encoders[3];
    for (int k = 0; k < 3; ++k) {
        Encoder& e = encoders[k];
        const std::string path = prefix + shots[k].suffix;
        e.file = std::fopen(path.c_str(), "wb");
        if (!e.file) {
            std::fprintf(stderr, "make_bracket: cannot write %s\n", path.c_str());
            return 1;
        }
        e.scale = std::pow(2.0, shots[k].ev) * 0.18;
        e.info.err = jpeg_std_error(&e.error);
        jpeg_create_compress(&e.info);
        jpeg_stdio_dest(&e.info, e.file);
        e.info.image_width = static_cast<JDIMENSION>(w);
        e.info.image_height = static_cast<JDIMENSION>(h);
        e.info.input_components = 3;
        e.info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&e.info);
        jpeg_set_quality(&e.info, 92, TRUE);
        jpeg_start_compress(&e.info, TRUE);
    }
    // The sRGB-like curve of 8-bit output, by table: linear (0..1, 4096 steps) to code value.
    std::vector<unsigned char> curve(4097);
    for (int i = 0; i <= 4096; ++i) {
        curve[i] = static_cast<unsigned char>(std::lround(255.0 * std::pow(i / 4096.0, 1 / 2.2)));
    }
    std::vector<double> scene(static_cast<std::size_t>(w) * 3);
    std::vector<unsigned char> row(static_cast<std::size_t>(w) * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) radiance(x, y, w, h, &scene[static_cast<std::size_t>(x) * 3]);
        for (Encoder& e : encoders) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                const double linear = std::clamp(scene[i] * e.scale, 0.0, 1.0);
                row[i] = curve[static_cast<std::size_t>(linear * 4096.0)];
            }
            JSAMPROW rows[1] = {row.data()};
            jpeg_write_scanlines(&e.info, rows, 1);
        }
    }
    bool ok = true;
    for (Encoder& e : encoders) {
        jpeg_finish_compress(&e.info);
        jpeg_destroy_compress(&e.info);
        ok = std::fclose(e.file) == 0 && ok;
    }
    if (!ok) std::fprintf(stderr, "make_bracket: a write failed\n");
    return ok ? 0 : 1;
}
