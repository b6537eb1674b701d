// Exposure fusion against the direct version kept in fusion_reference.h, the preview rectangle
// against the whole picture, and the white/black points on a fused picture against the render.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "support/test_support.h"
#include "tone/exposure_fusion.h"
#include "tone/fused_levels.h"
#include "tone/fusion_pyramid.h"
#include "tone/fusion_reference.h"
#include "tone/render.h"

namespace sv {
namespace {

using reference::FusionPlane;
using reference::ReferenceExposure;
using reference::referenceFusion;

// Exposures held in memory; counts its readings and can be told to fail one.
class MemorySource final : public FusionSource {
public:
    struct Item {
        FloatImage pixels;
        int shiftX = 0, shiftY = 0;
        float multiplier = 1.0f;
        std::vector<float> mask;
    };
    MemorySource(int width, int height) : width_(width), height_(height) {}
    Item& add(FloatImage pixels) {
        items.push_back(Item{std::move(pixels), 0, 0, 1.0f, {}});
        return items.back();
    }
    int exposureCount() const override { return static_cast<int>(items.size()); }
    int pictureWidth() const override { return width_; }
    int pictureHeight() const override { return height_; }
    bool loadExposure(int index, FusionExposure& e) override {
        if (++loads == failOnLoad) return false;
        const Item& item = items[static_cast<std::size_t>(index)];
        e.pixels = item.pixels.clone();
        e.shiftX = item.shiftX;
        e.shiftY = item.shiftY;
        e.multiplier = item.multiplier;
        e.weightMask = item.mask;
        return true;
    }
    std::vector<ReferenceExposure> asReference() const {
        std::vector<ReferenceExposure> r;
        for (const Item& i : items) r.push_back({&i.pixels, i.shiftX, i.shiftY, i.multiplier, i.mask.empty() ? nullptr : &i.mask});
        return r;
    }
    std::vector<Item> items;
    int loads = 0;
    int failOnLoad = 0;  // 1-based reading that fails; 0: none

private:
    int width_, height_;
};

// A bracket as a camera makes it: one scene, scaled by 4^k and held to 0..0.996 (8-bit scale),
// plus a little noise of its own per exposure.
MemorySource bracket(int width, int height, int exposures, unsigned seed) {
    MemorySource source(width, height);
    const FloatImage scene = test::randomImage(width, height, seed, 0.0f, 0.6f);
    std::mt19937 rng(seed + 1);
    std::uniform_real_distribution<float> noise(-0.02f, 0.02f);
    for (int k = 0; k < exposures; ++k) {
        FloatImage e(width, height);
        const float gain = std::pow(4.0f, static_cast<float>(k) - 1.0f);
        for (std::size_t i = 0; i < e.sampleCount(); ++i) {
            e.data()[i] = std::clamp(scene.data()[i] * gain + noise(rng), 0.0f, 255.0f / 256.0f);
        }
        source.add(std::move(e));
    }
    return source;
}

float largestDifference(const FloatImage& produced, const FusionPlane& expected) {
    float worst = 0.0f;
    for (int y = 0; y < expected.h; ++y)
        for (int x = 0; x < expected.w; ++x)
            for (int c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(produced.at(x, y, c) - expected.at(x, y, c)));
    return worst;
}

FloatImage fused(MemorySource& source, const FusionParams& params) {
    FloatImage out(source.pictureWidth(), source.pictureHeight());
    NullProgress progress;
    const FusionOutcome outcome = fusePicture(source, params, out, progress);
    EXPECT_TRUE(outcome.ok()) << static_cast<int>(outcome.status);
    return out;
}

std::string sizeText(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

TEST(ExposureFusion, LevelCountAndPyramidSizes) {
    EXPECT_EQ(fusionLevels(1, 1), 1);
    EXPECT_EQ(fusionLevels(1, 1000), 1);
    EXPECT_EQ(fusionLevels(2, 3), 2);
    EXPECT_EQ(fusionLevels(7, 8), 3);
    EXPECT_EQ(fusionLevels(8, 8), 4);
    EXPECT_EQ(fusionLevels(6000, 4000), 12);
    // No level but the coarsest may be one pixel thin: expanding into a single pixel has no
    // mirrored neighbour to take the inserted zeros' place.
    for (int m = 2; m < 300; ++m) {
        int size = m;
        for (int l = 0; l + 1 < fusionLevels(m, m); ++l) {
            EXPECT_GE(size, 2) << m;
            size = fusion::coarserSize(size);
        }
        EXPECT_GE(size, 1);
    }
}

TEST(ExposureFusion, PyramidStepsMatchTheDirectFilters) {
    // Reduce and expand on their own, on odd and even sizes down to 2, against the 2-D forms.
    std::mt19937 rng(3);
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{2, 2}, {3, 2}, {5, 7}, {8, 6}, {13, 4}}) {
        for (const int channels : {1, 3}) {
            FusionPlane g(w, h, channels);
            fusion::Plane p(w, h, channels);
            for (int y = 0; y < h; ++y)
                for (std::size_t i = 0; i < p.rowSamples(); ++i) p.row(y)[i] = g.v[y * p.rowSamples() + i] = static_cast<float>(rng() % 1000) / 999.0f;
            const FusionPlane reduced = reference::fusionReduce(g);
            fusion::Plane r(fusion::coarserSize(w), fusion::coarserSize(h), channels);
            fusion::reduceLevel(p, r);
            const FusionPlane expanded = reference::fusionExpand(reduced, w, h);
            std::vector<float> scratch(r.rowSamples() + fusion::kRowPadding), row(p.rowSamples() + fusion::kRowPadding);
            for (int y = 0; y < r.height(); ++y)
                for (std::size_t i = 0; i < r.rowSamples(); ++i) EXPECT_NEAR(r.row(y)[i], reduced.v[y * r.rowSamples() + i], 1e-6f);
            for (int y = 0; y < h; ++y) {
                fusion::expandRow(r, w, h, y, fusion::Span{0, w}, scratch.data(), row.data());
                for (std::size_t i = 0; i < p.rowSamples(); ++i)
                    EXPECT_NEAR(row[i], expanded.v[y * p.rowSamples() + i], 1e-6f) << sizeText(w, h) << " row " << y;
            }
        }
    }
}

TEST(ExposureFusion, MatchesDirectVersionOnRandomBrackets) {
    const std::vector<std::pair<int, int>> sizes = {{1, 1}, {1, 9}, {11, 1}, {2, 2}, {3, 5}, {8, 8}, {17, 9}, {33, 20}, {24, 31}};
    const std::vector<FusionParams> paramSets = {{}, {0, 100, 100}, {100, 0, 100}, {100, 100, 0}, {200, 37, 151}, {0, 0, 0}, {55, 200, 3}};
    std::mt19937 rng(14);
    unsigned seed = 1;
    for (const auto& [w, h] : sizes) {
        for (const FusionParams& params : paramSets) {
            MemorySource source = bracket(w, h, 2 + static_cast<int>(rng() % 3), seed++);
            SCOPED_TRACE(testing::Message() << sizeText(w, h) << " weights " << params.contrastPosition << ","
                                            << params.saturationPosition << "," << params.exposurePosition);
            const FloatImage produced = fused(source, params);
            EXPECT_LE(largestDifference(produced, referenceFusion(source.asReference(), w, h, params)), 1e-4f);
        }
    }
}

TEST(ExposureFusion, ShiftsMultipliersMasksAndSamplesOutsideTheUnitRange) {
    // Shifted exposures (one beyond the picture, two that leave pixels nobody covers), a
    // multiplier, a partial weight mask, HDR samples above 1 and damaged ones (NaN, negative).
    std::mt19937 rng(7);
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{19, 13}, {6, 31}, {1, 7}, {40, 3}}) {
        MemorySource source = bracket(w, h, 3, 50 + w);
        source.items[0].shiftX = 2;
        source.items[0].shiftY = -1;
        source.items[1].shiftX = 3;
        source.items[1].shiftY = 1;
        source.items[1].multiplier = 1.7f;
        source.items[2].shiftX = -w - 5;  // covers nothing at all
        FloatImage hdr = test::randomImage(w, h, 9, 0.0f, 3.0f);
        hdr.data()[0] = std::numeric_limits<float>::quiet_NaN();
        hdr.data()[4] = -2.0f;
        MemorySource::Item& item = source.add(std::move(hdr));
        item.mask.assign(static_cast<std::size_t>(w) * h, 1.0f);
        for (float& m : item.mask) m = static_cast<float>(rng() % 3) * 0.5f;
        for (const FusionParams params : {FusionParams{}, FusionParams{130, 70, 200}}) {
            SCOPED_TRACE(sizeText(w, h));
            const FloatImage produced = fused(source, params);
            EXPECT_LE(largestDifference(produced, referenceFusion(source.asReference(), w, h, params)), 1e-4f);
        }
    }
}

