// Automatic alignment: exact shifts on brackets cut from detailed scenes (procedural and real
// photographs), the smooth and dark cases, the warning on rotated, zoomed and unrelated pictures,
// and each building block against a direct version on small random pictures.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "stack/auto_align.h"
#include "stack/auto_align_detail.h"
#include "support/bracket_scenes.h"
#include "support/test_support.h"

namespace sv {
namespace {

using namespace align_detail;

constexpr int kW = 512;
constexpr int kH = 384;

// The sanitizers make every alignment some ten to twenty times slower: there the accuracy set keeps
// the corners of the range on the procedural scenes and one photograph, and the smooth, dark and
// warning sets one case of each kind, which still exercises every code path; the Release build runs
// the whole sets.
#ifdef SV_SANITIZED_BUILD
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr int kPairsPerScene = kSanitized ? 2 : 4;
constexpr std::size_t kScenesChecked = kSanitized ? 3 : 5;

struct Pair {
    FloatImage fresh;
    FloatImage stack;
};

// The stack holds a 0 EV shot at (x0, y0); the new picture is a shot at (x0 + dx, y0 + dy), so the
// answer is (dx, dy).
Pair bracketPair(const FloatImage& scene, int dx, int dy, double ev, unsigned seed, double rotation = 0.0,
                 double zoom = 1.0, int w = kW, int h = kH) {
    const int x0 = (scene.width() - w) / 2;
    const int y0 = (scene.height() - h) / 2;
    return {test::shoot(scene, {x0 + dx, y0 + dy, w, h, ev, rotation, zoom, 2.0, 90, seed}),
            test::stackOf(test::shoot(scene, {x0, y0, w, h, 0.0, 0.0, 1.0, 2.0, 90, seed + 1}))};
}

AutoAlignResult align(const Pair& p) {
    NullProgress progress;
    return autoAlign(p.fresh, p.stack, AutoAlignParams{}, progress);
}

std::vector<FloatImage> detailedScenes() {
    std::vector<FloatImage> scenes;
    scenes.push_back(test::proceduralScene(kW + 420, kH + 420, 3));
    scenes.push_back(test::proceduralScene(kW + 420, kH + 420, 4));
    for (const char* name : {"astronaut.png", "coffee.png", "retina.jpg"}) {
        if (scenes.size() >= kScenesChecked) break;
        const std::string path = test::skimagePicture(name);
        if (!test::haveFile(path)) continue;
        int w = 0, h = 0, n = 0;
        stbi_info(path.c_str(), &w, &h, &n);
        scenes.push_back(test::photoScene(path, std::max({1.0, (kW + 420.0) / w, (kH + 420.0) / h})));
    }
    return scenes;
}

TEST(AutoAlign, FindsTheExactShiftOfBracketsShiftedBothWaysUpTo200Pixels) {
    const std::vector<FloatImage> scenes = detailedScenes();
    std::mt19937 rng(12);
    std::uniform_int_distribution<int> shift(-200, 200);
    int exact = 0, total = 0;
    unsigned seed = 1;
    for (const FloatImage& scene : scenes) {
        // The corners of the range, then random shifts; +-2 EV alternately.
        const std::pair<int, int> fixed[] = {{200, -200}, {-200, 200}};
        for (int k = 0; k < kPairsPerScene; ++k) {
            const auto [dx, dy] = k < 2 ? fixed[k] : std::pair{shift(rng), shift(rng)};
            const double ev = k % 2 ? 2.0 : -2.0;
            const AutoAlignResult r = align(bracketPair(scene, dx, dy, ev, seed += 2));
            SCOPED_TRACE(testing::Message() << "scene " << (&scene - scenes.data()) << " shift " << dx << "," << dy
                                            << " ev " << ev << " found " << r.shiftX << "," << r.shiftY);
            ASSERT_TRUE(r.valid);
            EXPECT_LE(std::abs(r.shiftX - dx), 1);
            EXPECT_LE(std::abs(r.shiftY - dy), 1);
            EXPECT_FALSE(r.doubtful) << "residual " << r.residual;
            exact += r.shiftX == dx && r.shiftY == dy;
            ++total;
        }
    }
    EXPECT_GE(exact, 0.95 * total) << exact << " of " << total << " exact";
}

TEST(AutoAlign, AlignsSmoothAndDarkScenes) {
    // A dark scene, most of it within the lowest levels at -2 EV, and a smooth one without a
    // single hard edge: the cases where one median threshold sees little.
    FloatImage dark = test::proceduralScene(kW + 300, kH + 300, 21);
    for (std::size_t i = 0; i < dark.sampleCount(); ++i) dark.data()[i] *= 0.05f;
    const FloatImage smooth = test::proceduralScene(kW + 300, kH + 300, 12, test::SceneKind::Smooth);
    struct Case { const FloatImage* scene; int dx, dy; double ev; };
    const Case cases[] = {{&dark, -131, 97, -2.0}, {&dark, 60, -140, 2.0}, {&smooth, 119, -8, -2.0},
                          {&smooth, -87, -99, -2.0}};
    unsigned seed = 50;
    // Under the sanitizers one case of each scene.
    for (const Case& c : cases) {
        if (kSanitized && (&c == &cases[1] || &c == &cases[3])) continue;
        const AutoAlignResult r = align(bracketPair(*c.scene, c.dx, c.dy, c.ev, seed += 2));
        SCOPED_TRACE(testing::Message() << c.dx << "," << c.dy << " found " << r.shiftX << "," << r.shiftY);
        EXPECT_LE(std::abs(r.shiftX - c.dx), 1);
        EXPECT_LE(std::abs(r.shiftY - c.dy), 1);
    }
}

// A smooth scene where the gradients' best places at the finest level all go to one wrong basin
// (about (265, -177), a quarter of the picture overlapping) and the right one ranks fourth: the
// intensities must still get to see the right basin. It once came out at (278, -173).
TEST(AutoAlign, SmoothSceneWhoseBestGradientPlacesAreOneWrongBasin) {
    const FloatImage scene = test::proceduralScene(kW + 408, kH + 408, 11, test::SceneKind::Smooth);
    const int x0 = (scene.width() - kW) / 2, y0 = (scene.height() - kH) / 2;
    const Pair p{test::shoot(scene, {x0 - 25, y0 + 78, kW, kH, 2.0, 0.0, 1.0, 2.0, 90, 167}),
                 test::stackOf(test::shoot(scene, {x0, y0, kW, kH, 0.0, 0.0, 1.0, 2.0, 90, 166}))};
    const AutoAlignResult r = align(p);
    ASSERT_TRUE(r.valid);
    EXPECT_EQ(r.shiftX, -25);
    EXPECT_EQ(r.shiftY, 78);
}

TEST(AutoAlign, WarnsWhenNoShiftExplainsThePair) {
    const FloatImage scene = test::proceduralScene(kW + 200, kH + 200, 5);
    const FloatImage other = test::proceduralScene(kW + 200, kH + 200, 99);
    // Aligned pairs of different exposures are not doubtful and score low ...
    for (double ev : {-2.0, 2.0}) {
        if (kSanitized && ev > 0.0) continue;
        const AutoAlignResult r = align(bracketPair(scene, 23, -9, ev, 7));
        EXPECT_FALSE(r.doubtful);
        EXPECT_LT(r.residual, 0.2f);
    }
    // ... a rotation of a few degrees, a zoom and another scene are.
    const AutoAlignResult rotated = align(bracketPair(scene, 10, 7, -2.0, 9, 3.0));
    EXPECT_TRUE(rotated.doubtful) << rotated.residual;
    if (!kSanitized) {
        const AutoAlignResult slightlyRotated = align(bracketPair(scene, 10, 7, 2.0, 11, 1.5));
        EXPECT_TRUE(slightlyRotated.doubtful) << slightlyRotated.residual;
    }
    const AutoAlignResult zoomed = align(bracketPair(scene, 5, 7, 2.0, 13, 0.0, 1.05));
    EXPECT_TRUE(zoomed.doubtful) << zoomed.residual;
    const Pair unrelated{test::shoot(other, {100, 100, kW, kH, 0.0, 0.0, 1.0, 2.0, 90, 15}),
                         bracketPair(scene, 0, 0, 0.0, 17).stack};
    const AutoAlignResult different = align(unrelated);
    EXPECT_TRUE(different.doubtful) << different.residual;
    EXPECT_GT(different.residual, rotated.residual * 0.5f);
    // The limit is the caller's to choose.
    AutoAlignParams lenient;
    lenient.residualLimit = 1.0f;
    NullProgress progress;
    EXPECT_FALSE(autoAlign(unrelated.fresh, unrelated.stack, lenient, progress).doubtful);
}

TEST(AutoAlign, RealStereoPairIsNotMistakenForAShift) {
    // Two views of one scene from cameras side by side: parallax, not a shift.
    const std::string left = test::skimagePicture("motorcycle_left.png");
    const std::string right = test::skimagePicture("motorcycle_right.png");
    if (!test::haveFile(left) || !test::haveFile(right)) GTEST_SKIP() << "python3-skimage pictures missing";
    const FloatImage l = test::photoScene(left);
    const FloatImage r = test::photoScene(right);
    const int w = l.width(), h = l.height();
    const Pair pair{test::shoot(r, {0, 0, w, h, -2.0, 0.0, 1.0, 2.0, 90, 3}),
                    test::stackOf(test::shoot(l, {0, 0, w, h, 0.0, 0.0, 1.0, 2.0, 90, 4}))};
    const AutoAlignResult result = align(pair);
    EXPECT_TRUE(result.doubtful) << result.residual;
    // The same view against itself at another exposure is fine.
    const Pair same{test::shoot(l, {0, 0, w, h, 2.0, 0.0, 1.0, 2.0, 90, 5}), pair.stack.clone()};
    const AutoAlignResult itself = align(same);
    EXPECT_EQ(itself.shiftX, 0);
    EXPECT_EQ(itself.shiftY, 0);
    EXPECT_FALSE(itself.doubtful) << itself.residual;
}

TEST(AutoAlign, HandlesDegeneratePicturesAndKeepsTheGaugeConvention) {
    NullProgress progress;
    // Different sizes or nothing at all: no answer.
    EXPECT_FALSE(autoAlign(FloatImage(8, 8), FloatImage(9, 8), AutoAlignParams{}, progress).valid);
    EXPECT_FALSE(autoAlign(FloatImage(), FloatImage(), AutoAlignParams{}, progress).valid);
    // Tiny and flat pictures stay put, without a warning.
    for (auto [w, h] : {std::pair{1, 1}, {3, 2}, {40, 3}, {64, 64}}) {
        FloatImage a(w, h), b(w, h);
        a.fill(0.3f);
        b.fill(0.7f);
        const AutoAlignResult r = autoAlign(a, b, AutoAlignParams{}, progress);
        EXPECT_TRUE(r.valid);
        EXPECT_EQ(r.shiftX, 0);
        EXPECT_EQ(r.shiftY, 0);
        EXPECT_FALSE(r.doubtful);
    }
    // Negative, huge and NaN samples (a 32-bit TIFF can hold anything) do not upset it.
    FloatImage odd = test::randomImage(200, 150, 3, -1.0f, 2.0f);
    odd.at(5, 5, 0) = std::numeric_limits<float>::quiet_NaN();
    odd.at(6, 5, 1) = 1e30f;
    const AutoAlignResult r = autoAlign(odd, odd, AutoAlignParams{}, progress);
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.shiftX, 0);
    EXPECT_EQ(r.shiftY, 0);
    // The gauge runs up to 3 x height and is left at rest with the picture's height.
    struct Spy : AtomicProgress {
        std::int64_t most = 0, topSeen = 0;
        void advance(std::int64_t n) override {
            AtomicProgress::advance(n);
            most = std::max(most, position());
        }
        void setMaximum(std::int64_t m) override {
            AtomicProgress::setMaximum(m);
            topSeen = std::max(topSeen, m);
        }
    } spy;
    autoAlign(odd, odd, AutoAlignParams{}, spy);
    EXPECT_EQ(spy.topSeen, 3 * 150);
    EXPECT_LE(spy.most, 3 * 150);
    EXPECT_EQ(spy.position(), 0);
    EXPECT_EQ(spy.maximum(), 150);
    EXPECT_FALSE(spy.textVisible());
    // The range grows with the picture.
    EXPECT_EQ(autoAlignRange(640, 480, AutoAlignParams{}), 256);
    EXPECT_EQ(autoAlignRange(6000, 4000, AutoAlignParams{}), 375);
    AutoAlignParams fixed;
    fixed.maxShift = 40;
    EXPECT_EQ(autoAlignRange(6000, 4000, fixed), 40);
}

TEST(AutoAlign, LargePicturesRankTheFinestLevelOnDemandAndStillFindTheShift) {
    // Above four megapixels the finest level is ranked row by row when compared.
    const FloatImage small = test::proceduralScene(700, 450, 31);
    FloatImage scene(2600, 1700);
    for (int y = 0; y < scene.height(); ++y) {
        for (int x = 0; x < scene.width(); ++x) {
            for (int c = 0; c < 3; ++c) scene.at(x, y, c) = test::sampleScene(small, x / 3.8, y / 3.8, c);
        }
    }
    const Pair p = bracketPair(scene, -151, 77, 2.0, 3, 0.0, 1.0, 2400, 1680 - 2 * 77 - 4);
    const AutoAlignResult r = align(p);
    EXPECT_EQ(r.shiftX, -151);
    EXPECT_EQ(r.shiftY, 77);
    EXPECT_FALSE(r.doubtful);
}

// ---- building blocks against direct versions ----

FloatImage randomPicture(int w, int h, unsigned seed) {
    // Coarse blobs plus noise, so that ranks, gradients and maps all have something to chew.
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    FloatImage image(w, h);
    std::vector<float> grid(16 * 16 * 3);
    for (float& g : grid) g = unit(rng);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                const float base = grid[((y * 16 / h) * 16 + (x * 16 / w)) * 3 + c];
                image.at(x, y, c) = base * base + 0.05f * unit(rng);
            }
        }
    }
    return image;
}

