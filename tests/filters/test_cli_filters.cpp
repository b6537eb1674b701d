#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "filters/bilateral_filter.h"
#include "filters/gaussian_blur.h"
#include "filters/median_filter.h"
#include "filters/sharpen.h"
#include "tone/colour_balance.h"

namespace sv {
namespace {

// Reads a PFM as --dump-processed writes it (little-endian, rows bottom to top).
FloatImage readPfm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int w = 0, h = 0;
    double scale = 0;
    in >> magic >> w >> h >> scale;
    in.get();
    if (magic != "PF" || w <= 0 || h <= 0) return FloatImage();
    FloatImage img(w, h);
    for (int y = h - 1; y >= 0; --y) in.read(reinterpret_cast<char*>(img.row(y)), img.rowSamples() * sizeof(float));
    return in ? std::move(img) : FloatImage();
}

int runCli(const std::string& args) {
    const std::string command = std::string(SV_CLI_PATH) + " --quiet --open " + SV_SOURCE_DIR +
                                "/samples/bracket_0.jpg " + args + " 2>/dev/null";
    return std::system(command.c_str());
}

std::string tempPath(const std::string& name) { return ::testing::TempDir() + "sv_filters_" + name; }

// Each CLI filter is the engine's Apply on the whole processed picture, in the order given.
TEST(CliFiltersTest, FiltersAndBalancesAreWholePictureAppliesInOrder) {
    const std::string before = tempPath("before.pfm"), after = tempPath("after.pfm");
    ASSERT_EQ(runCli("--process --dump-processed " + before), 0);
    ASSERT_EQ(runCli("--blur sigma=25,opacity=70 --median shape=box,size=3,threshold=95 --sharpen amount=150,sigma=20 "
                     "--bilateral sigma=30,threshold=20 --neutral-sample 40,30,1 --neutral "
                     "--balance-sample midtones,100,60 --balance-target midtones,140,120,100 --balance "
                     "--dump-processed " + after),
              0);
    FloatImage P = readPfm(before);
    const FloatImage got = readPfm(after);
    ASSERT_FALSE(P.empty());
    ASSERT_TRUE(P.sameSize(got));
    FloatImage N(P.width(), P.height()), C(P.width(), P.height());
    const Region whole{0, P.width(), 0, P.height()};
    NullProgress none;
    const FilterBuffers b{P, N, C};
    gaussianBlur(b, whole, GaussianBlurParams{25, 70}, none);
    P.copyRegionFrom(C, whole);
    medianFilter(b, whole, MedianParams{MedianShape::Box, 3, 95, 100}, none);
    P.copyRegionFrom(C, whole);
    sharpen(b, whole, SharpenParams{150, 20}, none);
    P.copyRegionFrom(C, whole);
    bilateralFilter(b, whole, BilateralParams{30, 20, 100}, none);
    P.copyRegionFrom(C, whole);
    neutralPoint(P, N, C, whole, takeSample(P, 40, 30, 1), none);
    P.copyRegionFrom(C, whole);
    BalanceParams bp;
    const Rgb mid = takeSample(P, 100, 60, 2);
    bp.ranges[1] = {true, mid, {140, 120, 100}};
    sampleTargetBalance(P, N, C, whole, bp, none);
    P.copyRegionFrom(C, whole);
    for (std::size_t i = 0; i < P.sampleCount(); ++i) ASSERT_EQ(got.data()[i], P.data()[i]) << i;
    std::remove(before.c_str());
    std::remove(after.c_str());
}

TEST(CliFiltersTest, BadSettingsAreUsageErrors) {
    EXPECT_EQ(WEXITSTATUS(runCli("--blur sigma=0")), 1);
    EXPECT_EQ(WEXITSTATUS(runCli("--sharpen amount=201")), 1);
    EXPECT_EQ(WEXITSTATUS(runCli("--median shape=ring")), 1);
    EXPECT_EQ(WEXITSTATUS(runCli("--bilateral colour=3")), 1);
    EXPECT_EQ(WEXITSTATUS(runCli("--balance-sample skies,1,1")), 1);
    EXPECT_EQ(WEXITSTATUS(runCli("--balance-target midtones,1,2,256")), 1);
    EXPECT_EQ(WEXITSTATUS(runCli("--neutral-sample 5")), 1);
}

}  // namespace
}  // namespace sv
