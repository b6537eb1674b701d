// The exposure stack: weights, shifted adds, stackMax, opening rules and removal, checked against a
// direct version of the add written straight from its description.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "stack/exposure_stack.h"
#include "support/test_support.h"

namespace sv {
namespace {

using test::TempDir;

// Direct add: every stack pixel (x, y) takes new pixel (x - shiftX, y - shiftY) when it exists.
float referenceAdd(std::vector<float>& stack, const FloatImage& image, const ExposureRecord& r, bool subtract) {
    const int w = image.width(), h = image.height();
    float stackMax = 0.0f;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int sx = x - r.shiftX, sy = y - r.shiftY;
            if (sx < 0 || sx >= w || sy < 0 || sy >= h) continue;
            float l = 0.0f;
            for (int c = 0; c < 3; ++c) l = std::max(l, image.at(sx, sy, c));
            const float weight = static_cast<float>(1.0 / (0.7 * l + 1.0));
            for (int c = 0; c < 3; ++c) {
                float& s = stack[(static_cast<std::size_t>(y) * w + x) * 3 + c];
                const float term = weight * r.multiplier * image.at(sx, sy, c);
                s = subtract ? s - term : s + term;
                if (s > stackMax) stackMax = s;
            }
        }
    }
    return stackMax == 0.0f ? 1.0f : stackMax;
}

// A project with buffers of the given size, as the first open leaves it.
Project projectOfSize(int w, int h) {
    Project p;
    p.imageWidth = w;
    p.imageHeight = h;
    p.stackBuffer = FloatImage(w, h);
    p.newImageBuffer = FloatImage(w, h);
    p.buffersAllocated = true;
    return p;
}

std::vector<float> samplesOf(const FloatImage& image) {
    return std::vector<float>(image.data(), image.data() + image.sampleCount());
}

TEST(ExposureWeight, FallsWithTheBrightestChannel) {
    EXPECT_FLOAT_EQ(exposureWeight(0, 0, 0), 1.0f);
    EXPECT_FLOAT_EQ(exposureWeight(1, 1, 1), static_cast<float>(1.0 / 1.7));
    // Negative samples count as 0; the largest channel decides.
    EXPECT_FLOAT_EQ(exposureWeight(-3, -1, -2), 1.0f);
    EXPECT_FLOAT_EQ(exposureWeight(0.2f, 0.9f, -1), exposureWeight(0.9f, 0, 0));
    // A pure white 8-bit pixel adds about 0.5869 per channel at multiplier 1.
    const float v = 255.0f / 256.0f;
    EXPECT_NEAR(exposureWeight(v, v, v) * v, 0.5869, 5e-5);
}

TEST(AddExposure, MatchesTheDirectAddForShiftsOfBothSignsAndMultipliers) {
    struct Case { int shiftX, shiftY; float multiplier; };
    const Case cases[] = {{0, 0, 1.0f}, {5, 0, 1.0f}, {-5, 0, 1.0f}, {3, -7, 0.3f}, {-2, 4, 10.0f},
                          {40, 0, 1.0f}, {0, -30, 1.0f}, {-39, 29, 1.0f}};
    unsigned seed = 1;
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "shift " << k.shiftX << "," << k.shiftY << " x" << k.multiplier);
        Project p = projectOfSize(40, 30);
        // A stack that already holds something, and a new image with negative and >1 samples.
        FloatImage before = test::randomImage(40, 30, seed++, 0.0f, 2.0f);
        p.stackBuffer = before.clone();
        p.newImageBuffer = test::randomImage(40, 30, seed++, -0.2f, 1.5f);
        p.exposureCount = 2;
        p.exposures[1] = ExposureRecord{k.multiplier, "x.jpg", k.shiftX, k.shiftY};
        std::vector<float> expected = samplesOf(before);
        const float expectedMax = referenceAdd(expected, p.newImageBuffer, p.exposures[1], false);
        NullProgress progress;
        addExposure(p, progress);
        EXPECT_EQ(samplesOf(p.stackBuffer), expected);
        EXPECT_EQ(p.stackMax, expectedMax);
        EXPECT_FALSE(p.wholeImageProcessed);
    }
}