// Ranks straight from the definition: count, for each sample, the counted samples below and equal
// by brightness key.
TEST(AlignBlocks, RankChannelsMatchADirectCount) {
    for (auto [w, h, seed] : {std::tuple{37, 23, 1u}, {64, 600, 2u}, {5, 1100, 3u}}) {
        const FloatImage image = randomPicture(w, h, seed);
        const RankLevel level = rankChannels(image, nullptr);
        const int step = histogramRowStep(h);
        const auto key = [&](int x, int y, int c) {
            if (c < 3) return brightnessKey(image.at(x, y, c));
            return brightnessKey(std::max({0.0f, image.at(x, y, 0), image.at(x, y, 1), image.at(x, y, 2)}));
        };
        for (int c = 0; c < kRankChannels; ++c) {
            std::vector<std::uint32_t> counted;
            for (int y = 0; y < h; y += step) {
                for (int x = 0; x < w; ++x) counted.push_back(key(x, y, c));
            }
            std::sort(counted.begin(), counted.end());
            for (int y = 0; y < h; y += 7) {
                for (int x = 0; x < w; x += 3) {
                    const std::uint32_t k = key(x, y, c);
                    const auto below = std::lower_bound(counted.begin(), counted.end(), k) - counted.begin();
                    const auto same = std::upper_bound(counted.begin(), counted.end(), k) - counted.begin() - below;
                    const std::uint64_t expected = std::min<std::uint64_t>(
                        static_cast<std::uint64_t>((2 * below + same) * 128) / counted.size(), 255);
                    ASSERT_EQ(level.channel[c].at(x, y), expected) << "channel " << c << " at " << x << "," << y;
                }
            }
        }
        // Ranking on demand gives the same rows; rows asked for again (or twice in one call) keep
        // their place, and rows never asked for have none.
        RankLevel lazy = rankChannelsOnDemand(image);
        prepareRows(lazy, {0, h / 2, h - 1});
        const std::uint8_t* middle = lazy.channel[2].row(h / 2);
        prepareRows(lazy, {h / 2, 1, 1, -1, h});
        EXPECT_EQ(lazy.channel[2].row(h / 2), middle);
        EXPECT_EQ(lazy.rowBlocks.size(), 2u);
        for (int y : {0, 1, h / 2, h - 1}) {
            for (int c = 0; c < kRankChannels; ++c) {
                ASSERT_TRUE(std::equal(level.channel[c].row(y), level.channel[c].row(y) + w, lazy.channel[c].row(y)));
            }
        }
        if (h > 4) {
            EXPECT_EQ(lazy.channel[0].row(2), nullptr);
        }
        // Through another picture's table, each sample takes that table's rank of its key.
        const std::vector<std::uint8_t> otherTable = rankTable(randomPicture(w + 3, h / 2 + 1, seed + 10));
        ASSERT_NE(otherTable, level.table);
        RankLevel borrowed = rankChannelsOnDemand(image, otherTable);
        prepareRows(borrowed, {h - 1, 0});
        for (int y : {0, h - 1}) {
            for (int x = 0; x < w; ++x) {
                for (int c = 0; c < kRankChannels; ++c) {
                    ASSERT_EQ(borrowed.channel[c].at(x, y), otherTable[c * kBrightnessKeys + key(x, y, c)])
                        << "channel " << c << " at " << x << "," << y;
                }
            }
        }
    }
    // The key is monotone, flat below 2^-20 and above 2^12, and puts negatives at 0.
    EXPECT_EQ(brightnessKey(-1.0f), 0u);
    EXPECT_EQ(brightnessKey(0.0f), 0u);
    EXPECT_EQ(brightnessKey(0x1p-21f), 0u);
    EXPECT_EQ(brightnessKey(1e9f), 65535u);
    EXPECT_LT(brightnessKey(254.0f / 256), brightnessKey(255.0f / 256));
    EXPECT_LT(brightnessKey(1.0f / 256), brightnessKey(2.0f / 256));
}

