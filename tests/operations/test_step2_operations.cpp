// Fusion and local contrast through the registry: the fusion entry gives what the direct calls
// give (whole picture, a region, through the window's cache), the render entry builds the local
// contrast model only when the kept one does not fit, and the descriptors of the Step 1 and
// Step 2 settings agree with the ranges the engine holds positions to and label as the window did.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "operations/operation_registry.h"
#include "stack/auto_align.h"
#include "stack/ghost_removal.h"
#include "support/test_support.h"
#include "tone/fused_levels.h"

namespace sv {
namespace {

bool sameBits(const FloatImage& a, const FloatImage& b) {
    return a.sameSize(b) && std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)) == 0;
}

class Pictures final : public FusionSource {
public:
    Pictures(int width, int height, unsigned seed) : width_(width), height_(height) {
        for (unsigned k = 0; k < 3; ++k) pictures.push_back(test::randomImage(width, height, seed + k, 0.1f * k, 0.5f + 0.25f * k));
    }
    int exposureCount() const override { return static_cast<int>(pictures.size()); }
    int pictureWidth() const override { return width_; }
    int pictureHeight() const override { return height_; }
    bool loadExposure(int index, FusionExposure& e) override {
        e.pixels = pictures[static_cast<std::size_t>(index)].clone();
        e.shiftX = index == 2 ? 2 : 0;
        e.shiftY = index == 2 ? -1 : 0;
        e.multiplier = 1.0f;
        e.weightMask.clear();
        return true;
    }
    std::vector<FloatImage> pictures;

private:
    int width_, height_;
};

Project projectOfSize(int w, int h, unsigned seed) {
    Project p;
    p.imageWidth = w;
    p.imageHeight = h;
    p.stackBuffer = test::randomImage(w, h, seed, 0.0f, 4.0f);
    p.stackMax = 3.0f;
    p.processedBuffer = test::randomImage(w, h, seed + 1);
    p.newImageBuffer = FloatImage(w, h);
    p.processedCopy = FloatImage(w, h);
    p.buffersAllocated = true;
    return p;
}

TEST(FusionOperation, RunsAsTheDirectFusionAndLevels) {
    const int w = 37, h = 23;
    const Operation& op = operation(OperationId::Fusion);
    EXPECT_EQ(op.kind, OperationKind::RenderLike);
    EXPECT_EQ(findOperation("fuse"), &op);
    NullProgress progress;
    std::mt19937 random(3);
    for (int round = 0; round < 3; ++round) {
        ParameterValues v;
        for (const ParameterDescriptor& d : op.parameters)
            v[std::string(d.key)] = std::uniform_int_distribution<int>(d.minimum, d.maximum)(random);
        FusionOperationParams params = std::any_cast<FusionOperationParams>(op.paramsFrom(v));
        EXPECT_EQ(params.weights.contrastPosition, v.at("contrast"));
        EXPECT_EQ(params.weights.saturationPosition, v.at("saturation"));
        EXPECT_EQ(params.weights.exposurePosition, v.at("exposure"));
        params.whitePosition = 200 + round * 20;
        params.blackPosition = 10 * round;

        // The whole picture, without and with a cache.
        Pictures source(w, h, 10 + round);
        Project viaRegistry = projectOfSize(w, h, 50), cached = projectOfSize(w, h, 50), direct = projectOfSize(w, h, 50);
        RenderHistogram fromRegistry, fromCache, fromDirect;
        FusionInput input(source);
        const Region whole{0, w, 0, h};
        op.run(OperationTarget{viaRegistry, &fromRegistry, nullptr, &input}, whole, params, progress);
        ASSERT_TRUE(input.outcome.ok());
        FusionPreviewCache cache;
        FusionInput withCache(source, &cache, "bracket");
        op.run(OperationTarget{cached, &fromCache, nullptr, &withCache}, whole, params, progress);
        ASSERT_TRUE(withCache.outcome.ok());
        ASSERT_TRUE(fusePicture(source, params.weights, direct.processedBuffer, progress).ok());
        fusedLevels(direct.processedBuffer, 0, 0, whole, params.whitePosition, params.blackPosition,
                    direct.processedBuffer, fromDirect, progress);
        EXPECT_TRUE(sameBits(viaRegistry.processedBuffer, direct.processedBuffer));
        EXPECT_TRUE(sameBits(cached.processedBuffer, direct.processedBuffer));
        EXPECT_EQ(fromRegistry.histogram, fromDirect.histogram);
        EXPECT_EQ(fromCache.histogramPeak, fromDirect.histogramPeak);

        // A region: the same pixels there, everything else untouched, with and without the cache.
        const Region region{4 + round, 30, 3, 19};
        Project part = projectOfSize(w, h, 60), partCached = projectOfSize(w, h, 60), expected = projectOfSize(w, h, 60);
        FusionInput partInput(source);
        op.run(OperationTarget{part, nullptr, nullptr, &partInput}, region, params, progress);
        FusionInput partCache(source, &cache, "bracket");
        op.run(OperationTarget{partCached, nullptr, nullptr, &partCache}, region, params, progress);
        expected.processedBuffer.copyRegionFrom(direct.processedBuffer, region);
        EXPECT_TRUE(sameBits(part.processedBuffer, expected.processedBuffer)) << round;
        EXPECT_TRUE(sameBits(partCached.processedBuffer, expected.processedBuffer)) << round;
        EXPECT_TRUE(cache.holds(params.weights, region, "bracket"));
    }
}

