// Accuracy of automatic alignment beside OpenCV's median-threshold aligner (AlignMTB) on the
// same pairs: exposures of -2 / +2 EV against a 0 EV stack, cut from procedural and real scenes,
// shifted both ways up to 200 pixels, with noise and JPEG. Prints a table of exact / within one
// pixel / failed per scene family for both.
// Usage: align_accuracy [pairs-per-scene] [largest shift] [width height]
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>
#include <stb/stb_image_write.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "stack/auto_align.h"
#include "support/bracket_scenes.h"

namespace {

using namespace sv;

struct Tally {
    int exact = 0;
    int nearly = 0;
    int failed = 0;
    double seconds = 0.0;
    void count(int error) { error == 0 ? ++exact : error <= 1 ? ++nearly : ++failed; }
};

struct Family {
    std::string name;
    std::vector<FloatImage> scenes;
};

cv::Mat grey8(const std::vector<unsigned char>& rgb, int w, int h) {
    cv::Mat colour(h, w, CV_8UC3, const_cast<unsigned char*>(rgb.data()));
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_RGB2GRAY);
    return grey;
}

}  // namespace

int main(int argc, char** argv) {
    const int perScene = argc > 1 ? std::atoi(argv[1]) : 8;
    const int maxShift = argc > 2 ? std::atoi(argv[2]) : 200;
    const int width = argc > 4 ? std::atoi(argv[3]) : 512;
    const int height = argc > 4 ? std::atoi(argv[4]) : 384;
    const int sceneW = width + 2 * maxShift + 8;
    const int sceneH = height + 2 * maxShift + 8;

    std::vector<Family> families;
    {
        Family f{"procedural, detailed", {}};
        for (unsigned s = 1; s <= 4; ++s) f.scenes.push_back(test::proceduralScene(sceneW, sceneH, s));
        families.push_back(std::move(f));
    }
    {
        Family f{"procedural, smooth", {}};
        for (unsigned s = 11; s <= 13; ++s) f.scenes.push_back(test::proceduralScene(sceneW, sceneH, s, test::SceneKind::Smooth));
        families.push_back(std::move(f));
    }
    {
        Family f{"procedural, dark (1/20)", {}};
        for (unsigned s = 21; s <= 23; ++s) {
            FloatImage scene = test::proceduralScene(sceneW, sceneH, s);
            for (std::size_t i = 0; i < scene.sampleCount(); ++i) scene.data()[i] *= 0.05f;
            f.scenes.push_back(std::move(scene));
        }
        families.push_back(std::move(f));
    }
    {
        Family f{"photographs (skimage)", {}};
        const std::pair<const char*, int> photos[] = {{"retina.jpg", 0},    {"hubble_deep_field.jpg", 0},
                                                      {"coffee.png", 0},    {"astronaut.png", 0},
                                                      {"rocket.jpg", 0},    {"chelsea.png", 0},
                                                      {"camera.png", 0},    {"moon.png", 0},
                                                      {"motorcycle_left.png", 0}};
        for (const auto& p : photos) {
            const std::string path = test::skimagePicture(p.first);
            int w = 0, h = 0, n = 0;
            if (!stbi_info(path.c_str(), &w, &h, &n)) {
                std::fprintf(stderr, "missing %s (python3-skimage)\n", path.c_str());
                continue;
            }
            const double scale = std::max({1.0, static_cast<double>(sceneW) / w, static_cast<double>(sceneH) / h});
            f.scenes.push_back(test::photoScene(path, scale));
        }
        families.push_back(std::move(f));
    }

    // The fewest pyramid levels that reach the largest shift (2^bits - 1 pixels): more levels
    // would only hand AlignMTB tinier coarse pictures.
    int bits = 1;
    while ((1 << bits) - 1 < maxShift) ++bits;
    cv::Ptr<cv::AlignMTB> mtb = cv::createAlignMTB(bits, 4, true);
    std::map<std::string, std::pair<Tally, Tally>> table;
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> shiftDist(-maxShift, maxShift);
    unsigned seed = 100;
    for (const Family& family : families) {
        for (const FloatImage& scene : family.scenes) {
            for (int k = 0; k < perScene; ++k) {
                const int dx = shiftDist(rng);
                const int dy = shiftDist(rng);
                const double ev = (k % 2 == 0) ? -2.0 : 2.0;
                const int x0 = (scene.width() - width) / 2;
                const int y0 = (scene.height() - height) / 2;
                test::Shot base{x0, y0, width, height, 0.0, 0.0, 1.0, 2.0, 90, seed++};
                test::Shot moved{x0 + dx, y0 + dy, width, height, ev, 0.0, 1.0, 2.0, 90, seed++};
                const std::vector<unsigned char> baseRgb = test::shootRgb(scene, base);
                const std::vector<unsigned char> movedRgb = test::shootRgb(scene, moved);
                const FloatImage stack = test::stackOf(test::openingScale(baseRgb, width, height));
                const FloatImage fresh = test::openingScale(movedRgb, width, height);

                NullProgress progress;
                auto t0 = std::chrono::steady_clock::now();
                const AutoAlignResult ours = autoAlign(fresh, stack, AutoAlignParams{}, progress);
                auto t1 = std::chrono::steady_clock::now();
                const cv::Point theirs = mtb->calculateShift(grey8(baseRgb, width, height), grey8(movedRgb, width, height));
                auto t2 = std::chrono::steady_clock::now();

                const int ourError = std::max(std::abs(ours.shiftX - dx), std::abs(ours.shiftY - dy));
                const int theirError = std::max(std::abs(theirs.x - dx), std::abs(theirs.y - dy));
                auto& row = table[family.name];
                row.first.count(ourError);
                row.second.count(theirError);
                row.first.seconds += std::chrono::duration<double>(t1 - t0).count();
                row.second.seconds += std::chrono::duration<double>(t2 - t1).count();
                if (const char* dump = std::getenv("SV_DUMP"); dump && ourError > 0) {
                    const std::string stem = std::string(dump) + "/pair" + std::to_string(seed);
                    stbi_write_png((stem + "_stack.png").c_str(), width, height, 3, baseRgb.data(), width * 3);
                    stbi_write_png((stem + "_new.png").c_str(), width, height, 3, movedRgb.data(), width * 3);
                }
                if (ourError > 0 || std::getenv("SV_VERBOSE")) {
                    std::fprintf(stderr, "%u %-24s ev %+.0f true (%4d,%4d) ours (%4d,%4d) residual %.3f  AlignMTB (%4d,%4d)\n",
                                 seed, family.name.c_str(), ev, dx, dy, ours.shiftX, ours.shiftY, ours.residual, theirs.x,
                                 theirs.y);
                }
            }
        }
    }
    std::printf("%d x %d pairs, shifts up to +-%d, -2/+2 EV against 0 EV, noise 2 levels, JPEG 90\n", width, height,
                maxShift);
    std::printf("%-26s | %-28s | %-28s\n", "family", "ours: exact / <=1 / failed", "AlignMTB: exact / <=1 / failed");
    Tally allOurs, allTheirs;
    for (const auto& [name, row] : table) {
        std::printf("%-26s | %6d %6d %6d        | %6d %6d %6d\n", name.c_str(), row.first.exact, row.first.nearly,
                    row.first.failed, row.second.exact, row.second.nearly, row.second.failed);
        allOurs.exact += row.first.exact;
        allOurs.nearly += row.first.nearly;
        allOurs.failed += row.first.failed;
        allOurs.seconds += row.first.seconds;
        allTheirs.exact += row.second.exact;
        allTheirs.nearly += row.second.nearly;
        allTheirs.failed += row.second.failed;
        allTheirs.seconds += row.second.seconds;
    }
    std::printf("%-26s | %6d %6d %6d        | %6d %6d %6d\n", "all", allOurs.exact, allOurs.nearly, allOurs.failed,
                allTheirs.exact, allTheirs.nearly, allTheirs.failed);
    std::printf("time per pair: ours %.1f ms, AlignMTB %.1f ms\n",
                1e3 * allOurs.seconds / (allOurs.exact + allOurs.nearly + allOurs.failed),
                1e3 * allTheirs.seconds / (allTheirs.exact + allTheirs.nearly + allTheirs.failed));
    return 0;
}
