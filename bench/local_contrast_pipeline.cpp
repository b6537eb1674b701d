// The whole road of a bracket through local contrast, as the program will take it, for timing
// beside a peer's local operator on the same files (bench/peer_durand.sh):
//   local_contrast_pipeline OUT.jpg IN1 IN2 ...   open and add every exposure, render the whole
//                                                 stack with local contrast at its defaults, save
//                                                 the display picture as JPEG (quality 95)
//   local_contrast_pipeline --make-bracket DIR [WIDTH HEIGHT]
//                                                 write the room-and-window scene at -3, 0, +3 EV
//                                                 as DIR/bracket_{1,2,3}.jpg (default 6000 x 4000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "imagefiles/jpeg_saver.h"
#include "stack/exposure_stack.h"
#include "support/test_support.h"
#include "tone/high_range_scene.h"
#include "tone/render.h"

namespace {

using namespace sv;

int makeBracket(const std::string& folder, int width, int height) {
    const test::RadianceMap scene = test::roomWithWindow(width, height);
    const double stops[] = {-3.0, 0.0, 3.0};
    for (int i = 0; i < 3; ++i) {
        const DisplayBitmap picture = test::exposeScene(scene, stops[i]);
        std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const std::uint32_t word = picture.at(x, y);
                unsigned char* p = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
                p[0] = static_cast<unsigned char>(word >> 16);
                p[1] = static_cast<unsigned char>(word >> 8);
                p[2] = static_cast<unsigned char>(word);
            }
        }
        const std::string path = folder + "/bracket_" + std::to_string(i + 1) + ".jpg";
        if (!test::writeJpeg(path, rgb, width, height, 95)) return 3;
        std::printf("%s\n", path.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--make-bracket") {
        const int width = argc >= 5 ? std::atoi(argv[3]) : 6000, height = argc >= 5 ? std::atoi(argv[4]) : 4000;
        return makeBracket(argv[2], width, height);
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUT.jpg IN... | --make-bracket DIR [WIDTH HEIGHT]\n", argv[0]);
        return 1;
    }
    // SV_STAGES=1 prints each stage's time on stderr.
    const bool stages = std::getenv("SV_STAGES") != nullptr;
    auto last = std::chrono::steady_clock::now();
    std::clock_t lastCpu = std::clock();
    auto stage = [&](const char* name) {
        const auto now = std::chrono::steady_clock::now();
        const std::clock_t cpu = std::clock();
        if (stages) {
            std::fprintf(stderr, "%-8s %7.3f s, processor %7.3f s\n", name,
                         std::chrono::duration<double>(now - last).count(), double(cpu - lastCpu) / CLOCKS_PER_SEC);
        }
        last = now;
        lastCpu = cpu;
    };
    Project project;
    DecodeHooks hooks;
    NullProgress progress;
    const std::vector<std::string> inputs(argv + 2, argv + argc);
    for (const OpenResult& result : openPictures(project, inputs, hooks, progress)) {
        if (!result.opened) return 2;
    }
    stage("open");
    RenderParams params;
    params.localContrast.enabled = true;
    RenderHistogram histogram;
    renderRegion(project.stackBuffer, project.stackMax, project.stackBuffer.bounds(), params, project.processedBuffer,
                 histogram, progress);
    stage("render");
    const DisplayBitmap display = drawPicture(project.processedBuffer, progress);
    stage("draw");
    if (const Failure failed = saveJpeg(display, argv[1], 95, locateJpegEncoder(""))) {
        std::fprintf(stderr, "%s\n", englishText(*failed).c_str());
        return 3;
    }
    stage("save");
    return 0;
}
