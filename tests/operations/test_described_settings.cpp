// The Step 1 and Step 2 settings described once: the descriptors agree with the ranges the engine
// holds positions to, the params come from values by key, and the labels read as the window's
// controls showed them before they were described.
#include <gtest/gtest.h>

#include "stack/auto_align.h"
#include "stack/ghost_removal.h"
#include "tone/exposure_fusion.h"
#include "tone/local_contrast.h"

namespace sv {
namespace {

TEST(DescribedSettings, RangesAreTheOnesTheEngineHoldsPositionsTo) {
    // What the controls offer is what the arithmetic accepts: a drift would let the window or the
    // command line pass positions the engine silently moves.
    const PositionRange local[] = {kLocalCompressionRange, kLocalDetailRange, kLocalRadiusRange};
    ASSERT_EQ(std::size(kLocalContrastParameters), std::size(local));
    for (std::size_t i = 0; i < std::size(local); ++i) {
        EXPECT_EQ(kLocalContrastParameters[i].minimum, local[i].minimum);
        EXPECT_EQ(kLocalContrastParameters[i].maximum, local[i].maximum);
        EXPECT_EQ(kLocalContrastParameters[i].defaultPosition, local[i].defaultPosition);
    }
    for (const ParameterDescriptor& d : kFusionParameters) {
        EXPECT_EQ(d.minimum, kFusionWeightMin);
        EXPECT_EQ(d.maximum, kFusionWeightMax);
        EXPECT_EQ(d.defaultPosition, kFusionWeightDefault);
    }
    const ParameterDescriptor& strength = kGhostSettingParameters[0];
    EXPECT_EQ(strength.key, "strength");
    EXPECT_EQ(strength.defaultPosition, GhostRemovalParams{}.strength);
    EXPECT_EQ(kAutoAlignParameters[0].defaultPosition, 0);  // off unless asked for
    // Params from values: every key reaches its own field; left out, the defaults.
    const LocalContrastParams defaults = localContrastParams({});
    EXPECT_TRUE(defaults.enabled);
    EXPECT_EQ(defaults.compressionPosition, kLocalCompressionRange.defaultPosition);
    const LocalContrastParams given = localContrastParams({{"compression", 1}, {"detail", 2}, {"radius", 6}});
    EXPECT_EQ(given.compressionPosition, 1);
    EXPECT_EQ(given.detailPosition, 2);
    EXPECT_EQ(given.radiusPosition, 6);
    const FusionParams weights = fusionParams({{"saturation", 7}});
    EXPECT_EQ(weights.contrastPosition, kFusionWeightDefault);
    EXPECT_EQ(weights.saturationPosition, 7);
    EXPECT_EQ(weights.exposurePosition, kFusionWeightDefault);
}

TEST(DescribedSettings, LabelsReadAsTheStep2ControlsShowThem) {
    const ParameterList local = kLocalContrastParameters;
    EXPECT_EQ(parameterLabel(local[0], 50, ","), "50");
    EXPECT_EQ(parameterLabel(local[1], 100, ","), "100 %");
    EXPECT_EQ(parameterLabel(local[1], 0, "."), "0 %");
    EXPECT_EQ(parameterLabel(local[2], 20, ","), "2,0 %");
    EXPECT_EQ(parameterLabel(local[2], 5, "."), "0.5 %");
    EXPECT_EQ(parameterLabel(local[2], 100, ","), "10,0 %");
    EXPECT_EQ(parameterLabel(kFusionParameters[0], 100, ","), "1,00");
    EXPECT_EQ(parameterLabel(kFusionParameters[1], 0, "."), "0.00");
    EXPECT_EQ(parameterLabel(kFusionParameters[2], 137, ","), "1,37");
    EXPECT_EQ(parameterLabel(kGhostSettingParameters[0], 50, ","), "50");
}

}  // namespace
}  // namespace sv
