// Local contrast: the operator against its direct version and the exact bilateral filter, the
// preview rectangle against the whole picture, the render with the operator off, and what a
// photographer sees: no halos at strong edges, texture kept in both a dark room and its window.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "support/test_support.h"
#include "tone/high_range_scene.h"
#include "tone/local_contrast.h"
#include "tone/local_contrast_reference.h"
#include "tone/render.h"
#include "tone/tone_reference.h"

namespace sv {
namespace {

bool sameBits(const FloatImage& a, const FloatImage& b) {
    return a.sampleCount() == b.sampleCount() && std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)) == 0;
}

// A stack with smooth light, texture and a few strong edges, from deep shadow to above stackMax.
FloatImage textured(int width, int height, unsigned seed, float stackMax) {
    FloatImage stack(width, height);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-0.4f, 0.4f);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool lit = (x * 3 + y * 2) % 97 < 40;
            const float light = (lit ? 0.0f : -5.0f) - 0.03f * static_cast<float>(x) + noise(rng);
            const float v = stackMax * std::exp(light);
            stack.at(x, y, 0) = v;
            stack.at(x, y, 1) = v * (0.7f + 0.3f * std::sin(static_cast<float>(y) * 0.3f));
            stack.at(x, y, 2) = v * 0.5f;
        }
    }
    stack.at(width / 2, height / 2, 0) = stackMax * 1.5f;  // above stackMax
    stack.at(1, 1, 1) = 0.0f;
    return stack;
}

LocalContrastParams on(int compression, int detail, int radius) {
    LocalContrastParams p;
    p.enabled = true;
    p.compressionPosition = compression;
    p.detailPosition = detail;
    p.radiusPosition = radius;
    return p;
}

FloatImage mappedByOperator(const FloatImage& stack, float stackMax, const LocalContrastParams& p, int gamma,
                            int saturation) {
    NullProgress progress;
    const LocalContrastMapping mapping(buildLocalContrastModel(stack, stackMax, p.radiusPosition, progress), p, gamma,
                                       saturation);
    FloatImage out(stack.width(), stack.height());
    localContrastRegion(stack, mapping, stack.bounds(), out, progress);
    return out;
}

TEST(LocalContrast, LogAndExpStayWithinTheirStatedError) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> exponent(-17.0, 9.0), argument(-85.0, 85.0);
    for (int i = 0; i < 200000; ++i) {
        const float x = static_cast<float>(std::exp2(exponent(rng)));
        EXPECT_NEAR(detail::localLog(x), std::log(static_cast<double>(x)), 3e-7 * std::max(1.0, std::fabs(std::log(static_cast<double>(x)))));
        const float y = static_cast<float>(argument(rng));
        const double exact = std::exp(std::clamp(static_cast<double>(y), -80.0, 80.0));
        EXPECT_NEAR(detail::localExp(y) / exact, 1.0, 3e-7) << y;
    }
    EXPECT_EQ(detail::localExp(std::nanf("")), detail::localExp(-80.0f));
    EXPECT_EQ(detail::localExp(std::numeric_limits<float>::infinity()), detail::localExp(80.0f));
}