TEST(AddExposure, LeavesUncoveredColumnsAndKeepsStackMaxOfTouchedPixelsOnly) {
    Project p = projectOfSize(20, 4);
    p.stackBuffer.fill(7.0f);  // larger than anything the add can produce in the touched pixels
    p.newImageBuffer.fill(0.5f);
    p.exposureCount = 2;
    p.exposures[1].shiftX = 5;
    for (int x = 5; x < 20; ++x) p.stackBuffer.at(x, 0, 0) = 0.0f;
    NullProgress progress;
    addExposure(p, progress);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) EXPECT_EQ(p.stackBuffer.at(x, y, 1), 7.0f);
    }
    EXPECT_GT(p.stackBuffer.at(5, 0, 1), 7.0f);
    // The five left columns hold 7 but were not touched: stackMax comes from the touched ones.
    EXPECT_FLOAT_EQ(p.stackMax, 7.0f + 0.5f / 1.35f);

    Project black = projectOfSize(8, 8);
    black.exposureCount = 1;
    addExposure(black, progress);
    EXPECT_EQ(black.stackMax, 1.0f);
}

TEST(AddExposure, AdvancesTheGaugeOncePerRowAndLeavesItAtRest) {
    Project p = projectOfSize(16, 9);
    p.exposureCount = 1;
    AtomicProgress progress;
    progress.setMaximum(9);
    struct Spy : AtomicProgress {
        std::int64_t steps = 0;
        void advance(std::int64_t n) override { steps += n; AtomicProgress::advance(n); }
    } spy;
    addExposure(p, spy);
    EXPECT_EQ(spy.steps, 9);
    EXPECT_EQ(spy.position(), 0);
    EXPECT_FALSE(spy.textVisible());
}

TEST(Project, PreviewRectIsCentred320x240CutToThePicture) {
    EXPECT_EQ(centredPreviewRect(100, 80), (Region{0, 100, 0, 80}));
    EXPECT_EQ(centredPreviewRect(1000, 800), (Region{340, 320, 280, 240}));
    EXPECT_EQ(centredPreviewRect(321, 241), (Region{0, 320, 0, 240}));
    EXPECT_EQ(centredPreviewRect(330, 100), (Region{5, 320, 0, 100}));
    EXPECT_EQ(centredPreviewRect(1, 1), (Region{0, 1, 0, 1}));
}

TEST(Project, MultiplierStepsInTenthsBetweenOneAndHundred) {
    Project p = projectOfSize(4, 4);
    p.exposureCount = 1;
    std::string text;
    for (int i = 0; i < 12; ++i) text = stepMultiplier(p, false);
    EXPECT_EQ(text, "0.1");
    EXPECT_EQ(p.multiplierTenths, 1);
    EXPECT_FLOAT_EQ(p.exposures[0].multiplier, 0.1f);
    for (int i = 0; i < 120; ++i) text = stepMultiplier(p, true);
    EXPECT_EQ(text, "10.0");
    EXPECT_EQ(p.multiplierTenths, 100);
    EXPECT_EQ(multiplierText(10), "1.0");
    EXPECT_EQ(multiplierText(3), "0.3");
}

TEST(Project, ResetReleasesOnceAndEmptiesTheProject) {
    Project p = projectOfSize(10, 10);
    p.processedBuffer = FloatImage(10, 10);
    p.processedCopy = FloatImage(10, 10);
    p.exposureCount = 3;
    p.previewRect = Region{1, 2, 3, 4};
    p.exposures[0].shiftX = 9;
    p.wholeImageProcessed = true;
    resetProject(p);
    EXPECT_EQ(p.exposureCount, 0);
    EXPECT_EQ(p.imageWidth, 0);
    EXPECT_EQ(p.imageHeight, 0);
    EXPECT_EQ(p.previewRect, Region{});
    EXPECT_FALSE(p.buffersAllocated);
    EXPECT_TRUE(p.stackBuffer.empty() && p.newImageBuffer.empty() && p.processedBuffer.empty() &&
                p.processedCopy.empty());
    EXPECT_EQ(p.exposures[0].shiftX, 0);
    EXPECT_FALSE(p.wholeImageProcessed);
    resetProject(p);  // nothing left to release
    EXPECT_FALSE(p.buffersAllocated);
}

