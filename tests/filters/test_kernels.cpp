#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "filter_reference.h"
#include "filters/filter_framework.h"
#include "filters/filter_kernel.h"
#include "filters/filter_labels.h"
#include "filters/gaussian_blur.h"
#include "filters/bilateral_filter.h"
#include "filters/kernel_picture.h"
#include "filters/median_filter.h"
#include "filters/selection_network.h"
#include "filters/sharpen.h"

namespace sv {
namespace {

int radiusOfBlur(int sigmaPos) { return 16 - blurWindowStart(makeGaussianKernels(sigmaFromPosition(sigmaPos)).line); }
int radiusOfSharpen(int sigmaPos) { return 16 - sharpenWindowStart(makeSharpenKernel(sigmaFromPosition(sigmaPos))); }
int radiusOfBilateral(int sigmaPos) {
    return 16 - bilateralWindowStart(makeBilateralKernel(sigmaFromPosition(sigmaPos)));
}

TEST(KernelTest, BlurTapsAtSigmaOneAndRadiusBySigma) {
    const GaussianKernels k = makeGaussianKernels(1.0f);
    EXPECT_EQ(blurWindowStart(k.line), 14);  // taps 14..18
    const float expected[] = {0.0540f, 0.2420f, 0.3989f, 0.2420f, 0.0540f};
    for (int t = 14; t <= 18; ++t) EXPECT_NEAR(k.line.weights[t], expected[t - 14], 5e-5f) << t;
    // Renormalised over the five taps, as the blur does at an inner pixel.
    float sum = 0.0f;
    for (int t = 14; t <= 18; ++t) sum += k.line.weights[t];
    EXPECT_NEAR(k.line.weights[16] / sum, 0.4026f, 1e-4f);
    // The filter kernel is the reference's, bit for bit.
    const std::vector<float> ref = reference::lineKernel(1.0f);
    for (int t = 0; t < 33; ++t) EXPECT_EQ(k.line.weights[t], ref[t]);
    EXPECT_EQ(k.line.length, 33);
    EXPECT_EQ(k.line.maxWeight, k.line.weights[16]);
    EXPECT_EQ(k.picture.maxWeight, k.picture.weights[16][16]);

    for (int pos : {1, 2, 3, 4, 5}) EXPECT_EQ(radiusOfBlur(pos), 1) << pos;
    EXPECT_EQ(radiusOfBlur(10), 2);
    EXPECT_EQ(radiusOfBlur(20), 4);
    EXPECT_EQ(radiusOfBlur(40), 8);
    EXPECT_EQ(radiusOfBlur(80), 14);
}

TEST(KernelTest, SharpenKernelSumsToZeroAndRadiusBySigma) {
    const FilterKernel k = makeSharpenKernel(1.0f);
    double sum = 0.0;
    for (int i = 0; i < 33; ++i)
        for (int j = 0; j < 33; ++j) sum += k.weights[i][j];
    EXPECT_NEAR(sum, 0.0, 1e-6);
    EXPECT_GT(k.weights[16][16], 0.8f);
    EXPECT_LT(k.weights[15][16], 0.0f);
    EXPECT_EQ(k.maxWeight, k.weights[16][16]);
    EXPECT_EQ(k.weightSum, 0.0f);
    // At sigma 0.1 the Gaussian is all centre: no sharpening, maxWeight falls back to 1.
    const FilterKernel z = makeSharpenKernel(0.1f);
    EXPECT_EQ(z.weights[16][16], 0.0f);
    EXPECT_EQ(z.maxWeight, 1.0f);

    for (int pos : {1, 2, 3, 4, 5}) EXPECT_EQ(radiusOfSharpen(pos), 1) << pos;
    EXPECT_EQ(radiusOfSharpen(10), 3);
    EXPECT_EQ(radiusOfSharpen(20), 5);
    EXPECT_EQ(radiusOfSharpen(30), 7);
    EXPECT_EQ(radiusOfSharpen(50), 11);
}

TEST(KernelTest, BilateralRadiusBySigmaAndCentreRowEqualsColumn) {
    for (int pos : {1, 2, 3, 4, 5}) EXPECT_EQ(radiusOfBilateral(pos), 1) << pos;
    EXPECT_EQ(radiusOfBilateral(10), 3);
    EXPECT_EQ(radiusOfBilateral(20), 5);
    EXPECT_EQ(radiusOfBilateral(40), 9);
    EXPECT_EQ(radiusOfBilateral(80), 14);
    const FilterKernel k = makeBilateralKernel(2.5f);
    for (int t = 0; t < 33; ++t) EXPECT_EQ(k.weights[t][16], k.weights[16][t]);
    EXPECT_GT(k.weightSum, 0.0f);
}

TEST(KernelTest, MedianMasksByShape) {
    struct Case {
        MedianShape shape;
        int p;
        int cells;
    } cases[] = {{MedianShape::HorizontalBar, 2, 5}, {MedianShape::VerticalBar, 3, 7}, {MedianShape::Plus, 2, 9},
                 {MedianShape::Plus, 3, 13},        {MedianShape::Box, 1, 9},         {MedianShape::Box, 3, 49}};
    for (const Case& c : cases) {
        const FilterKernel k = makeMedianMask(c.shape, c.p);
        EXPECT_EQ(k.width, 2 * c.p + 1);
        EXPECT_EQ(k.weightSum, static_cast<float>(c.cells));
        EXPECT_EQ(k.weights[c.p][c.p], 1.0f);
        EXPECT_EQ(k.maxWeight, 1.0f);
    }
    const FilterKernel h = makeMedianMask(MedianShape::HorizontalBar, 2);
    EXPECT_EQ(h.weights[0][2], 1.0f);  // i runs along the row
    EXPECT_EQ(h.weights[2][0], 0.0f);
}

TEST(SelectionNetworkTest, SelectsTheRankOfSortedBlocksAndOfLooseInputs) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> small(0, 6);  // many ties
    for (int q : {3, 5, 7}) {
        const SelectionNetwork net = makeSelectionNetwork(q, q, true, q * q / 2);
        for (int trial = 0; trial < 300; ++trial) {
            std::vector<float> values(q * q);
            for (float& v : values) v = trial % 2 ? static_cast<float>(small(rng)) : std::generate_canonical<float, 24>(rng);
            std::vector<float> slots(net.slots, -1.0f);
            for (int b = 0; b < q; ++b) {
                std::sort(values.begin() + b * q, values.begin() + (b + 1) * q);
                for (int r = 0; r < q; ++r) slots[net.inputSlots[b * q + r]] = values[b * q + r];
            }
            for (auto [a, b] : net.pairs) {
                const float lo = std::min(slots[a], slots[b]), hi = std::max(slots[a], slots[b]);
                slots[a] = lo;
                slots[b] = hi;
            }
            std::nth_element(values.begin(), values.begin() + q * q / 2, values.end());
            ASSERT_EQ(slots[net.rankSlots[q * q / 2]], values[q * q / 2]) << q;
        }
    }
    for (int n : {2, 3, 5, 7, 9, 13}) {
        const SelectionNetwork net = makeSelectionNetwork(1, n, false, -1);
        for (int trial = 0; trial < 200; ++trial) {
            std::vector<float> values(n);
            for (float& v : values) v = static_cast<float>(small(rng));
            std::vector<float> slots(net.slots, -1.0f);
            for (int k = 0; k < n; ++k) slots[net.inputSlots[k]] = values[k];
            for (auto [a, b] : net.pairs) {
                const float lo = std::min(slots[a], slots[b]), hi = std::max(slots[a], slots[b]);
                slots[a] = lo;
                slots[b] = hi;
            }
            std::sort(values.begin(), values.end());
            for (int r = 0; r < n; ++r) ASSERT_EQ(slots[net.rankSlots[r]], values[r]) << n;
        }
    }
}

TEST(KernelPictureTest, GreysFromWeightsIntensityAndOffset) {
    const GaussianKernels k = makeGaussianKernels(1.0f);
    const DisplayBitmap full = drawKernelPicture(k.picture, 100, 0);
    ASSERT_EQ(full.width(), 33);
    ASSERT_EQ(full.height(), 33);
    EXPECT_EQ(full.at(16, 16), packRgb(255, 255, 255));
    EXPECT_EQ(full.at(0, 0), 0u);
    const float w = k.picture.weights[15][16] / k.picture.maxWeight * 255.0f;
    const int v = static_cast<int>(w);
    EXPECT_EQ(redOf(full.at(15, 16)), v);
    const DisplayBitmap faint = drawKernelPicture(k.picture, 40, 0);
    EXPECT_EQ(redOf(faint.at(15, 16)), static_cast<int>(v * 40 * 0.01));
    EXPECT_EQ(redOf(faint.at(16, 16)), 102);

    // Sharpen: mid-grey field, white centre (capped), the same at any amount.
    const DisplayBitmap sharp = drawKernelPicture(makeSharpenKernel(1.0f), 100, 128);
    EXPECT_EQ(sharp.at(16, 16), packRgb(255, 255, 255));
    EXPECT_EQ(redOf(sharp.at(0, 0)), 128);
    EXPECT_LT(redOf(sharp.at(15, 16)), 128);

    const DisplayBitmap mask = drawKernelPicture(makeMedianMask(MedianShape::Plus, 2), 50, 0);
    EXPECT_EQ(mask.width(), 5);
    EXPECT_EQ(redOf(mask.at(2, 0)), 127);
    EXPECT_EQ(mask.at(0, 0), 0u);
}

TEST(KernelPictureTest, RangeCurvePeaksAtTheTopInTheMiddle) {
    const DisplayBitmap c = drawRangeCurve(10, 1.0);
    ASSERT_EQ(c.width(), 49);
    ASSERT_EQ(c.height(), 49);
    // Peak at column 24, row 0; the far tails lie on the last row (c = 6e-6 there).
    EXPECT_EQ(c.at(24, 0), packRgb(255, 255, 255));
    int whiteInFirstColumn = 0;
    for (int y = 0; y < 49; ++y) whiteInFirstColumn += c.at(0, y) != 0u;
    EXPECT_EQ(whiteInFirstColumn, 1);
    EXPECT_EQ(c.at(0, 48), packRgb(255, 255, 255));
    int white = 0;
    for (int y = 0; y < 49; ++y)
        for (int x = 0; x < 49; ++x) white += c.at(x, y) == packRgb(255, 255, 255);
    EXPECT_GT(white, 49);
    const DisplayBitmap scaled = drawRangeCurve(30, 1.23);
    EXPECT_EQ(scaled.width(), 60);
    EXPECT_EQ(scaled.at(30, 0), packRgb(255, 255, 255));
}

TEST(FilterLabelTest, FormatsWithTheLocaleSeparator) {
    EXPECT_EQ(percentLabel(100), "100%");
    EXPECT_EQ(sigmaLabel(10, ","), "1,0");
    EXPECT_EQ(sigmaLabel(80, "."), "8.0");
    EXPECT_EQ(sigmaLabel(1, ","), "0,1");
    EXPECT_EQ(medianThresholdLabel(80, ","), "0,80");
    EXPECT_EQ(medianThresholdLabel(100, "."), "1.00");
    EXPECT_EQ(medianThresholdLabel(7, ","), "0,07");
    EXPECT_EQ(medianSizeLabel(2), "5");
    EXPECT_EQ(bilateralThresholdLabel(10, ","), "1,0");
    EXPECT_EQ(bilateralThresholdLabel(25, "."), "2.5");
}

// Preview: P unchanged, the rectangle of N overwritten. Apply then Undo: the picture from
// before that Apply comes back; two Applies then Undo give the first Apply's picture.
TEST(FilterFrameworkTest, PreviewApplyAndUndo) {
    const int w = 36, h = 28;
    FloatImage P = reference::testPicture(w, h, 41);
    FloatImage N(w, h), C(w, h);
    const FloatImage original = P.clone();
    NullProgress none;
    const FilterBuffers b{P, N, C};

    gaussianBlur(b, Region{5, 10, 6, 8}, GaussianBlurParams{30, 100}, none);  // preview
    for (std::size_t i = 0; i < P.sampleCount(); ++i) ASSERT_EQ(P.data()[i], original.data()[i]);
    EXPECT_EQ(N.at(5, 6, 0), P.at(5, 6, 0));
    EXPECT_EQ(N.at(4, 6, 0), 0.0f);

    const Region whole{0, w, 0, h};
    gaussianBlur(b, whole, GaussianBlurParams{30, 100}, none);
    applyFilterOutput(P, C);
    const FloatImage afterFirst = P.clone();
    EXPECT_NE(afterFirst.at(10, 10, 0), original.at(10, 10, 0));
    sharpen(b, whole, SharpenParams{200, 20}, none);
    applyFilterOutput(P, C);
    AtomicProgress gauge;
    undoFromWorkingCopy(P, N, C, gauge);
    EXPECT_EQ(gauge.position(), h);
    for (std::size_t i = 0; i < P.sampleCount(); ++i) {
        ASSERT_EQ(P.data()[i], afterFirst.data()[i]);
        ASSERT_EQ(C.data()[i], afterFirst.data()[i]);
    }
}

// Every filter reads P only: a preview rectangle leaves it exactly as it was.
TEST(FilterFrameworkTest, NoFilterWritesTheProcessedPicture) {
    const int w = 40, h = 30;
    FloatImage P = reference::testPicture(w, h, 43);
    const FloatImage original = P.clone();
    FloatImage N(w, h), C(w, h);
    const FilterBuffers b{P, N, C};
    const Region preview{7, 20, 5, 16};
    NullProgress none;
    gaussianBlur(b, preview, GaussianBlurParams{50, 60}, none);
    sharpen(b, preview, SharpenParams{200, 50}, none);
    medianFilter(b, preview, MedianParams{MedianShape::Box, 3, 100, 100}, none);
    bilateralFilter(b, preview, BilateralParams{80, 30, 50}, none);
    for (std::size_t i = 0; i < P.sampleCount(); ++i) ASSERT_EQ(P.data()[i], original.data()[i]);
}

TEST(FilterFrameworkTest, RegionsAreClippedAndBadBuffersRefused) {
    EXPECT_EQ(clippedRegion(Region{-3, 10, 5, 100}, 20, 30), (Region{0, 7, 5, 25}));
    EXPECT_TRUE(clippedRegion(Region{25, 4, 0, 3}, 20, 30).empty());
    FloatImage P(8, 8), N(8, 8), C(9, 8);
    C.fill(2.0f);
    NullProgress none;
    EXPECT_FALSE(buffersUsable(FilterBuffers{P, N, C}));
    sharpen(FilterBuffers{P, N, C}, Region{0, 8, 0, 8}, SharpenParams{}, none);
    EXPECT_EQ(C.at(0, 0, 0), 2.0f);
    EXPECT_FALSE(buffersUsable(FilterBuffers{P, P, N}));
}

}  // namespace
}  // namespace sv