TEST(LocalContrast, GridBaseMatchesItsDirectFormAndTheWholeOperatorToo) {
    // Small pictures with a direct 125-tap blur; radii from the smallest to the largest, odd sizes,
    // cells of one pixel to 25 (from 8 on, the render blends grid rows per span and the splat takes
    // one pixel in 4, from 16 on one in 9).
    struct Case {
        int width, height, radius, compression, detail, gamma, saturation;
    };
    const Case cases[] = {{37, 23, 100, 45, 100, 100, 0}, {64, 48, 60, 80, 200, 220, 100},
                          {50, 9, 20, 0, 100, 100, 0},    {29, 31, 100, 100, 0, 400, 300},
                          {40, 30, 35, 30, 150, 150, -99}, {120, 90, 100, 50, 100, 180, 40},
                          {200, 150, 100, 60, 120, 100, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " radius " << c.radius);
        const float stackMax = 1.7f;
        const FloatImage stack = textured(c.width, c.height, c.width * 7 + c.radius, stackMax);
        NullProgress progress;
        const auto model = buildLocalContrastModel(stack, stackMax, c.radius, progress);
        const reference::LocalModel direct = reference::buildLocalModel(stack, stackMax, c.radius);
        ASSERT_EQ(model->gridWidth(), direct.gw);
        ASSERT_EQ(model->gridHeight(), direct.gh);
        EXPECT_NEAR(model->brightestBase(), direct.brightest, 1e-5);
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const float* S = stack.row(y) + 3 * static_cast<std::size_t>(x);
                const double l = reference::logBrightness(S, stackMax);
                ASSERT_NEAR(model->logBrightness(S), l, 4e-6);
                ASSERT_NEAR(model->base(x, y, model->logBrightness(S)), direct.base(x, y, l), 2e-5) << x << "," << y;
            }
        }
        const LocalContrastParams p = on(c.compression, c.detail, c.radius);
        const FloatImage produced = mappedByOperator(stack, stackMax, p, c.gamma, c.saturation);
        FloatImage expected(c.width, c.height);
        reference::localContrast(stack, stackMax, p, c.gamma, c.saturation, expected);
        for (std::size_t i = 0; i < produced.sampleCount(); ++i) {
            ASSERT_NEAR(produced.data()[i], expected.data()[i], 2e-4 * std::fabs(expected.data()[i]) + 1e-12) << i;
        }
    }
}

TEST(LocalContrast, GridFollowsTheExactBilateralFilterAndKeepsEdges) {
    // A strong edge (e^3) through textured light: the grid's base stays near the exact bilateral
    // filter of the same reach everywhere, while a blur that ignored the edge would be off by about 1.5.
    const int width = 48, height = 36;
    FloatImage stack(width, height);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> noise(-0.15f, 0.15f);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float l = (x + y / 3 < 26 ? -3.5f : -0.5f) + 0.02f * static_cast<float>(y) + noise(rng);
            for (int c = 0; c < 3; ++c) stack.at(x, y, c) = std::exp(l);
        }
    }
    NullProgress progress;
    const int radius = 60;  // 3.6 pixels a cell
    const auto model = buildLocalContrastModel(stack, 1.0f, radius, progress);
    // Splat, blur and slice add up to a reach of about 1.1 cells in space and in level.
    const std::vector<double> exact = reference::bilateral(stack, 1.0f, 1.1 * model->cellSize(), 1.1 * kLocalRangeSigma);
    double total = 0.0, worst = 0.0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float l = model->logBrightness(stack.row(y) + 3 * static_cast<std::size_t>(x));
            const double difference = std::fabs(model->base(x, y, l) - exact[static_cast<std::size_t>(y) * width + x]);
            total += difference;
            worst = std::max(worst, difference);
        }
    }
    EXPECT_LT(total / (width * height), 0.03);
    EXPECT_LT(worst, 0.15);
}

// Every pixel of `part` equals `whole` inside the region and -1 outside.
void expectRegionOf(const FloatImage& part, const FloatImage& whole, const Region& r) {
    for (int y = 0; y < whole.height(); ++y) {
        for (int x = 0; x < whole.width(); ++x) {
            const bool inside = x >= r.x && x < r.right() && y >= r.y && y < r.bottom();
            for (int c = 0; c < 3; ++c) {
                const float expected = inside ? whole.at(x, y, c) : -1.0f, got = part.at(x, y, c);
                ASSERT_EQ(std::memcmp(&got, &expected, sizeof(float)), 0)
                    << "region " << r.x << "," << r.width << "," << r.y << "," << r.height << " pixel " << x << "," << y;
            }
        }
    }
}

TEST(LocalContrast, APixelNoSplattedPixelComesNearIsItsOwnBase) {
    // Cells of 40 pixels splat one pixel in 16 (rows and columns 2, 6, 10, ...). A speck 100 x
    // brighter than its dark surround at (1, 1) is not splatted and no splatted pixel shares its
    // level: it is its own base, so the operator keeps its contrast as the base's (compressed) and
    // nothing divides by zero.
    FloatImage stack(320, 240);
    stack.fill(0.01f);
    for (int c = 0; c < 3; ++c) stack.at(1, 1, c) = 1.0f;
    NullProgress progress;
    const auto model = buildLocalContrastModel(stack, 1.0f, 100, progress);
    ASSERT_GE(model->cellSize(), 32.0f);
    const float l = model->logBrightness(stack.row(1) + 3);
    EXPECT_EQ(model->base(1, 1, l), l);
    EXPECT_NEAR(model->base(5, 5, model->logBrightness(stack.row(5) + 15)), std::log(0.01 + std::ldexp(1.0, -17)), 1e-5);
    const FloatImage mapped = mappedByOperator(stack, 1.0f, on(50, 100, 100), 100, 0);
    EXPECT_TRUE(std::isfinite(mapped.at(1, 1, 0)));
    EXPECT_GT(mapped.at(1, 1, 0), mapped.at(5, 5, 0));
}