// The half level ranked straight from the whole picture equals ranking the halved picture, odd
// sizes (whose last row and column are dropped) and negative, huge and not-a-number samples too;
// the quarter level made on the way equals ranking the picture halved twice.
TEST(AlignBlocks, HalfLevelRankedOnTheFlyEqualsRankingTheHalvedPicture) {
    const std::pair<int, int> sizes[] = {{2, 2}, {3, 5}, {5, 4}, {41, 30}, {77, 1031}, {1030, 9}};
    unsigned seed = 60;
    for (const auto& [w, h] : sizes) {
        FloatImage image = randomPicture(w, h, ++seed);
        image.at(w - 1, h - 1, 0) = -1.0f;
        image.at(0, h / 2, 1) = 1e30f;
        image.at(w / 2, 0, 2) = std::numeric_limits<float>::quiet_NaN();
        const FloatImage halved = halfSizeFloat(image);
        const RankLevel direct = rankChannels(halved, nullptr);
        HalfAndQuarter fused = rankChannelsOfHalfAndQuarter(image);
        ASSERT_EQ(fused.half.width(), w / 2);
        ASSERT_EQ(fused.half.height(), h / 2);
        EXPECT_EQ(fused.half.table, direct.table) << w << " x " << h;
        std::vector<int> all(static_cast<std::size_t>(h / 2));
        std::iota(all.begin(), all.end(), 0);
        prepareRows(fused.half, all);
        for (int c = 0; c < kRankChannels; ++c) {
            for (int y = 0; y < h / 2; ++y) {
                ASSERT_TRUE(std::equal(fused.half.channel[c].row(y), fused.half.channel[c].row(y) + w / 2,
                                       direct.channel[c].row(y)))
                    << w << " x " << h << " channel " << c << " row " << y;
            }
        }
        if (w < 4 || h < 4) {
            EXPECT_TRUE(quarterSizeFloat(image).empty()) << w << " x " << h;
            EXPECT_EQ(fused.quarter.width() * fused.quarter.height(), 0) << w << " x " << h;
            continue;
        }
        const FloatImage twice = halfSizeFloat(halved);
        const FloatImage quartered = quarterSizeFloat(image);
        ASSERT_TRUE(quartered.sameSize(twice)) << w << " x " << h;
        EXPECT_EQ(std::memcmp(quartered.data(), twice.data(), twice.sampleCount() * sizeof(float)), 0) << w << " x " << h;
        const RankLevel quarter = rankChannels(twice, nullptr);
        ASSERT_EQ(fused.quarter.width(), quarter.width());
        ASSERT_EQ(fused.quarter.height(), quarter.height());
        EXPECT_EQ(fused.quarter.table, quarter.table);
        for (int c = 0; c < kRankChannels; ++c) {
            for (int y = 0; y < quarter.height(); ++y) {
                ASSERT_TRUE(std::equal(fused.quarter.channel[c].row(y), fused.quarter.channel[c].row(y) + quarter.width(),
                                       quarter.channel[c].row(y)))
                    << w << " x " << h << " quarter channel " << c << " row " << y;
            }
        }
    }
}

