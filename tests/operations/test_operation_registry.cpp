// The registry's entries run exactly what the direct calls run, with params built by hand from the
// same values by key: a key wired to the wrong field, a wrong buffer or a lost region shows here.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>

#include "filters/bilateral_filter.h"
#include "filters/gaussian_blur.h"
#include "filters/median_filter.h"
#include "filters/sharpen.h"
#include "operations/operation_registry.h"
#include "support/random_project.h"
#include "support/test_support.h"
#include "tone/colour_balance.h"
#include "tone/render.h"

namespace sv {
namespace {

bool sameBits(const FloatImage& a, const FloatImage& b) {
    return a.sameSize(b) && std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)) == 0;
}

struct Scene {
    Project project;
    explicit Scene(unsigned seed) : project(test::randomProject(41, 29, seed)) {}
    FilterBuffers buffers() { return {project.processedBuffer, project.newImageBuffer, project.processedCopy}; }
    bool sameAs(const Scene& other) const {
        return sameBits(project.processedBuffer, other.project.processedBuffer) &&
               sameBits(project.newImageBuffer, other.project.newImageBuffer) &&
               sameBits(project.processedCopy, other.project.processedCopy);
    }
};

// Random positions inside each descriptor's range, none of them the default (where the range
// allows), so that a value that does not arrive is seen.
ParameterValues randomValues(ParameterList parameters, std::mt19937& random) {
    ParameterValues values;
    for (const ParameterDescriptor& p : parameters) {
        int v = p.defaultPosition;
        while (v == p.defaultPosition && p.maximum > p.minimum)
            v = std::uniform_int_distribution<int>(p.minimum, p.maximum)(random);
        values[std::string(p.key)] = v;
    }
    return values;
}

const Region kRegion{5, 33, 3, 21};

TEST(OperationRegistry, EntriesFollowTheirIdsAndAreFoundByName) {
    std::set<std::string_view> names;
    ASSERT_EQ(operationRegistry().size(), static_cast<std::size_t>(kOperationCount));
    for (int i = 0; i < kOperationCount; ++i) {
        const Operation& op = operationRegistry()[static_cast<std::size_t>(i)];
        EXPECT_EQ(static_cast<int>(op.id), i);
        EXPECT_EQ(&operation(op.id), &op);
        EXPECT_EQ(findOperation(op.name), &op);
        EXPECT_EQ(op.kind, operationKind(op.id)) << op.name;
        EXPECT_TRUE(names.insert(op.name).second) << "two operations named " << op.name;
        std::set<std::string_view> keys;
        for (const ParameterDescriptor& p : op.parameters) {
            EXPECT_TRUE(keys.insert(p.key).second) << op.name << " has two parameters " << p.key;
            EXPECT_TRUE(p.contains(p.defaultPosition)) << op.name << " " << p.key;
        }
    }
    EXPECT_EQ(findOperation("no-such-operation"), nullptr);
    EXPECT_EQ(operation(OperationId::Render).kind, OperationKind::RenderLike);
}

// Runs operation `id` with random values through the registry and `direct` on a copy of the scene.
template <class Direct>
void expectSameAsDirect(OperationId id, std::mt19937& random, unsigned seed, Direct direct) {
    const Operation& op = operation(id);
    const ParameterValues v = randomValues(op.parameters, random);
    NullProgress progress;
    Scene viaRegistry(seed), byHand(seed);
    op.run(OperationTarget{viaRegistry.project}, kRegion, op.paramsFrom(v), progress);
    direct(byHand.buffers(), v, progress);
    EXPECT_TRUE(viaRegistry.sameAs(byHand)) << op.name << " " << formatValues(op.parameters, v);
}