TEST(ExposureFusion, ASingleExposureFusesToItself) {
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {5, 1}, {1, 4}, {23, 17}}) {
        MemorySource source(w, h);
        source.add(test::randomImage(w, h, 11, -0.2f, 1.3f));  // held to 0..1 first
        const FloatImage produced = fused(source, FusionParams{170, 20, 90});
        float worst = 0.0f;
        for (std::size_t i = 0; i < produced.sampleCount(); ++i) {
            const float v = source.items[0].pixels.data()[i];
            worst = std::max(worst, std::fabs(produced.data()[i] - std::clamp(v, 0.0f, 1.0f)));
        }
        EXPECT_LE(worst, 1e-4f) << sizeText(w, h);
    }
}

TEST(ExposureFusion, ExponentZeroTakesAMeasureOut) {
    // Flat exposures: the contrast is 0 everywhere, so with its exponent above 0 every weight is
    // the 1e-12 alone and the exposures are averaged; with it at 0 the weights are S^ws x E^we,
    // and a flat blend is that weighted mean, pixel for pixel.
    const int w = 12, h = 9;
    const float colours[3][3] = {{0.1f, 0.15f, 0.05f}, {0.45f, 0.6f, 0.3f}, {0.9f, 0.97f, 0.7f}};
    MemorySource source(w, h);
    for (const auto& c : colours) {
        FloatImage e(w, h);
        for (std::size_t i = 0; i < e.sampleCount(); ++i) e.data()[i] = c[i % 3];
        source.add(std::move(e));
    }
    const FloatImage averaged = fused(source, FusionParams{100, 100, 100});
    const FloatImage weighted = fused(source, FusionParams{0, 150, 80});
    for (int ch = 0; ch < 3; ++ch) {
        const float mean = (colours[0][ch] + colours[1][ch] + colours[2][ch]) / 3.0f;
        double num = 0.0, den = 0.0;
        for (const auto& c : colours) {
            const double mu = (c[0] + c[1] + c[2]) / 3.0;
            const double sd = std::sqrt(((c[0] - mu) * (c[0] - mu) + (c[1] - mu) * (c[1] - mu) + (c[2] - mu) * (c[2] - mu)) / 3.0);
            double e = 1.0;
            for (int k = 0; k < 3; ++k) e *= std::exp(-(c[k] - 0.5) * (c[k] - 0.5) / 0.08);
            const double weight = std::pow(sd, 1.5) * std::pow(e, 0.8);
            num += weight * c[ch];
            den += weight;
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                EXPECT_NEAR(averaged.at(x, y, ch), mean, 1e-5f);
                EXPECT_NEAR(weighted.at(x, y, ch), static_cast<float>(num / den), 1e-5f);
            }
    }
    // Positions beyond the track bars are held to 0 .. 200.
    MemorySource held = bracket(9, 7, 2, 78);
    const FloatImage beyond = fused(held, FusionParams{-50, 300, 100}), edges = fused(held, FusionParams{0, 200, 100});
    EXPECT_EQ(std::memcmp(beyond.data(), edges.data(), edges.sampleCount() * sizeof(float)), 0);
    // With every exponent at 0 any bracket is averaged (the pyramids are linear).
    MemorySource random = bracket(15, 10, 3, 77);
    const FloatImage mean = fused(random, FusionParams{0, 0, 0});
    for (std::size_t i = 0; i < mean.sampleCount(); ++i) {
        float sum = 0.0f;
        for (const auto& item : random.items) sum += item.pixels.data()[i];
        EXPECT_NEAR(mean.data()[i], sum / 3.0f, 1e-5f);
    }
}