TEST(AlignBlocks, PyramidGradientsAndGradientCostMatchDirectVersions) {
    const RankLevel level = rankChannels(randomPicture(41, 30, 4), nullptr);
    const RankPicture mean = meanOfChannels(level);
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 41; ++x) {
            ASSERT_EQ(mean.at(x, y), (level.channel[0].at(x, y) + level.channel[1].at(x, y) + level.channel[2].at(x, y) + 1) / 3);
        }
    }
    const RankPicture half = halfSize(mean);
    ASSERT_EQ(half.width, 20);
    ASSERT_EQ(half.height, 15);
    for (int y = 0; y < 15; ++y) {
        for (int x = 0; x < 20; ++x) {
            const int sum = mean.at(2 * x, 2 * y) + mean.at(2 * x + 1, 2 * y) + mean.at(2 * x, 2 * y + 1) + mean.at(2 * x + 1, 2 * y + 1);
            ASSERT_EQ(half.at(x, y), (sum + 2) / 4);
        }
    }
    const RankPicture other = meanOfChannels(rankChannels(randomPicture(41, 30, 5), nullptr));
    const GradientPicture ga = gradients(mean);
    const GradientPicture gb = gradients(other);
    const auto grad = [](const RankPicture& p, int x, int y, int axis) {
        if (x == 0 || y == 0 || x == p.width - 1 || y == p.height - 1) return 0;
        return axis == 0 ? p.at(x + 1, y) - p.at(x - 1, y) : p.at(x, y + 1) - p.at(x, y - 1);
    };
    for (auto [dx, dy] : {std::pair{0, 0}, {3, -2}, {-7, 5}, {20, 10}, {-30, 0}}) {
        double dot = 0, ea = 0, eb = 0;
        const Overlap o = overlapOf(41, 30, dx, dy, 0.0f);
        for (int v = o.v0; v < o.v1; ++v) {
            for (int u = o.u0; u < o.u1; ++u) {
                for (int axis = 0; axis < 2; ++axis) {
                    const double a = grad(mean, u, v, axis);
                    const double b = grad(other, u + dx, v + dy, axis);
                    dot += a * b;
                    ea += a * a;
                    eb += b * b;
                }
            }
        }
        const double expected = ea > 0 && eb > 0 ? 1.0 - dot / std::sqrt(ea * eb) : 1.0;
        EXPECT_NEAR(gradientCost(ga, gb, dx, dy, 0.0f), expected, 1e-12) << dx << "," << dy;
    }
    // Shifts leaving too little overlap are not tried.
    EXPECT_TRUE(std::isinf(gradientCost(ga, gb, 30, 0, 0.5f)));
    EXPECT_TRUE(std::isinf(gradientCost(ga, gb, 41, 0, 0.0f)));
}