TEST(LocalContrast, PreviewRectangleGetsExactlyTheWholePicturesPixels) {
    const int width = 203, height = 141;
    const float stackMax = 2.3f;
    const FloatImage stack = textured(width, height, 11, stackMax);
    std::mt19937 rng(17);
    std::vector<Region> regions = {{0, 1, 0, 1}, {width - 1, 1, height - 1, 1}, {0, width, 70, 1}, {150, 53, 0, height}};
    for (int i = 0; i < 8; ++i) {
        const int x = static_cast<int>(rng() % width), y = static_cast<int>(rng() % height);
        regions.push_back({x, 1 + static_cast<int>(rng() % (width - x)), y, 1 + static_cast<int>(rng() % (height - y))});
    }
    NullProgress progress;
    for (const int radius : {15, 60}) {  // cells of 3.7 and 15 pixels
        SCOPED_TRACE(testing::Message() << "radius " << radius);
        RenderParams params;
        params.gammaPosition = 180;
        params.saturationPosition = 40;
        params.localContrast = on(60, 140, radius);
        const auto model = buildLocalContrastModel(stack, stackMax, radius, progress);
        FloatImage whole(width, height);
        RenderHistogram wholeHistogram, histogram;
        renderRegion(stack, stackMax, stack.bounds(), params, model, whole, wholeHistogram, progress);
        for (const Region& r : regions) {
            for (const int level : {1, 2}) {
                SCOPED_TRACE(testing::Message() << "SIMD level " << level);
                detail::limitToneSimd(level);
                FloatImage part(width, height);
                part.fill(-1.0f);
                renderRegion(stack, stackMax, r, params, model, part, histogram, progress);
                expectRegionOf(part, whole, r);
            }
        }
        detail::limitToneSimd(2);

        // Without a kept model the render builds the same one itself; so does one thread; a model
        // of another radius is not used, the render's own radius decides.
        FloatImage selfBuilt(width, height), single(width, height), otherRadius(width, height);
        renderRegion(stack, stackMax, stack.bounds(), params, nullptr, selfBuilt, histogram, progress);
        EXPECT_TRUE(sameBits(selfBuilt, whole));
        EXPECT_EQ(histogram.histogram, wholeHistogram.histogram);
        {
            tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
            renderRegion(stack, stackMax, stack.bounds(), params, single, histogram, progress);
        }
        EXPECT_TRUE(sameBits(single, whole));
        const auto other = buildLocalContrastModel(stack, stackMax, 40, progress);
        EXPECT_FALSE(other->builtFor(stack, stackMax, radius));
        renderRegion(stack, stackMax, stack.bounds(), params, other, otherRadius, histogram, progress);
        EXPECT_TRUE(sameBits(otherRadius, whole));
    }
}

TEST(LocalContrast, RenderWithTheOperatorIsTheGlobalRenderOfItsOutput) {
    const int width = 70, height = 40;
    const float stackMax = 1.9f;
    const FloatImage stack = textured(width, height, 23, stackMax);
    for (const int saturation : {0, 150, -60}) {
        RenderParams params;
        params.gammaPosition = 250;
        params.saturationPosition = saturation;
        params.whitePosition = 230;
        params.blackPosition = 8;
        params.localContrast = on(70, 120, 25);
        FloatImage produced(width, height);
        RenderHistogram result;
        NullProgress progress;
        renderRegion(stack, stackMax, stack.bounds(), params, produced, result, progress);

        const FloatImage mapped = mappedByOperator(stack, stackMax, params.localContrast, params.gammaPosition, saturation);
        FloatImage expected(width, height);
        const reference::ReferenceResult global = reference::referenceRender(mapped, stackMax, stack.bounds(), params, expected);
        EXPECT_TRUE(sameBits(produced, expected)) << saturation;
        EXPECT_EQ(result.histogram, global.histogram);
        EXPECT_EQ(result.histogramPeak, global.peak);
    }
}