TEST(ExposureFusion, AnExposureWithNoWeightChangesNothing) {
    // Shifted out of the picture or masked out everywhere, an exposure takes no part; a mask of
    // ones is no mask; a multiplier is the same as samples scaled beforehand.
    MemorySource plain = bracket(21, 14, 2, 5);
    const FloatImage expected = fused(plain, FusionParams{});
    for (const int way : {0, 1}) {
        MemorySource more = bracket(21, 14, 2, 5);
        MemorySource::Item& extra = more.add(test::randomImage(21, 14, 8));
        if (way == 0) extra.shiftY = 14;
        if (way == 1) extra.mask.assign(21 * 14, 0.0f);
        const FloatImage produced = fused(more, FusionParams{});
        for (std::size_t i = 0; i < produced.sampleCount(); ++i) ASSERT_NEAR(produced.data()[i], expected.data()[i], 1e-6f) << way;
    }
    MemorySource ones = bracket(21, 14, 2, 5);
    ones.items[1].mask.assign(21 * 14, 1.0f);
    const FloatImage withOnes = fused(ones, FusionParams{});
    EXPECT_EQ(std::memcmp(withOnes.data(), expected.data(), expected.sampleCount() * sizeof(float)), 0);

    MemorySource scaled = bracket(21, 14, 2, 5), byMultiplier = bracket(21, 14, 2, 5);
    for (std::size_t i = 0; i < scaled.items[0].pixels.sampleCount(); ++i) scaled.items[0].pixels.data()[i] *= 0.6f;
    byMultiplier.items[0].multiplier = 0.6f;
    const FloatImage a = fused(scaled, FusionParams{}), b = fused(byMultiplier, FusionParams{});
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)), 0);
}

