// The descriptors against what the filters and the window already did by hand: defaults, scales
// and labels. A range, default, scale or label format typed wrongly into a table shows here.
#include <gtest/gtest.h>

#include <string>

#include "filters/bilateral_filter.h"
#include "filters/filter_kernel.h"
#include "filters/filter_labels.h"
#include "filters/gaussian_blur.h"
#include "filters/median_filter.h"
#include "filters/sharpen.h"
#include "image/parameters.h"
#include "tone/render.h"
#include "tone/tone_curve.h"

namespace sv {
namespace {

const ParameterDescriptor& parameter(ParameterList list, std::string_view key) {
    const ParameterDescriptor* p = findParameter(list, key);
    if (!p) throw std::runtime_error("no parameter " + std::string(key));
    return *p;
}

TEST(FilterParameters, DefaultsAreThoseOfTheParamsStructs) {
    const GaussianBlurParams blur = gaussianBlurParams({});
    EXPECT_EQ(blur.sigmaPosition, GaussianBlurParams{}.sigmaPosition);
    EXPECT_EQ(blur.opacityPosition, GaussianBlurParams{}.opacityPosition);
    const SharpenParams sharp = sharpenParams({});
    EXPECT_EQ(sharp.amountPosition, SharpenParams{}.amountPosition);
    EXPECT_EQ(sharp.sigmaPosition, SharpenParams{}.sigmaPosition);
    const MedianParams median = medianParams({});
    EXPECT_EQ(median.shape, MedianParams{}.shape);
    EXPECT_EQ(median.sizePosition, MedianParams{}.sizePosition);
    EXPECT_EQ(median.thresholdPosition, MedianParams{}.thresholdPosition);
    EXPECT_EQ(median.opacityPosition, MedianParams{}.opacityPosition);
    const BilateralParams bilateral = bilateralParams({});
    EXPECT_EQ(bilateral.sigmaPosition, BilateralParams{}.sigmaPosition);
    EXPECT_EQ(bilateral.thresholdPosition, BilateralParams{}.thresholdPosition);
    EXPECT_EQ(bilateral.opacityPosition, BilateralParams{}.opacityPosition);
    const RenderParams render = renderParams({});
    EXPECT_EQ(render.gammaPosition, RenderParams{}.gammaPosition);
    EXPECT_EQ(render.saturationPosition, RenderParams{}.saturationPosition);
    EXPECT_EQ(render.whitePosition, RenderParams{}.whitePosition);
    EXPECT_EQ(render.blackPosition, RenderParams{}.blackPosition);
    // The straight curve, as a render with nothing set.
    EXPECT_EQ(render.curveTable, RenderParams{}.curveTable);
}

TEST(FilterParameters, ValuesByKeyReachTheirFields) {
    const MedianParams m = medianParams({{"shape", 0}, {"size", 3}, {"threshold", 17}, {"opacity", 42}});
    EXPECT_EQ(m.shape, MedianShape::HorizontalBar);
    EXPECT_EQ(m.sizePosition, 3);
    EXPECT_EQ(m.thresholdPosition, 17);
    EXPECT_EQ(m.opacityPosition, 42);
    const BilateralParams b = bilateralParams({{"threshold", 29}});
    EXPECT_EQ(b.thresholdPosition, 29);
    EXPECT_EQ(b.sigmaPosition, 10);
    const RenderParams r = renderParams({{"saturation", -50}, {"black", 12}});
    EXPECT_EQ(r.saturationPosition, -50);
    EXPECT_EQ(r.blackPosition, 12);
    EXPECT_EQ(r.gammaPosition, 100);
}

// The scale is what the filters use: sigmas x 0.1, opacities and amounts x 0.01, rounded once.
TEST(FilterParameters, ScalesGiveTheFiltersOwnValues) {
    for (ParameterList list : {ParameterList(kGaussianBlurParameters), ParameterList(kSharpenParameters),
                               ParameterList(kBilateralParameters)}) {
        for (const ParameterDescriptor& p : list) {
            for (int position = p.minimum; position <= p.maximum; ++position) {
                const float value = static_cast<float>(p.value(position));
                if (p.key == "sigma") {
                    ASSERT_EQ(value, sigmaFromPosition(position)) << position;
                } else if (p.key != "threshold") {
                    ASSERT_EQ(value, fractionFromPosition(position)) << p.key << " " << position;
                }
            }
        }
    }
    // The bilateral range sigma is position x 0.01, its label ten times that.
    EXPECT_EQ(static_cast<float>(parameter(kBilateralParameters, "threshold").value(10)), fractionFromPosition(10));
}

TEST(FilterParameters, LabelsAreTheWindowsLabels) {
    for (const std::string separator : {",", "."}) {
        for (ParameterList list : {ParameterList(kGaussianBlurParameters), ParameterList(kSharpenParameters),
                                   ParameterList(kMedianParameters), ParameterList(kBilateralParameters)}) {
            for (const ParameterDescriptor& p : list) {
                for (int position = p.minimum; position <= p.maximum; ++position) {
                    std::string expected;
                    if (p.key == "opacity" || p.key == "amount") expected = percentLabel(position);
                    else if (p.key == "sigma") expected = sigmaLabel(position, separator);
                    else if (p.key == "size") expected = medianSizeLabel(position);
                    else if (p.key == "shape") expected = "";
                    else if (&p == &parameter(kMedianParameters, "threshold"))
                        expected = medianThresholdLabel(position, separator);
                    else expected = bilateralThresholdLabel(position, separator);
                    ASSERT_EQ(parameterLabel(p, position, separator), expected) << p.key << " " << position;
                }
            }
        }
        // Gamma and saturation show their factors with two decimals ("1,00" at the defaults).
        const ParameterDescriptor& gamma = parameter(kRenderParameters, "gamma");
        const ParameterDescriptor& saturation = parameter(kRenderParameters, "saturation");
        EXPECT_EQ(parameterLabel(gamma, 100, separator), "1" + separator + "00");
        EXPECT_EQ(parameterLabel(gamma, 1, separator), "0" + separator + "01");
        EXPECT_EQ(parameterLabel(saturation, 0, separator), "1" + separator + "00");
        EXPECT_EQ(parameterLabel(saturation, -99, separator), "0" + separator + "01");
        EXPECT_EQ(parameterLabel(saturation, 300, separator), "4" + separator + "00");
    }
}

TEST(FilterParameters, ValuesWriteAsTextInTheDescriptorsOrder) {
    EXPECT_EQ(formatValues(kMedianParameters, {}), "shape=plus,size=2,threshold=80,opacity=100");
    EXPECT_EQ(formatValues(kMedianParameters, {{"opacity", 7}, {"shape", 3}}), "shape=box,size=2,threshold=80,opacity=7");
    EXPECT_EQ(formatValues(kGaussianBlurParameters, {{"sigma", 80}}), "sigma=80,opacity=100");
    const ParameterDescriptor& shape = parameter(kMedianParameters, "shape");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(choiceIndex(shape, kMedianShapeNames[i]), i);
    EXPECT_EQ(choiceIndex(shape, "Box"), -1);
    EXPECT_EQ(choiceIndex(kCurveModeParameter, "linear"), static_cast<int>(CurveMode::Linear));
    EXPECT_EQ(choiceIndex(kCurveModeParameter, "smooth"), static_cast<int>(CurveMode::Smooth));
    EXPECT_THROW(positionOf(kMedianParameters, {}, "sigma"), std::invalid_argument);
}

}  // namespace
}  // namespace sv