TEST(LocalContrast, SwitchedOffTheRenderIsTheGlobalOneBitForBit) {
    const int width = 45, height = 33;
    const float stackMax = 1.3f;
    const FloatImage stack = textured(width, height, 29, stackMax);
    NullProgress progress;
    const auto model = buildLocalContrastModel(stack, stackMax, 20, progress);
    RenderParams params;
    params.gammaPosition = 160;
    params.saturationPosition = 70;
    params.localContrast = on(90, 200, 20);
    params.localContrast.enabled = false;  // every other setting far from its default
    FloatImage produced(width, height), withModel(width, height), expected(width, height);
    RenderHistogram result;
    renderRegion(stack, stackMax, stack.bounds(), params, produced, result, progress);
    renderRegion(stack, stackMax, stack.bounds(), params, model, withModel, result, progress);
    const reference::ReferenceResult global = reference::referenceRender(stack, stackMax, stack.bounds(), params, expected);
    EXPECT_TRUE(sameBits(produced, expected));
    EXPECT_TRUE(sameBits(withModel, expected));
    EXPECT_EQ(result.histogram, global.histogram);
}

TEST(LocalContrast, NoCompressionAndFullDetailLeaveThePictureAsItWas) {
    // At gamma 1 and no saturation nothing is asked of the operator: within a rounding of the ratio.
    const FloatImage stack = textured(60, 40, 31, 1.0f);
    const FloatImage mapped = mappedByOperator(stack, 1.0f, on(0, 100, 20), 100, 0);
    for (std::size_t i = 0; i < stack.sampleCount(); ++i) {
        EXPECT_NEAR(mapped.data()[i], stack.data()[i], 1e-6f * stack.data()[i] + 1e-30f) << i;
    }
}

// 8-bit levels of the render's output, as the display takes them.
int level8(const FloatImage& picture, int x, int y) {
    return static_cast<int>((picture.at(x, y, 0) + picture.at(x, y, 1) + picture.at(x, y, 2)) / 3.0f * 255.0f);
}

// A bright disc on a surround 1000 x darker; `smooth` gives its rim partial pixels, as a lens does.
FloatImage discStack(int width, int height, float stackMax, bool smooth, std::vector<float>& coverage) {
    const float cx = 197.3f, cy = 151.6f, radius = 61.0f;
    FloatImage stack(width, height);
    coverage.assign(static_cast<std::size_t>(width) * height, 0.0f);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int inside = 0;
            for (int s = 0; s < 16; ++s) {
                const float dx = x + (s % 4 + 0.5f) / 4 - cx, dy = y + (s / 4 + 0.5f) / 4 - cy;
                inside += dx * dx + dy * dy < radius * radius;
            }
            const float a = smooth ? inside / 16.0f : (inside >= 8 ? 1.0f : 0.0f);
            coverage[static_cast<std::size_t>(y) * width + x] = a;
            for (int c = 0; c < 3; ++c) stack.at(x, y, c) = stackMax * (a + (1.0f - a) * 0.001f);
        }
    }
    return stack;
}