TEST(ExposureFusion, EightBitExposuresAreReadOnceAndFuseAsIfReadTwice) {
    // Samples k / 256 survive an 8-bit copy from the first pass; a mask of ones (which keeps an
    // exposure from being copied) makes the same fusion read every file twice.
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{26, 19}, {1, 5}}) {
        MemorySource once = bracket(w, h, 3, 40), twice = bracket(w, h, 3, 40);
        for (MemorySource* s : {&once, &twice}) {
            for (auto& item : s->items) {
                for (std::size_t i = 0; i < item.pixels.sampleCount(); ++i) {
                    item.pixels.data()[i] = std::floor(item.pixels.data()[i] * 256.0f) / 256.0f;
                }
            }
            s->items[1].shiftX = -2;
        }
        once.items[2].pixels.data()[7] = 0.3f;  // not k / 256: this one is read again
        twice.items[2].pixels.data()[7] = 0.3f;
        for (auto& item : twice.items) item.mask.assign(static_cast<std::size_t>(w) * h, 1.0f);
        const FusionParams params{90, 140, 110};
        const FloatImage a = fused(once, params), b = fused(twice, params);
        EXPECT_EQ(once.loads, 4);
        EXPECT_EQ(twice.loads, 6);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)), 0) << sizeText(w, h);
        EXPECT_LE(largestDifference(a, referenceFusion(once.asReference(), w, h, params)), 1e-4f);
    }
}

TEST(ExposureFusion, PreviewRegionEqualsThatPartOfTheWholePicture) {
    std::mt19937 rng(21);
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{64, 48}, {37, 53}, {7, 3}, {150, 97}}) {
        MemorySource source = bracket(w, h, 3, 300 + w);
        source.items[2].shiftX = 3;
        const FusionParams params{120, 80, 100};
        const FloatImage whole = fused(source, params);
        std::vector<Region> regions = {{0, w, 0, h}, {0, 1, 0, 1}, {w - 1, 1, h - 1, 1}, {w - 5, 20, -3, 9}};
        for (int i = 0; i < 5; ++i) {
            const int x = static_cast<int>(rng() % w), y = static_cast<int>(rng() % h);
            regions.push_back({x, 1 + static_cast<int>(rng() % (w - x)), y, 1 + static_cast<int>(rng() % (h - y))});
        }
        for (const Region& region : regions) {
            FloatImage crop;
            NullProgress progress;
            ASSERT_TRUE(fuseRegion(source, params, region, crop, progress).ok());
            const Region r = clippedRegion(region, w, h);
            ASSERT_EQ(crop.width(), r.width);
            ASSERT_EQ(crop.height(), r.height);
            float worst = 0.0f;
            for (int y = 0; y < r.height; ++y)
                for (int x = 0; x < r.width; ++x)
                    for (int c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(crop.at(x, y, c) - whole.at(r.x + x, r.y + y, c)));
            // The same arithmetic sample for sample: no difference at all, far inside 1/255.
            EXPECT_EQ(worst, 0.0f) << sizeText(w, h) << " region " << r.x << "," << r.width << "," << r.y << "," << r.height;
        }
    }
}