// --- Opening and removing real files -------------------------------------------------------

class StackFiles : public testing::Test {
protected:
    // Writes a JPEG of reproducible random content and returns its path.
    std::string jpeg(const std::string& name, int w, int h, unsigned seed) {
        const std::string path = dir.file(name);
        EXPECT_TRUE(test::writeJpeg(path, test::randomRgb(w, h, seed), w, h, 90));
        return path;
    }
    std::vector<OpenResult> open(const std::vector<std::string>& paths) {
        return openPictures(project, paths, hooks, progress);
    }
    TempDir dir;
    Project project;
    DecodeHooks hooks;
    NullProgress progress;
};

TEST_F(StackFiles, FirstPictureIsAddedAtOnceAndALaterOneWaits) {
    const std::string a = jpeg("a.jpg", 24, 16, 1), b = jpeg("b.JPG", 24, 16, 2);
    auto first = open({a});
    ASSERT_TRUE(first[0].opened);
    EXPECT_EQ(project.exposureCount, 1);
    EXPECT_TRUE(project.buffersAllocated);
    EXPECT_EQ(project.processedBuffer.width(), 24);
    EXPECT_EQ(project.previewRect, (Region{0, 24, 0, 16}));
    EXPECT_EQ(first[0].bitmap.width(), 24);

    std::vector<float> stackAfterFirst = samplesOf(project.stackBuffer);
    std::vector<float> expected(stackAfterFirst.size(), 0.0f);
    DecodedPicture decodedA = decodeJpegFile(a, progress);
    EXPECT_EQ(referenceAdd(expected, decodedA.pixels, project.exposures[0], false), project.stackMax);
    EXPECT_EQ(stackAfterFirst, expected);

    auto second = open({b});  // upper-case extension is recognised
    ASSERT_TRUE(second[0].opened);
    EXPECT_EQ(project.exposureCount, 2);
    EXPECT_EQ(samplesOf(project.stackBuffer), stackAfterFirst) << "a single later picture waits for Add";
    addExposure(project, progress);
    EXPECT_NE(samplesOf(project.stackBuffer), stackAfterFirst);
}

TEST_F(StackFiles, SeveralAtOnceAreAddedAndAWrongSizeIsSkipped) {
    const std::string a = jpeg("a.jpg", 20, 10, 1), odd = jpeg("odd.jpg", 21, 10, 2), c = jpeg("c.jpeg", 20, 10, 3);
    auto results = open({a, odd, c});
    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(results[0].opened);
    EXPECT_FALSE(results[1].opened);
    ASSERT_TRUE(results[1].error);
    EXPECT_EQ(englishText(*results[1].error), "Wrong image size!");
    EXPECT_TRUE(results[2].opened);
    EXPECT_EQ(project.exposureCount, 2);
    EXPECT_EQ(project.exposures[1].path, c);
    EXPECT_EQ(project.exposures[1].multiplier, 1.0f);

    std::vector<float> expected(project.stackBuffer.sampleCount(), 0.0f);
    referenceAdd(expected, decodeJpegFile(a, progress).pixels, project.exposures[0], false);
    const float max = referenceAdd(expected, decodeJpegFile(c, progress).pixels, project.exposures[1], false);
    EXPECT_EQ(samplesOf(project.stackBuffer), expected);
    EXPECT_EQ(project.stackMax, max);
}