TEST(FusionOperation, AFailedFusionLeavesThePictureAndSaysWhy) {
    class Failing final : public FusionSource {
    public:
        int exposureCount() const override { return 2; }
        int pictureWidth() const override { return 8; }
        int pictureHeight() const override { return 6; }
        bool loadExposure(int, FusionExposure&) override { return false; }
    } source;
    Project p = projectOfSize(8, 6, 4);
    const FloatImage before = p.processedBuffer.clone();
    FusionInput input(source);
    NullProgress progress;
    const Operation& op = operation(OperationId::Fusion);
    op.run(OperationTarget{p, nullptr, nullptr, &input}, Region{0, 8, 0, 6}, op.paramsFrom({}), progress);
    EXPECT_EQ(input.outcome.status, FusionStatus::ExposureUnavailable);
    EXPECT_TRUE(sameBits(p.processedBuffer, before));
    // Without its exposures the fusion cannot run at all: a caller's mistake.
    EXPECT_THROW(op.run(OperationTarget{p}, Region{0, 8, 0, 6}, op.paramsFrom({}), progress), std::invalid_argument);
}

TEST(RenderOperation, LocalContrastGroupRendersAsTheDirectCallsAndKeepsItsModel) {
    const Operation& render = operation(OperationId::Render);
    const OptionGroup* group = findOption(render, "local-contrast");
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(findOption(render, "no-such-group"), nullptr);
    const ParameterValues values{{"compression", 70}, {"radius", 35}};  // detail left at its default
    OperationParams params = render.paramsFrom({{"gamma", 150}, {"saturation", 40}});
    group->apply(params, values);
    const RenderParams& set = std::any_cast<const RenderParams&>(params);
    ASSERT_TRUE(set.localContrast.enabled);
    EXPECT_EQ(set.localContrast.compressionPosition, 70);
    EXPECT_EQ(set.localContrast.detailPosition, 100);
    EXPECT_EQ(set.localContrast.radiusPosition, 35);

    NullProgress progress;
    const Region region{3, 40, 2, 27};
    Project viaRegistry = projectOfSize(45, 31, 8), direct = projectOfSize(45, 31, 8);
    std::shared_ptr<const LocalContrastModel> kept;
    RenderHistogram fromRegistry, fromDirect;
    render.run(OperationTarget{viaRegistry, &fromRegistry, &kept}, region, params, progress);
    ASSERT_TRUE(kept);
    const auto model = buildLocalContrastModel(direct.stackBuffer, direct.stackMax, 35, progress);
    renderRegion(direct.stackBuffer, direct.stackMax, region, set, model, direct.processedBuffer, fromDirect, progress);
    EXPECT_TRUE(sameBits(viaRegistry.processedBuffer, direct.processedBuffer));
    EXPECT_EQ(fromRegistry.histogram, fromDirect.histogram);

    // Kept while it fits; another radius builds it again.
    const LocalContrastModel* first = kept.get();
    EXPECT_TRUE(localContrastModelFits(first, viaRegistry, 35));
    render.run(OperationTarget{viaRegistry, nullptr, &kept}, region, params, progress);
    EXPECT_EQ(kept.get(), first);
    EXPECT_FALSE(localContrastModelFits(first, viaRegistry, 36));
    EXPECT_FALSE(localContrastModelFits(nullptr, viaRegistry, 35));
    std::any_cast<RenderParams&>(params).localContrast.radiusPosition = 36;
    render.run(OperationTarget{viaRegistry, nullptr, &kept}, region, params, progress);
    EXPECT_NE(kept.get(), first);
    EXPECT_EQ(kept->radiusPosition(), 36);
}

}  // namespace
}  // namespace sv