// Direct maps: conditional means, rounded, gaps from the nearest seen value.
std::array<std::uint8_t, 256> directMap(const RankPicture& from, const RankPicture& to, int dx, int dy, int step,
                                        bool forward) {
    std::array<double, 256> sum{}, count{};
    const Overlap o = overlapOf(from.width, from.height, dx, dy, 0.0f);
    for (int v = o.v0; v < o.v1; ++v) {
        if (v % step) continue;
        for (int u = o.u0; u < o.u1; ++u) {
            const int a = from.at(u, v), b = to.at(u + dx, v + dy);
            const int key = forward ? a : b, val = forward ? b : a;
            sum[key] += val;
            count[key] += 1;
        }
    }
    std::array<std::uint8_t, 256> map{};
    for (int k = 0; k < 256; ++k) {
        int best = -1;
        for (int d = 0; d < 256 && best < 0; ++d) {
            const bool lo = k - d >= 0 && count[k - d] > 0;
            const bool hi = k + d < 256 && count[k + d] > 0;
            if (lo && hi && d > 0) {
                const int ml = static_cast<int>(std::floor(sum[k - d] / count[k - d] + 0.5));
                const int mh = static_cast<int>(std::floor(sum[k + d] / count[k + d] + 0.5));
                best = (ml + mh + 1) / 2;
            } else if (lo) {
                best = static_cast<int>(std::floor(sum[k - d] / count[k - d] + 0.5));
            } else if (hi) {
                best = static_cast<int>(std::floor(sum[k + d] / count[k + d] + 0.5));
            }
        }
        map[k] = static_cast<std::uint8_t>(best < 0 ? k : best);
    }
    return map;
}