TEST_F(StackFiles, UnusableFilesLeaveTheProjectExactlyAsItWas) {
    const std::string good = jpeg("good.jpg", 12, 8, 5);
    const std::string text = dir.file("notes.jpg");
    test::writeBytes(text, "this is not a picture");
    const std::string truncated = dir.file("cut.jpg");
    test::writeBytes(truncated, test::readBytes(good).substr(0, 20));
    const std::string unknown = dir.file("picture.png");
    test::writeBytes(unknown, test::readBytes(good));
    const std::string renamedPng = dir.file("fake.bmp");
    test::writeBytes(renamedPng, "\x89PNG\r\n\x1a\n0000000000000000000000000000");

    for (const std::string& bad : {text, truncated, unknown, renamedPng, dir.file("missing.jpg")}) {
        SCOPED_TRACE(bad);
        auto r = open({bad});
        EXPECT_FALSE(r[0].opened);
        EXPECT_TRUE(r[0].error.has_value());
        EXPECT_FALSE(r[0].fatal);
        EXPECT_EQ(project.exposureCount, 0);
        EXPECT_FALSE(project.buffersAllocated) << "no 0 x 0 project";
        EXPECT_EQ(project.imageWidth, 0);
    }
    ASSERT_TRUE(open({good})[0].opened);
    const std::vector<float> stack = samplesOf(project.stackBuffer);
    for (const std::string& bad : {text, unknown}) {
        EXPECT_FALSE(open({bad})[0].opened);
        EXPECT_EQ(project.exposureCount, 1);
        EXPECT_EQ(samplesOf(project.stackBuffer), stack);
    }
}

TEST_F(StackFiles, AnAbsurdSizeGivesNotEnoughMemoryInsteadOfACrash) {
    // A real JPEG whose frame header claims 65000 x 65000 pixels (about 50 GB of floats).
    std::string bytes = test::readBytes(jpeg("small.jpg", 16, 16, 7));
    const std::size_t sof = bytes.find("\xFF\xC0", 2);
    ASSERT_NE(sof, std::string::npos);
    bytes[sof + 5] = '\xFD'; bytes[sof + 6] = '\xE8';  // height 65000
    bytes[sof + 7] = '\xFD'; bytes[sof + 8] = '\xE8';  // width 65000
    const std::string huge = dir.file("huge.jpg");
    test::writeBytes(huge, bytes);
    auto r = open({huge});
    EXPECT_FALSE(r[0].opened);
    ASSERT_TRUE(r[0].error);
    EXPECT_EQ(englishText(*r[0].error), "Not enough memory!");
    EXPECT_FALSE(project.buffersAllocated);

    // Into an existing project the same file is simply of the wrong size.
    ASSERT_TRUE(open({jpeg("ok.jpg", 16, 16, 8)})[0].opened);
    r = open({huge});
    ASSERT_TRUE(r[0].error);
    EXPECT_EQ(englishText(*r[0].error), "Wrong image size!");
    EXPECT_EQ(project.exposureCount, 1);
}

TEST_F(StackFiles, HundredPicturesAreAcceptedAndTheHundredAndFirstRefused) {
    const std::string a = jpeg("tiny.jpg", 3, 2, 9);
    std::vector<std::string> many(100, a);
    auto results = open(many);
    EXPECT_EQ(project.exposureCount, 100);
    EXPECT_TRUE(results.back().opened);
    auto extra = open({a, a});
    EXPECT_FALSE(extra[0].opened);
    ASSERT_TRUE(extra[0].error);
    EXPECT_EQ(englishText(*extra[0].error), "Too many images!");
    EXPECT_EQ(project.exposureCount, 100);
}