TEST(LocalContrast, NoHalosAcrossAnEdgeAThousandTimesBrighter) {
    // The global render gives each side one flat level. With local contrast each side is lifted or
    // kept as a whole: no pixel strays more than 2 levels (of 255) from its side's level, and no rim
    // pixel goes beyond the two. Sharp edges at every setting; soft edges up to a strong compression
    // (their rim pixels, between the two levels, are where a base/detail split can overshoot).
    const int width = 480, height = 320;
    const float stackMax = 2.0f;
    struct Setting {
        int gamma;
        LocalContrastParams local;
    };
    std::vector<Setting> sharp, smooth;
    for (const int radius : {5, 20, 100}) {
        for (const int detail : {0, 100, 200}) {
            sharp.push_back({100, on(100, detail, radius)});
            sharp.push_back({220, on(100, detail, radius)});
            smooth.push_back({100, on(50, std::max(detail, radius > 5 ? 0 : 100), radius)});
            smooth.push_back({100, on(100, std::max(detail, 100), radius)});
        }
        smooth.push_back({220, on(50, 150, radius)});
        smooth.push_back({220, on(80, 100, radius)});
    }
    for (const bool soft : {false, true}) {
        std::vector<float> coverage;
        const FloatImage stack = discStack(width, height, stackMax, soft, coverage);
        for (const Setting& setting : soft ? smooth : sharp) {
            const LocalContrastParams& local = setting.local;
            SCOPED_TRACE(testing::Message() << (soft ? "soft" : "sharp") << " edge, gamma " << setting.gamma
                                            << " compression " << local.compressionPosition << " detail "
                                            << local.detailPosition << " radius " << local.radiusPosition);
            RenderParams params;
            params.gammaPosition = setting.gamma;
            FloatImage global(width, height), withLocal(width, height);
            RenderHistogram histogram;
            NullProgress progress;
            renderRegion(stack, stackMax, stack.bounds(), params, global, histogram, progress);
            params.localContrast = local;
            renderRegion(stack, stackMax, stack.bounds(), params, withLocal, histogram, progress);
            const int darkGlobal = level8(global, 0, 0), brightGlobal = level8(global, 197, 151);
            const int dark = level8(withLocal, 0, 0), bright = level8(withLocal, 197, 151);
            EXPECT_GE(dark, darkGlobal) << "the surround is lifted, never darkened";
            EXPECT_LE(std::abs(bright - brightGlobal), 2) << "the bright side keeps its level";
            int worstOvershoot = 0, worstGlobal = 0;
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    const float a = coverage[static_cast<std::size_t>(y) * width + x];
                    auto overshoot = [&](int value, int low, int high) {
                        if (a == 0.0f) return std::abs(value - low);
                        if (a == 1.0f) return std::abs(value - high);
                        return std::max({0, low - value, value - high});
                    };
                    worstOvershoot = std::max(worstOvershoot, overshoot(level8(withLocal, x, y), dark, bright));
                    worstGlobal = std::max(worstGlobal, overshoot(level8(global, x, y), darkGlobal, brightGlobal));
                }
            }
            EXPECT_EQ(worstGlobal, 0);
            EXPECT_LE(worstOvershoot - worstGlobal, 2);
        }
    }
}

// Mean standard deviation of the 8-bit brightness in the 8 x 8 blocks that lie wholly in one part
// of the scene, at least 4 pixels from any other part.
double texture(const FloatImage& picture, const test::RadianceMap& scene, test::ScenePart part) {
    double total = 0.0;
    int blocks = 0;
    for (int by = 4; by + 12 <= scene.height; by += 8) {
        for (int bx = 4; bx + 12 <= scene.width; bx += 8) {
            bool whole = true;
            for (int y = by - 4; y < by + 12 && whole; ++y) {
                for (int x = bx - 4; x < bx + 12 && whole; ++x) whole = scene.partAt(x, y) == part;
            }
            if (!whole) continue;
            double sum = 0.0, squares = 0.0;
            for (int y = by; y < by + 8; ++y) {
                for (int x = bx; x < bx + 8; ++x) {
                    const double v = (picture.at(x, y, 0) + picture.at(x, y, 1) + picture.at(x, y, 2)) / 3.0 * 255.0;
                    sum += v;
                    squares += v * v;
                }
            }
            total += std::sqrt(std::max(0.0, squares / 64.0 - (sum / 64.0) * (sum / 64.0)));
            ++blocks;
        }
    }
    EXPECT_GT(blocks, 10);
    return total / blocks;
}