double directTileCost(const RankLevel& a, const RankLevel& b, const LevelMaps& maps, int u0, int v0, int tile, int dx,
                      int dy, bool everyOtherRow) {
    double sum = 0;
    for (int c = 0; c < kRankChannels; ++c) {
        for (int v = v0; v < v0 + tile; v += everyOtherRow ? 2 : 1) {
            for (int u = u0; u < u0 + tile; ++u) {
                const int av = a.channel[c].at(u, v), bv = b.channel[c].at(u + dx, v + dy);
                sum += std::abs(maps.channel[c].aToB[av] - bv) + std::abs(av - maps.channel[c].bToA[bv]);
            }
        }
    }
    return sum;
}

// Mapping a row through a table, however long the row and wherever it starts, equals looking up
// each value (the vector path does thirty-two at a time, the rest one by one).
TEST(AlignBlocks, MappingARowEqualsLookingUpEachValue) {
    std::mt19937 rng(12);
    std::array<std::uint8_t, 256> map{};
    std::vector<std::uint8_t> in(301), out(301);
    for (int round = 0; round < 20; ++round) {
        for (auto& m : map) m = static_cast<std::uint8_t>(rng());
        for (auto& v : in) v = static_cast<std::uint8_t>(rng());
        in[0] = 0;
        in[1] = 255;
        for (int start : {0, 1, 7}) {
            for (int n : {0, 1, 31, 32, 33, 64, 250, 300 - start}) {
                std::fill(out.begin(), out.end(), std::uint8_t{0xA5});
                mapRow(in.data() + start, map, out.data() + start, n);
                for (int i = 0; i < 301; ++i) {
                    const bool inside = i >= start && i < start + n;
                    ASSERT_EQ(out[static_cast<std::size_t>(i)], inside ? map[in[static_cast<std::size_t>(i)]] : 0xA5)
                        << "start " << start << " length " << n << " at " << i;
                }
            }
        }
    }
}