TEST_F(StackFiles, RemovingTheOnlyPictureReturnsTheStackToZero) {
    const std::string a = jpeg("a.jpg", 30, 20, 11);
    ASSERT_TRUE(open({a})[0].opened);
    const RemoveResult r = removeExposure(project, 0, hooks, progress);
    ASSERT_TRUE(r.removed);
    EXPECT_EQ(project.exposureCount, 0);
    EXPECT_EQ(project.stackMax, 1.0f);
    for (std::size_t i = 0; i < project.stackBuffer.sampleCount(); ++i) {
        ASSERT_NEAR(project.stackBuffer.data()[i], 0.0f, 1e-6f);
    }
    EXPECT_TRUE(project.buffersAllocated) << "the size and buffers stay until the next first picture";

    // The next picture starts a new project of any size.
    ASSERT_TRUE(open({jpeg("b.jpg", 7, 5, 12)})[0].opened);
    EXPECT_EQ(project.imageWidth, 7);
    EXPECT_EQ(project.stackBuffer.width(), 7);
    EXPECT_EQ(project.processedCopy.height(), 5);
    EXPECT_EQ(project.exposureCount, 1);
}

TEST_F(StackFiles, RemovingTheMiddleOneSubtractsItsShiftedContributionAndMovesRecordsUp) {
    const std::string a = jpeg("a.jpg", 30, 20, 21), b = jpeg("b.jpg", 30, 20, 22), c = jpeg("c.jpg", 30, 20, 23);
    ASSERT_TRUE(open({a})[0].opened);
    ASSERT_TRUE(open({b})[0].opened);
    project.exposures[1].shiftX = 5;
    project.exposures[1].shiftY = -2;
    project.exposures[1].multiplier = 0.5f;
    addExposure(project, progress);
    ASSERT_TRUE(open({c})[0].opened);
    project.exposures[2].shiftX = -3;
    addExposure(project, progress);
    const ExposureRecord third = project.exposures[2];

    // What must remain: a and c added, b added then taken off again, in that order.
    std::vector<float> expected(project.stackBuffer.sampleCount(), 0.0f);
    const ExposureRecord recA = project.exposures[0], recB = project.exposures[1];
    referenceAdd(expected, decodeJpegFile(a, progress).pixels, recA, false);
    const FloatImage pixelsB = decodeJpegFile(b, progress).pixels;
    referenceAdd(expected, pixelsB, recB, false);
    referenceAdd(expected, decodeJpegFile(c, progress).pixels, third, false);
    const float expectedMax = referenceAdd(expected, pixelsB, recB, true);

    const RemoveResult r = removeExposure(project, 1, hooks, progress);
    ASSERT_TRUE(r.removed);
    EXPECT_EQ(project.exposureCount, 2);
    EXPECT_EQ(project.exposures[1].path, third.path);
    EXPECT_EQ(project.exposures[1].shiftX, -3);
    EXPECT_EQ(project.exposures[1].multiplier, third.multiplier);
    EXPECT_EQ(samplesOf(project.stackBuffer), expected);
    EXPECT_EQ(project.stackMax, expectedMax);
    EXPECT_FALSE(project.wholeImageProcessed);
}

TEST_F(StackFiles, RemovalRefusesAFileThatIsGoneOrChangedAndKeepsTheStack) {
    const std::string a = jpeg("a.jpg", 16, 12, 31), b = jpeg("b.jpg", 16, 12, 32);
    ASSERT_EQ(open({a, b}).size(), 2u);
    ASSERT_EQ(project.exposureCount, 2);
    const std::vector<float> stack = samplesOf(project.stackBuffer);
    const float max = project.stackMax;

    std::filesystem::remove(a);
    RemoveResult r = removeExposure(project, 0, hooks, progress);
    EXPECT_FALSE(r.removed);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->id, MessageId::CannotReadFile);

    jpeg("b.jpg", 17, 12, 33);  // replaced by a picture of another size
    r = removeExposure(project, 1, hooks, progress);
    EXPECT_FALSE(r.removed);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->id, MessageId::FileChanged);

    EXPECT_EQ(project.exposureCount, 2);
    EXPECT_EQ(samplesOf(project.stackBuffer), stack);
    EXPECT_EQ(project.stackMax, max);
    EXPECT_EQ(removeExposure(project, 5, hooks, progress).error->id, MessageId::NoExposureSelected);
}

}  // namespace
}  // namespace sv
