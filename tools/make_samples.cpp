// Writes the sample bracket: three JPEG exposures (-2, 0, +2 EV) of one synthetic scene with deep
// shadows and bright highlights, 640 x 480. Usage: make_samples OUTPUT_DIR
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Scene radiance (linear, roughly 0.002 .. 40) at pixel (x, y).
void radiance(int x, int y, int w, int h, double rgb[3]) {
    const double u = (x + 0.5) / w, v = (y + 0.5) / h;
    // Sky: bright, bluish, brighter towards the horizon.
    double r = 1.2 + 1.5 * v, g = 1.6 + 1.5 * v, b = 2.8 + 1.0 * v;
    // Sun: a very bright disk with a halo.
    const double dx = u - 0.78, dy = v - 0.2;
    const double d = std::sqrt(dx * dx + dy * dy);
    const double sun = d < 0.045 ? 40.0 : 6.0 * std::exp(-(d - 0.045) * 18.0);
    r += sun; g += sun * 0.95; b += sun * 0.8;
    // A dark building with a window in the lower left: deep shadows.
    if (v > 0.42 && u < 0.55) {
        const bool window = u > 0.12 && u < 0.24 && v > 0.55 && v < 0.72;
        const double shade = 0.004 + 0.03 * (u / 0.55) * (1.0 - v);
        r = window ? 3.0 : shade * 1.1;
        g = window ? 2.4 : shade;
        b = window ? 1.2 : shade * 0.9;
        // Bricks: a faint pattern that only the bright exposure shows.
        if ((static_cast<int>(v * 60) + (static_cast<int>(u * 30) % 2)) % 3 == 0 && !window) {
            r *= 1.6; g *= 1.3;
        }
    } else if (v > 0.7) {
        // Ground in half shadow, a green chequer.
        const bool check = (static_cast<int>(u * 16) + static_cast<int>(v * 12)) % 2 == 0;
        r = check ? 0.08 : 0.2; g = check ? 0.18 : 0.35; b = 0.05;
    }
    rgb[0] = r; rgb[1] = g; rgb[2] = b;
}

bool writeExposure(const std::string& path, int w, int h, double ev) {
    std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
    const double scale = std::pow(2.0, ev) * 0.18;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double c[3];
            radiance(x, y, w, h, c);
            for (int k = 0; k < 3; ++k) {
                const double linear = std::clamp(c[k] * scale, 0.0, 1.0);
                rgb[(static_cast<size_t>(y) * w + x) * 3 + k] =
                    static_cast<unsigned char>(std::lround(255.0 * std::pow(linear, 1.0 / 2.2)));
            }
        }
    }
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(handle, rgb.data(), w, 0, h, TJPF_RGB, &jpeg, &size, TJSAMP_444, 92, 0);
    bool ok = rc == 0;
    if (ok) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ok = f && std::fwrite(jpeg, 1, size, f) == size;
        if (f) ok = std::fclose(f) == 0 && ok;
    }
    tjFree(jpeg);
    tjDestroy(handle);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_samples OUTPUT_DIR\n");
        return 1;
    }
    const std::string dir = argv[1];
    const struct { const char* name; double ev; } shots[] = {
        {"bracket_minus2.jpg", -2.0}, {"bracket_0.jpg", 0.0}, {"bracket_plus2.jpg", 2.0}};
    for (const auto& shot : shots) {
        if (!writeExposure(dir + "/" + shot.name, 640, 480, shot.ev)) {
            std::fprintf(stderr, "cannot write %s\n", shot.name);
            return 1;
        }
    }
    return 0;
}
