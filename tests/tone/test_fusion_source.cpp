// The project's exposures read again from their files for the fusion: the same pixels, shifts and
// multipliers as the records hold, the gamma answer kept between the two readings, and files that
// are gone or changed reported instead of fused.
#include <gtest/gtest.h>

#include <cstring>

#include "imagefiles/tiff_writer.h"
#include "stack/exposure_stack.h"
#include "support/test_support.h"
#include "tone/fusion_source.h"

namespace sv {
namespace {

constexpr int kW = 40, kH = 28;

// A smooth 8-bit exposure of one scene at a given brightness.
std::vector<unsigned char> exposureRgb(float gain, unsigned seed) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(kW) * kH * 3);
    const std::vector<unsigned char> noise = test::randomRgb(kW, kH, seed);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            for (int c = 0; c < 3; ++c) {
                const std::size_t i = (static_cast<std::size_t>(y) * kW + x) * 3 + c;
                const float v = gain * (40.0f + 3.0f * x + 2.0f * y * (c + 1)) + noise[i] / 16.0f;
                rgb[i] = static_cast<unsigned char>(std::min(v, 255.0f));
            }
    return rgb;
}

// The same bracket in memory, decoded as the program decodes it.
class DecodedSource final : public FusionSource {
public:
    explicit DecodedSource(const Project& p) : project(p) {}
    int exposureCount() const override { return project.exposureCount; }
    int pictureWidth() const override { return project.imageWidth; }
    int pictureHeight() const override { return project.imageHeight; }
    bool loadExposure(int index, FusionExposure& e) override {
        const ExposureRecord& r = project.exposures[static_cast<std::size_t>(index)];
        DecodeHooks hooks;
        hooks.askGamma = [] { return false; };
        NullProgress quiet;
        DecodedPicture d = decodePicture(r.path, hooks, quiet);
        e.pixels = std::move(d.pixels);
        e.shiftX = r.shiftX;
        e.shiftY = r.shiftY;
        e.multiplier = r.multiplier;
        return d.ok;
    }
    const Project& project;
};

class FusionFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::writeJpeg(dir.file("dark.jpg"), exposureRgb(0.4f, 1), kW, kH));
        ASSERT_TRUE(test::writeJpeg(dir.file("bright.jpg"), exposureRgb(1.6f, 2), kW, kH));
        // A 48-bit TIFF, which asks the gamma question.
        FloatImage mid(kW, kH);
        const std::vector<unsigned char> rgb = exposureRgb(0.9f, 3);
        for (std::size_t i = 0; i < mid.sampleCount(); ++i) mid.data()[i] = rgb[i] / 255.0f;
        std::string error;
        NullProgress quiet;
        ASSERT_TRUE(writeTiff(dir.file("mid.tif"), mid, kW, kH, 16, TiffCompressionChoice::None, quiet, error)) << error;
        DecodeHooks hooks;
        hooks.askGamma = [] { return false; };
        openPictures(project, {dir.file("dark.jpg"), dir.file("mid.tif"), dir.file("bright.jpg")}, hooks, quiet);
        ASSERT_EQ(project.exposureCount, 3);
        project.exposures[2].shiftX = 3;  // as the alignment view would leave it
        project.exposures[2].shiftY = -2;
    }
    test::TempDir dir;
    Project project;
};