TEST(OperationRegistry, FilterEntriesRunAsTheDirectCalls) {
    std::mt19937 random(11);
    for (unsigned round = 0; round < 3; ++round) {
        expectSameAsDirect(OperationId::Blur, random, round, [](const FilterBuffers& b, const ParameterValues& v, ProgressSink& s) {
            gaussianBlur(b, kRegion, GaussianBlurParams{v.at("sigma"), v.at("opacity")}, s);
        });
        expectSameAsDirect(OperationId::Sharpen, random, round, [](const FilterBuffers& b, const ParameterValues& v, ProgressSink& s) {
            sharpen(b, kRegion, SharpenParams{v.at("amount"), v.at("sigma")}, s);
        });
        expectSameAsDirect(OperationId::Median, random, round, [](const FilterBuffers& b, const ParameterValues& v, ProgressSink& s) {
            MedianParams params;
            params.shape = static_cast<MedianShape>(v.at("shape"));
            params.sizePosition = v.at("size");
            params.thresholdPosition = v.at("threshold");
            params.opacityPosition = v.at("opacity");
            medianFilter(b, kRegion, params, s);
        });
        expectSameAsDirect(OperationId::Bilateral, random, round, [](const FilterBuffers& b, const ParameterValues& v, ProgressSink& s) {
            bilateralFilter(b, kRegion, BilateralParams{v.at("sigma"), v.at("threshold"), v.at("opacity")}, s);
        });
    }
}

TEST(OperationRegistry, ColourToolsRunAsTheDirectCalls) {
    NullProgress progress;
    const Rgb sample{0.61f, 0.42f, 0.37f};
    Scene viaRegistry(7), direct(7);
    operation(OperationId::Neutral).run(OperationTarget{viaRegistry.project}, kRegion, OperationParams(sample), progress);
    neutralPoint(direct.project.processedBuffer, direct.project.newImageBuffer, direct.project.processedCopy, kRegion,
                 sample, progress);
    EXPECT_TRUE(viaRegistry.sameAs(direct));

    BalanceParams balance;
    balance.ranges[0] = {true, Rgb{0.2f, 0.25f, 0.18f}, {40, 50, 60}};
    balance.ranges[2] = {true, Rgb{0.8f, 0.75f, 0.9f}, {230, 220, 210}};
    Scene viaRegistry2(8), direct2(8);
    operation(OperationId::Balance).run(OperationTarget{viaRegistry2.project}, kRegion, OperationParams(balance), progress);
    sampleTargetBalance(direct2.project.processedBuffer, direct2.project.newImageBuffer, direct2.project.processedCopy,
                        kRegion, balance, progress);
    EXPECT_TRUE(viaRegistry2.sameAs(direct2));
}

TEST(OperationRegistry, RenderEntryRendersTheRegionWithItsHistogram) {
    std::mt19937 random(5);
    NullProgress progress;
    const Operation& op = operation(OperationId::Render);
    for (int round = 0; round < 3; ++round) {
        ParameterValues v = randomValues(op.parameters, random);
        if (v.at("white") < v.at("black")) std::swap(v.at("white"), v.at("black"));
        Scene viaRegistry(20 + round), direct(20 + round);
        RenderHistogram fromRegistry, fromDirect;
        op.run(OperationTarget{viaRegistry.project, &fromRegistry}, kRegion, op.paramsFrom(v), progress);
        RenderParams params;
        params.gammaPosition = v.at("gamma");
        params.saturationPosition = v.at("saturation");
        params.whitePosition = v.at("white");
        params.blackPosition = v.at("black");
        renderRegion(direct.project.stackBuffer, direct.project.stackMax, kRegion, params,
                     direct.project.processedBuffer, fromDirect, progress);
        EXPECT_TRUE(viaRegistry.sameAs(direct)) << formatValues(op.parameters, v);
        EXPECT_EQ(fromRegistry.histogram, fromDirect.histogram);
        EXPECT_EQ(fromRegistry.histogramPeak, fromDirect.histogramPeak);
    }
    // Without a histogram to fill the picture is the same.
    Scene withoutHistogram(30), direct(30);
    RenderHistogram ignored;
    op.run(OperationTarget{withoutHistogram.project}, kRegion, op.paramsFrom({}), progress);
    renderRegion(direct.project.stackBuffer, direct.project.stackMax, kRegion, RenderParams{},
                 direct.project.processedBuffer, ignored, progress);
    EXPECT_TRUE(withoutHistogram.sameAs(direct));
}

}  // namespace
}  // namespace sv