TEST(ExposureFusion, FailuresLeaveTheOutputAsTheySay) {
    MemorySource source = bracket(10, 8, 3, 2);
    FloatImage out = test::randomImage(10, 8, 4);
    const FloatImage before = out.clone();
    NullProgress progress;
    // The third reading fails: still in the weights' pass, nothing written yet.
    source.failOnLoad = 3;
    FusionOutcome outcome = fusePicture(source, FusionParams{}, out, progress);
    EXPECT_EQ(outcome.status, FusionStatus::ExposureUnavailable);
    EXPECT_EQ(outcome.exposure, 2);
    EXPECT_EQ(std::memcmp(out.data(), before.data(), out.sampleCount() * sizeof(float)), 0);
    // The fifth (exposure 1 read again for the blend): the half-blended picture is not left behind.
    source.loads = 0;
    source.failOnLoad = 5;
    outcome = fusePicture(source, FusionParams{}, out, progress);
    EXPECT_EQ(outcome.status, FusionStatus::ExposureUnavailable);
    EXPECT_EQ(outcome.exposure, 1);
    for (std::size_t i = 0; i < out.sampleCount(); ++i) ASSERT_EQ(out.data()[i], 0.0f);
    // An exposure or a mask of another size, an empty source, an output of another size.
    source.failOnLoad = 0;
    source.items[1].mask.assign(3, 1.0f);
    EXPECT_EQ(fusePicture(source, FusionParams{}, out, progress).status, FusionStatus::WrongSize);
    source.items[1].mask.clear();
    source.items[2].pixels = FloatImage(10, 9);
    EXPECT_EQ(fusePicture(source, FusionParams{}, out, progress).exposure, 2);
    MemorySource empty(10, 8);
    EXPECT_EQ(fusePicture(empty, FusionParams{}, out, progress).status, FusionStatus::NoExposures);
    MemorySource other = bracket(10, 8, 2, 3);
    FloatImage small(4, 4);
    EXPECT_EQ(fusePicture(other, FusionParams{}, small, progress).status, FusionStatus::WrongSize);
}

TEST(ExposureFusion, ProgressCountsPassesTimesRowsAndThePreviewCacheReadsOnce) {
    MemorySource source = bracket(30, 20, 3, 8);
    FloatImage out(30, 20);
    AtomicProgress progress;
    ASSERT_TRUE(fusePicture(source, FusionParams{}, out, progress).ok());
    EXPECT_EQ(progress.position(), fusionProgressSteps(3, 20));
    EXPECT_EQ(source.loads, 6);  // each exposure twice

    FusionPreviewCache cache;
    const Region rect{4, 10, 3, 8};
    AtomicProgress preview;
    ASSERT_TRUE(cache.update(source, FusionParams{}, rect, "bracket A", preview).ok());
    EXPECT_EQ(preview.position(), fusionProgressSteps(3, 20));
    const int loads = source.loads;
    ASSERT_TRUE(cache.update(source, FusionParams{}, rect, "bracket A", preview).ok());
    EXPECT_EQ(source.loads, loads);  // the white and black points may move freely
    for (int y = 0; y < rect.height; ++y)
        for (int x = 0; x < rect.width; ++x)
            for (int c = 0; c < 3; ++c) ASSERT_EQ(cache.fused().at(x, y, c), out.at(rect.x + x, rect.y + y, c));
    ASSERT_TRUE(cache.update(source, FusionParams{100, 101, 100}, rect, "bracket A", preview).ok());
    EXPECT_GT(source.loads, loads);
    EXPECT_FALSE(cache.holds(FusionParams{100, 101, 100}, rect, "bracket B"));
}

TEST(ExposureFusion, TheCacheKeepsEightBitExposuresWhileTheBracketStays) {
    MemorySource source = bracket(30, 20, 3, 12);
    for (auto& item : source.items)
        for (std::size_t i = 0; i < item.pixels.sampleCount(); ++i) item.pixels.data()[i] = std::floor(item.pixels.data()[i] * 256.0f) / 256.0f;
    const FloatImage expected = fused(source, FusionParams{60, 100, 180});
    source.loads = 0;
    FusionPreviewCache cache;
    NullProgress progress;
    const Region rect{0, 12, 5, 9};
    ASSERT_TRUE(cache.update(source, FusionParams{}, rect, "A", progress).ok());
    EXPECT_EQ(source.loads, 3);  // read once each, then kept
    EXPECT_EQ(cache.keptBytes(), 3u * 30 * 20 * 3);
    ASSERT_TRUE(cache.update(source, FusionParams{60, 100, 180}, rect, "A", progress).ok());
    FloatImage whole(30, 20);
    ASSERT_TRUE(cache.fuseWhole(source, FusionParams{60, 100, 180}, "A", whole, progress).ok());
    EXPECT_EQ(source.loads, 3);  // new weights, no file read
    EXPECT_EQ(std::memcmp(whole.data(), expected.data(), whole.sampleCount() * sizeof(float)), 0);
    for (int y = 0; y < rect.height; ++y)
        for (int x = 0; x < rect.width; ++x)
            for (int c = 0; c < 3; ++c) ASSERT_EQ(cache.fused().at(x, y, c), expected.at(rect.x + x, rect.y + y, c));
    // Another bracket (say an exposure was shifted): everything is read again.
    source.items[1].shiftX = 1;
    ASSERT_TRUE(cache.update(source, FusionParams{60, 100, 180}, rect, "A shifted", progress).ok());
    EXPECT_EQ(source.loads, 6);
    cache.clear();
    EXPECT_EQ(cache.keptBytes(), 0u);
}

