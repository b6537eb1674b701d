// Removing a 16-bit TIFF reads it again with the gamma answer it was added with, never asking
// again: a different answer would subtract other pixels than were added.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "imagefiles/file_builders.h"
#include "stack/exposure_stack.h"
#include "support/test_support.h"

namespace sv {
namespace {

TEST(RemovalGamma, RemovesWithTheAnswerRecordedAtOpenWithoutAsking) {
    test::TempDir dir;
    test::TiffSpec spec;
    spec.width = 24;
    spec.height = 16;
    spec.bits = 16;
    std::mt19937 rng(9);
    for (std::size_t i = 0; i < 24u * 16 * 3; ++i) spec.samples.push_back(rng() % 65536);
    const test::Bytes bytes = test::buildTiff(spec);
    const std::string path = dir.file("hdr.tif");
    test::writeBytes(path, std::string(bytes.begin(), bytes.end()));
    NullProgress progress;

    // The same file added twice, once read as it is and once gamma-corrected.
    for (int removed : {0, 1}) {
        Project project;
        bool answer = false;
        int asked = 0;
        DecodeHooks hooks;
        hooks.askGamma = [&] { ++asked; return answer; };
        ASSERT_TRUE(openPictures(project, {path}, hooks, progress).front().opened);
        answer = true;
        ASSERT_TRUE(openPictures(project, {path}, hooks, progress).front().opened);
        addExposure(project, progress);
        ASSERT_EQ(asked, 2);
        ASSERT_FALSE(project.exposures[0].tiffGamma);
        ASSERT_TRUE(project.exposures[1].tiffGamma);

        // What must remain: the other reading alone.
        Project twin;
        DecodeHooks twinHooks;
        twinHooks.askGamma = [kept = removed == 0] { return kept; };
        ASSERT_TRUE(openPictures(twin, {path}, twinHooks, progress).front().opened);

        // Whatever the user would answer now, the recorded answer is used.
        answer = removed == 0;
        ASSERT_TRUE(removeExposure(project, removed, hooks, progress).removed);
        EXPECT_EQ(asked, 2) << "removal asked the gamma question again";
        ASSERT_EQ(project.exposureCount, 1);
        float worst = 0.0f;
        for (std::size_t i = 0; i < twin.stackBuffer.sampleCount(); ++i) {
            worst = std::max(worst, std::fabs(project.stackBuffer.data()[i] - twin.stackBuffer.data()[i]));
        }
        EXPECT_LT(worst, 1e-5f) << "removing exposure " << removed << " left a remainder";
    }
}

}  // namespace
}  // namespace sv
