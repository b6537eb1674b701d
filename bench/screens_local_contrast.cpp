// Side-by-side pictures of the global render (left) and the same render with local contrast
// (right), as PNG files, for looking at the operator on high-range scenes.
// Usage: screens_local_contrast OUTPUT_DIR [compression detail radius]
//   scenes: the synthetic dark room beside a bright window (bracket -3, 0, +3 EV) and the sample
//   bracket in samples/, each at gamma 1 and at gamma 2.2 with saturation 100.
#include <stb_image_write.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "stack/exposure_stack.h"
#include "support/test_support.h"
#include "tone/high_range_scene.h"
#include "tone/render.h"

namespace {

using namespace sv;

FloatImage rendered(const Project& project, const RenderParams& params) {
    FloatImage out(project.imageWidth, project.imageHeight);
    RenderHistogram histogram;
    NullProgress progress;
    renderRegion(project.stackBuffer, project.stackMax, project.stackBuffer.bounds(), params, out, histogram, progress);
    return out;
}

bool saveSideBySide(const FloatImage& left, const FloatImage& right, const std::string& path) {
    const int gap = 8, w = left.width(), h = left.height();
    const int total = 2 * w + gap;
    std::vector<unsigned char> rgb(static_cast<std::size_t>(total) * h * 3, 255);
    NullProgress progress;
    for (int side = 0; side < 2; ++side) {
        const DisplayBitmap display = drawPicture(side == 0 ? left : right, progress);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const std::uint32_t word = display.at(x, y);
                unsigned char* p = rgb.data() + (static_cast<std::size_t>(y) * total + x + side * (w + gap)) * 3;
                p[0] = static_cast<unsigned char>(word >> 16);
                p[1] = static_cast<unsigned char>(word >> 8);
                p[2] = static_cast<unsigned char>(word);
            }
        }
    }
    return stbi_write_png(path.c_str(), total, h, 3, rgb.data(), total * 3) != 0;
}

void shoot(const Project& project, const std::string& name, const LocalContrastParams& local,
           const std::string& folder) {
    struct Setting {
        int gamma, saturation;
    };
    for (const Setting s : {Setting{100, 0}, Setting{220, 100}}) {
        RenderParams params;
        params.gammaPosition = s.gamma;
        params.saturationPosition = s.saturation;
        const FloatImage global = rendered(project, params);
        params.localContrast = local;
        params.localContrast.enabled = true;
        const FloatImage withLocal = rendered(project, params);
        const std::string path = folder + "/" + name + "_gamma" + std::to_string(s.gamma) + "_sat" +
                                 std::to_string(s.saturation) + ".png";
        std::printf("%s: %s\n", path.c_str(), saveSideBySide(global, withLocal, path) ? "written" : "FAILED");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR [compression detail radius]\n", argv[0]);
        return 1;
    }
    const std::string folder = argv[1];
    std::filesystem::create_directories(folder);
    LocalContrastParams local;
    if (argc >= 5) {
        local.compressionPosition = std::atoi(argv[2]);
        local.detailPosition = std::atoi(argv[3]);
        local.radiusPosition = std::atoi(argv[4]);
    }
    std::printf("compression %d, detail %d, radius %d\n", local.compressionPosition, local.detailPosition,
                local.radiusPosition);

    {
        test::TempDir dir;
        Project project;
        const test::RadianceMap scene = test::roomWithWindow(960, 640);
        if (!test::openBracket(project, scene, {-3.0, 0.0, 3.0}, dir.path().string())) return 2;
        shoot(project, "room_window", local, folder);
    }
    {
        Project project;
        const std::string samples = std::string(SV_SOURCE_DIR) + "/samples/";
        DecodeHooks hooks;
        NullProgress progress;
        openPictures(project, {samples + "bracket_minus2.jpg", samples + "bracket_0.jpg", samples + "bracket_plus2.jpg"},
                     hooks, progress);
        if (project.exposureCount != 3) return 2;
        shoot(project, "sample_bracket", local, folder);
    }
    return 0;
}