// A picture of curve-and-gamma values t = index / 32768 (what the render's t takes at gamma 1 and
// the straight curve), and a stack the render maps onto exactly those indices.
void renderablePair(int w, int h, unsigned seed, FloatImage& t, FloatImage& stack) {
    std::mt19937 rng(seed);
    t = FloatImage(w, h);
    stack = FloatImage(w, h);
    for (std::size_t i = 0; i < t.sampleCount(); ++i) {
        int index = static_cast<int>(rng() % 32768);
        if (i % 11 == 0) index = 0;
        if (i % 13 == 0) index = 32767;
        t.data()[i] = static_cast<float>(index) * (1.0f / 32768.0f);
        stack.data()[i] = (static_cast<float>(index) + 0.5f) / 32767.0f;
    }
}

TEST(FusedLevels, WhiteAndBlackPointsAndHistogramAreTheRendersOwn) {
    const int w = 29, h = 17;
    FloatImage t, stack;
    renderablePair(w, h, 5, t, stack);
    for (const auto& [white, black] : std::vector<std::pair<int, int>>{{255, 0}, {128, 0}, {200, 40}, {13, 12}, {90, 90}, {0, 0}}) {
        RenderParams params;
        params.whitePosition = white;
        params.blackPosition = black;
        const Region region{3, 20, 2, 11};
        FloatImage rendered = test::randomImage(w, h, 1), levelled = rendered.clone();
        RenderHistogram fromRender, fromFusion;
        NullProgress progress;
        renderRegion(stack, 1.0f, region, params, rendered, fromRender, progress);
        fusedLevels(t, 0, 0, region, white, black, levelled, fromFusion, progress);
        EXPECT_EQ(std::memcmp(rendered.data(), levelled.data(), rendered.sampleCount() * sizeof(float)), 0) << white << "/" << black;
        EXPECT_EQ(fromRender.histogram, fromFusion.histogram);
        EXPECT_EQ(fromRender.histogramPeak, fromFusion.histogramPeak);
        // From a preview crop whose corner lies at the region's: the same samples.
        FloatImage crop(region.width, region.height);
        for (int y = 0; y < region.height; ++y)
            for (int x = 0; x < region.width; ++x)
                for (int c = 0; c < 3; ++c) crop.at(x, y, c) = t.at(region.x + x, region.y + y, c);
        FloatImage fromCrop = test::randomImage(w, h, 1);
        RenderHistogram cropHistogram;
        fusedLevels(crop, region.x, region.y, region, white, black, fromCrop, cropHistogram, progress);
        EXPECT_EQ(std::memcmp(fromCrop.data(), levelled.data(), levelled.sampleCount() * sizeof(float)), 0);
        EXPECT_EQ(cropHistogram.histogram, fromFusion.histogram);
    }
}

TEST(FusedLevels, PureWhiteCountsInTheLastBinAndACropMustCoverTheRegion) {
    FloatImage white(4, 3);
    white.fill(1.0f);
    white.at(0, 0, 0) = std::numeric_limits<float>::quiet_NaN();  // counts with the darkest, as in the render
    FloatImage out(4, 3);
    RenderHistogram result;
    AtomicProgress progress;
    fusedLevels(white, 0, 0, white.bounds(), 255, 0, out, result, progress);
    EXPECT_EQ(result.histogram[214], 11);
    EXPECT_EQ(result.histogram[0], 1);
    EXPECT_EQ(progress.position(), 3);
    EXPECT_EQ(out.at(0, 0, 0), 0.0f);
    EXPECT_EQ(out.at(3, 2, 2), 1.0f);
    FloatImage crop(2, 2);
    EXPECT_THROW(fusedLevels(crop, 1, 1, Region{0, 2, 0, 2}, 255, 0, out, result, progress), std::invalid_argument);
}

}  // namespace
}  // namespace sv