TEST(LocalContrast, KeepsTheTextureOfADarkRoomAndOfItsBrightWindow) {
    // The room and the view 2500 x brighter, bracketed at -3, 0, +3 EV as 8-bit sRGB pictures and
    // opened as files. Both sides use the same render with the default white and black points and
    // the straight curve; local contrast at its defaults.
    test::TempDir dir;
    Project project;
    const test::RadianceMap scene = test::roomWithWindow(480, 320);
    ASSERT_TRUE(test::openBracket(project, scene, {-3.0, 0.0, 3.0}, dir.path().string()));
    // Texture with local contrast over texture without, per part of the scene, at one render setting.
    struct Ratios {
        double window, wall, floor;
    };
    auto ratios = [&](int gamma, int saturation) {
        FloatImage out[2];
        for (const bool local : {false, true}) {
            RenderParams params;
            params.gammaPosition = gamma;
            params.saturationPosition = saturation;
            params.localContrast.enabled = local;
            out[local] = FloatImage(scene.width, scene.height);
            RenderHistogram histogram;
            NullProgress progress;
            renderRegion(project.stackBuffer, project.stackMax, project.stackBuffer.bounds(), params, out[local],
                         histogram, progress);
        }
        auto ratio = [&](test::ScenePart part) { return texture(out[1], scene, part) / texture(out[0], scene, part); };
        const Ratios r{ratio(test::ScenePart::Sky), ratio(test::ScenePart::Wall), ratio(test::ScenePart::Floor)};
        const std::string setting = "_gamma" + std::to_string(gamma) + "_sat" + std::to_string(saturation);
        RecordProperty("window_texture_ratio" + setting, std::to_string(r.window));
        RecordProperty("room_texture_ratio" + setting, std::to_string(r.wall));
        return r;
    };
    // Gamma 2.2 and saturation 100: what the global render needs for the room to show at all; it
    // flattens the window's texture, which the operator hands back.
    const Ratios compressed = ratios(220, 100);
    EXPECT_GE(compressed.window, 3.0);
    EXPECT_GE(compressed.wall, 0.8);
    EXPECT_GE(compressed.floor, 0.8);
    // The defaults (gamma 1, no saturation): the window keeps its texture, the room gains.
    const Ratios defaults = ratios(100, 0);
    EXPECT_GE(defaults.window, 0.9);
    EXPECT_GE(defaults.wall, 1.5);
}

TEST(LocalContrast, DamagedAndDegenerateStacksGiveDefinedResults) {
    NullProgress progress;
    // Infinities, not-a-numbers and negative samples, in a picture one pixel high.
    FloatImage odd = test::randomImage(31, 1, 3, 0.0f, 1.0f);
    const float damaged[] = {std::numeric_limits<float>::infinity(), std::nanf(""), -0.5f, 1e30f, 0.0f, 1e-40f};
    for (std::size_t i = 0; i < odd.sampleCount(); i += 2) odd.data()[i] = damaged[(i / 2) % 6];
    for (const FloatImage* stack : {&odd}) {
        RenderParams params;
        params.localContrast = on(100, 200, 5);
        params.gammaPosition = 400;
        params.saturationPosition = 300;
        FloatImage out(stack->width(), stack->height());
        RenderHistogram histogram;
        renderRegion(*stack, 1.0f, stack->bounds(), params, out, histogram, progress);
        for (std::size_t i = 0; i < out.sampleCount(); ++i) ASSERT_TRUE(out.data()[i] >= 0.0f && out.data()[i] <= 1.0f);
    }
    // All black, and a single pixel: black stays black.
    for (const int side : {1, 5}) {
        FloatImage black(side, side), out(side, side);
        out.fill(0.5f);
        RenderParams params;
        params.localContrast = on(45, 100, 20);
        RenderHistogram histogram;
        renderRegion(black, 1.0f, black.bounds(), params, out, histogram, progress);
        for (std::size_t i = 0; i < out.sampleCount(); ++i) EXPECT_EQ(out.data()[i], 0.0f);
    }
}

TEST(LocalContrast, PositionsAreHeldWithinTheirRanges) {
    for (const PositionRange r : {kLocalCompressionRange, kLocalDetailRange, kLocalRadiusRange}) {
        EXPECT_TRUE(r.contains(r.defaultPosition));
    }
    LocalContrastParams p = on(-5, 900, 1);
    p = clampedLocalContrast(p);
    EXPECT_EQ(p.compressionPosition, 0);
    EXPECT_EQ(p.detailPosition, 200);
    EXPECT_EQ(p.radiusPosition, 5);
    // A radius beyond the range is built as the nearest end, and the mapping reads the held values.
    const FloatImage stack = textured(20, 10, 1, 1.0f);
    NullProgress progress;
    const auto model = buildLocalContrastModel(stack, 1.0f, 500, progress);
    EXPECT_EQ(model->radiusPosition(), 100);
    EXPECT_TRUE(model->builtFor(stack, 1.0f, 100));
    const LocalContrastMapping mapping(model, on(150, -3, 100), 100, 0);
    EXPECT_EQ(mapping.compression(), static_cast<float>(100 * 0.009));
    EXPECT_EQ(mapping.detail(), 0.0f);
}

}  // namespace
}  // namespace sv