// The maps' sums stay exact when one worker counts more pixels of one value than its packed
// counters hold (tens of millions on the finest level of a large picture).
TEST(AlignBlocks, MapsStayExactOverManyPixelsOfOneValue) {
    tbb::global_control oneWorker(tbb::global_control::max_allowed_parallelism, 1);
    const int w = 6000, h = 6000;  // 36 million pixels, more than twice 2^24
    RankPicture a(w, h), b(w, h);
    std::fill(a.pixels.get(), a.pixels.get() + static_cast<std::size_t>(w) * h, std::uint8_t{7});
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) b.row(y)[x] = static_cast<std::uint8_t>(x % 2 ? 200 : 100 + (x % 4) / 2);
    }
    const BrightnessMaps maps = fitMaps(a, b, 0, 0, 1);
    EXPECT_EQ(maps.aToB[7], 150);  // the mean of 100, 200, 101, 200 is 150.25
    EXPECT_EQ(maps.bToA[200], 7);
    EXPECT_EQ(maps.bToA[100], 7);
}

TEST(AlignBlocks, MapsCostsAndTheResidualMatchDirectVersions) {
    const FloatImage pa = randomPicture(96, 80, 6);
    FloatImage pb = randomPicture(96, 80, 6);
    for (std::size_t i = 0; i < pb.sampleCount(); ++i) pb.data()[i] = std::sqrt(pb.data()[i]) * 0.7f;  // another exposure
    const RankLevel a = rankChannels(pa, nullptr);
    const RankLevel b = rankChannels(pb, nullptr);

    for (auto [dx, dy, step] : {std::tuple{0, 0, 1}, {4, -3, 2}, {-10, 7, 3}, {2, -1, 6}}) {
        const LevelMaps maps = fitLevelMaps(a, b, dx, dy, step);
        for (int c = 0; c < kRankChannels; ++c) {
            EXPECT_EQ(maps.channel[c].aToB, directMap(a.channel[c], b.channel[c], dx, dy, step, true));
            EXPECT_EQ(maps.channel[c].bToA, directMap(a.channel[c], b.channel[c], dx, dy, step, false));
        }
        // Window costs: mean of the two mapped differences over the rows used and the channels.
        const std::vector<double> costs = mappedCosts(a, b, maps, dx, dy, 2, 0.2f, step);
        for (int j = 0; j < 5; ++j) {
            for (int i = 0; i < 5; ++i) {
                const int sx = dx - 2 + i, sy = dy - 2 + j;
                const Overlap o = overlapOf(96, 80, sx, sy, 0.2f);
                double sum = 0, pixels = 0;
                for (int v = o.v0; v < o.v1; ++v) {
                    if (v % step) continue;
                    for (int u = o.u0; u < o.u1; ++u) {
                        for (int c = 0; c < kRankChannels; ++c) {
                            const int av = a.channel[c].at(u, v), bv = b.channel[c].at(u + sx, v + sy);
                            sum += std::abs(maps.channel[c].aToB[av] - bv) + std::abs(av - maps.channel[c].bToA[bv]);
                        }
                        pixels += 1;
                    }
                }
                EXPECT_NEAR(costs[static_cast<std::size_t>(j) * 5 + i], sum / (2.0 * kRankChannels * pixels), 1e-9);
            }
        }
    }

    // The residual, whole and fractional shifts (a full-resolution shift seen one level up).
    const int tile = 16, radius = 2, side = 2 * radius + 2;
    for (double sx : {3.0, -2.5}) {
        const double sy = 1.5;
        const int fx = static_cast<int>(std::floor(sx)), fy = static_cast<int>(std::floor(sy));
        const LevelMaps maps = fitLevelMaps(a, b, fx, fy, 1);
        double weighted = 0, weights = 0;
        for (int v0 = 0; v0 + tile <= 80; v0 += tile) {
            for (int u0 = 0; u0 + tile <= 96; u0 += tile) {
                if (u0 + fx - radius < 0 || v0 + fy - radius < 0 || u0 + tile + fx + 1 + radius > 96 ||
                    v0 + tile + fy + 1 + radius > 80) {
                    continue;
                }
                std::vector<double> cost;
                for (int j = 0; j < side; ++j) {
                    for (int i = 0; i < side; ++i) {
                        cost.push_back(directTileCost(a, b, maps, u0, v0, tile, fx - radius + i, fy - radius + j, true));
                    }
                }
                const double least = *std::min_element(cost.begin(), cost.end());
                double mean = 0;
                for (double c : cost) mean += c;
                mean /= static_cast<double>(cost.size());
                double chosen = std::numeric_limits<double>::infinity();
                for (int j = 0; j <= (sy == fy ? 0 : 1); ++j) {
                    for (int i = 0; i <= (sx == fx ? 0 : 1); ++i) chosen = std::min(chosen, cost[(radius + j) * side + radius + i]);
                }
                if (mean - least <= 0) continue;
                weighted += (mean - least) * std::clamp((chosen - least) / (mean - least), 0.0, 1.0);
                weights += mean - least;
            }
        }
        ASSERT_GT(weights, 0.0);
        EXPECT_NEAR(tileResidual(a, b, maps, sx, sy, tile, radius), weighted / weights, 1e-6) << sx;
    }
}

}  // namespace
}  // namespace sv