TEST_F(FusionFiles, FusesWhatTheRecordsDescribeAndAsksTheGammaQuestionOnce) {
    int asked = 0, notices = 0;
    DecodeHooks hooks;
    hooks.alwaysAskGamma = true;
    hooks.askGamma = [&] {
        ++asked;
        return false;
    };
    hooks.notify = [&](const Message&) { ++notices; };
    FileFusionSource files = projectFusionSource(project, hooks);
    EXPECT_EQ(files.exposureCount(), 3);
    FloatImage fromFiles(kW, kH), fromMemory(kW, kH);
    NullProgress quiet;
    ASSERT_TRUE(fusePicture(files, FusionParams{}, fromFiles, quiet).ok());
    EXPECT_EQ(asked, 1);  // two readings of mid.tif, one question
    EXPECT_EQ(notices, 0);
    DecodedSource memory(project);
    ASSERT_TRUE(fusePicture(memory, FusionParams{}, fromMemory, quiet).ok());
    EXPECT_EQ(std::memcmp(fromFiles.data(), fromMemory.data(), fromFiles.sampleCount() * sizeof(float)), 0);

    // Answered Yes the second reading is gamma-corrected too: otherwise the weights of the first
    // pass would not be those of the blend and the result would differ from a consistent fusion.
    hooks.askGamma = [&] {
        ++asked;
        return true;
    };
    FileFusionSource yes = projectFusionSource(project, hooks);
    FloatImage corrected(kW, kH);
    ASSERT_TRUE(fusePicture(yes, FusionParams{}, corrected, quiet).ok());
    EXPECT_EQ(asked, 2);
    EXPECT_NE(std::memcmp(corrected.data(), fromFiles.data(), fromFiles.sampleCount() * sizeof(float)), 0);
    for (std::size_t i = 0; i < corrected.sampleCount(); ++i) ASSERT_TRUE(corrected.data()[i] >= 0.0f && corrected.data()[i] <= 1.0f);
}

TEST_F(FusionFiles, WithoutAQuestionEachFileIsReadAsItWasOpened) {
    // The window's worker and the CLI cannot ask: a 48-bit TIFF opened without gamma correction
    // must be fused without it too, and one opened with it, with it.
    NullProgress quiet;
    FloatImage previous;
    for (const bool opened : {false, true}) {
        project.exposures[1].tiffGamma = opened;
        FileFusionSource unasked = projectFusionSource(project, DecodeHooks{});
        DecodeHooks answering;
        answering.askGamma = [opened] { return opened; };
        FileFusionSource asked = projectFusionSource(project, answering);
        FloatImage a(kW, kH), b(kW, kH);
        ASSERT_TRUE(fusePicture(unasked, FusionParams{}, a, quiet).ok());
        ASSERT_TRUE(fusePicture(asked, FusionParams{}, b, quiet).ok());
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)), 0) << "opened " << opened;
        if (!previous.empty()) EXPECT_NE(std::memcmp(a.data(), previous.data(), a.sampleCount() * sizeof(float)), 0);
        previous = a.clone();
    }
}

TEST_F(FusionFiles, AFileGoneOrChangedIsReportedAndNothingIsFused) {
    FloatImage out = test::randomImage(kW, kH, 6);
    const FloatImage before = out.clone();
    NullProgress quiet;
    std::filesystem::remove(dir.file("bright.jpg"));
    FileFusionSource gone = projectFusionSource(project, DecodeHooks{});
    FusionOutcome outcome = fusePicture(gone, FusionParams{}, out, quiet);
    EXPECT_EQ(outcome.status, FusionStatus::ExposureUnavailable);
    EXPECT_EQ(outcome.exposure, 2);
    ASSERT_TRUE(gone.failure().has_value());
    EXPECT_EQ(gone.failure()->id, MessageId::CannotReadFile);

    ASSERT_TRUE(test::writeJpeg(dir.file("bright.jpg"), test::randomRgb(kW + 1, kH, 4), kW + 1, kH));
    FileFusionSource changed = projectFusionSource(project, DecodeHooks{});
    outcome = fusePicture(changed, FusionParams{}, out, quiet);
    EXPECT_EQ(outcome.status, FusionStatus::ExposureUnavailable);
    ASSERT_TRUE(changed.failure().has_value());
    EXPECT_EQ(changed.failure()->id, MessageId::FileChanged);
    EXPECT_EQ(changed.failure()->detail, "bright.jpg");
    EXPECT_EQ(std::memcmp(out.data(), before.data(), out.sampleCount() * sizeof(float)), 0);
}

TEST_F(FusionFiles, TheBracketKeyFollowsPathsShiftsAndMultipliers) {
    const std::string key = fusionBracketKey(project);
    EXPECT_EQ(fusionBracketKey(project), key);
    project.exposures[1].shiftX = 1;
    EXPECT_NE(fusionBracketKey(project), key);
    project.exposures[1].shiftX = 0;
    project.exposures[1].multiplier = 1.1f;
    EXPECT_NE(fusionBracketKey(project), key);
    project.exposures[1].multiplier = 1.0f;
    --project.exposureCount;
    EXPECT_NE(fusionBracketKey(project), key);
}

}  // namespace
}  // namespace sv
