// Opening several files decodes the next while the current one is added. What comes out must be
// what opening them one after another gives: the stack's bits, the records, the results and the
// notices in the order of the files; and a memory refusal says what was needed and available.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "imagefiles/file_builders.h"
#include "stack/exposure_stack.h"
#include "support/test_support.h"

namespace sv {
namespace {

using test::Bytes;

constexpr int kW = 40, kH = 28;

class OpenSequence : public testing::Test {
protected:
    void TearDown() override { setMemoryBudget(std::nullopt); }

    std::string jpeg(const std::string& name, int w, int h, unsigned seed) {
        EXPECT_TRUE(test::writeJpeg(dir.file(name), test::randomRgb(w, h, seed), w, h, 90));
        return dir.file(name);
    }
    std::string tiff(const std::string& name, int predictor, unsigned seed) {
        test::TiffSpec t;
        t.width = kW;
        t.height = kH;
        t.bits = 16;
        t.compression = 8;
        t.rowsPerStrip = 3;
        t.predictor = predictor;
        std::mt19937 rng(seed);
        t.samples.resize(std::size_t(kW) * kH * 3);
        for (auto& v : t.samples) v = rng() & 0xFFFF;
        const Bytes b = test::buildTiff(t);
        test::writeBytes(dir.file(name), std::string(b.begin(), b.end()));
        return dir.file(name);
    }
    std::vector<std::string> mixedFiles() {
        return {jpeg("a.jpg", kW, kH, 1), jpeg("small.jpg", kW / 2, kH, 2),  tiff("pred.tif", 2, 3),
                tiff("deep.tif", 1, 4),   dir.file("missing.jpg"),           jpeg("b.jpg", kW, kH, 5),
                jpeg("c.jpg", kW, kH, 6)};
    }
    test::TempDir dir;
};

struct Opened {
    Project project;
    std::vector<OpenResult> results;
    std::vector<std::string> notices;  // in the order they arrived
};

DecodeHooks recording(std::vector<std::string>& notices) {
    DecodeHooks h;
    h.notify = [&notices](const Message& m) { notices.push_back(englishText(m)); };
    h.askGamma = [] { return false; };
    return h;
}

// The files one after another on one thread, as opening did before the overlap.
void openOneByOne(Opened& o, const std::vector<std::string>& paths, bool batch) {
    NullProgress progress;
    const DecodeHooks h = recording(o.notices);
    o.project.openInProgress = true;
    for (const std::string& path : paths) {
        o.results.push_back(loadPicture(o.project, path, batch, h, progress));
        if (o.results.back().opened) addExposure(o.project, progress);
    }
    o.project.openInProgress = false;
}

void expectSameOutcome(const Opened& a, const Opened& b) {
    ASSERT_EQ(a.results.size(), b.results.size());
    for (std::size_t k = 0; k < a.results.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(a.results[k].opened, b.results[k].opened);
        EXPECT_EQ(a.results[k].readerError, b.results[k].readerError);
        ASSERT_EQ(a.results[k].error.has_value(), b.results[k].error.has_value());
        if (a.results[k].error) {
            EXPECT_EQ(englishText(*a.results[k].error), englishText(*b.results[k].error));
        }
    }
    EXPECT_EQ(a.notices, b.notices);
    ASSERT_EQ(a.project.exposureCount, b.project.exposureCount);
    for (int i = 0; i < a.project.exposureCount; ++i) {
        EXPECT_EQ(a.project.exposures[i].path, b.project.exposures[i].path);
        EXPECT_EQ(a.project.exposures[i].tiffGamma, b.project.exposures[i].tiffGamma);
        EXPECT_EQ(a.project.exposures[i].shiftX, b.project.exposures[i].shiftX);
    }
    EXPECT_EQ(a.project.stackMax, b.project.stackMax);
    ASSERT_TRUE(a.project.stackBuffer.sameSize(b.project.stackBuffer));
    EXPECT_EQ(std::memcmp(a.project.stackBuffer.data(), b.project.stackBuffer.data(),
                          a.project.stackBuffer.sampleCount() * sizeof(float)),
              0);
    EXPECT_EQ(std::memcmp(a.project.newImageBuffer.data(), b.project.newImageBuffer.data(),
                          a.project.newImageBuffer.sampleCount() * sizeof(float)),
              0);
}

TEST_F(OpenSequence, AFailingFileInTheMiddleIsSkippedAndTheRestIsAsOneByOne) {
    const std::vector<std::string> paths = mixedFiles();
    Opened overlapped, reference;
    NullProgress progress;
    overlapped.results = openPictures(overlapped.project, paths, recording(overlapped.notices), progress);
    openOneByOne(reference, paths, true);
    expectSameOutcome(overlapped, reference);
    // Sanity of the mix: the wrong size, the predictor notice and the missing file are skipped.
    EXPECT_EQ(overlapped.project.exposureCount, 4);
    EXPECT_EQ(overlapped.notices.size(), 1u);
    EXPECT_FALSE(overlapped.project.openInProgress);
}

TEST_F(OpenSequence, StoppingAtAFailureAndTakingARecordBackLeaveTheRestUnopened) {
    const std::vector<std::string> paths = {jpeg("a.jpg", kW, kH, 1), jpeg("b.jpg", kW, kH, 2),
                                            tiff("pred.tif", 2, 3), jpeg("c.jpg", kW, kH, 4)};
    Opened o;
    NullProgress progress;
    std::vector<std::size_t> asked;
    OpenSequenceControl control;
    control.stopAtFailure = true;
    control.beforeAdd = [&](std::size_t k, OpenResult&) {
        asked.push_back(k);
        Project& p = o.project;
        if (k == 1) {  // the second file is shifted before it is added
            p.newestExposure().shiftX = 3;
            return true;
        }
        return true;
    };
    o.results = openSequence(o.project, paths, false, recording(o.notices), progress, control);
    ASSERT_EQ(o.results.size(), 3u) << "the predictor TIFF stops the run; c.jpg is never opened";
    EXPECT_FALSE(o.results[2].opened);
    EXPECT_EQ(asked, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(o.project.exposureCount, 2);
    EXPECT_EQ(o.project.exposures[1].shiftX, 3);
    EXPECT_EQ(o.notices.size(), 1u);

    // The same two files one by one, the second shifted, give the same stack.
    Opened r;
    r.project.openInProgress = true;
    const DecodeHooks h = recording(r.notices);
    for (int k = 0; k < 2; ++k) {
        ASSERT_TRUE(loadPicture(r.project, paths[k], false, h, progress).opened);
        if (k == 1) r.project.newestExposure().shiftX = 3;
        addExposure(r.project, progress);
    }
    EXPECT_EQ(std::memcmp(o.project.stackBuffer.data(), r.project.stackBuffer.data(),
                          o.project.stackBuffer.sampleCount() * sizeof(float)),
              0);

    // A caller that takes the record back out (the CLI, on a reader notice) stops the run there.
    Opened back;
    control.beforeAdd = [&](std::size_t k, OpenResult&) {
        if (k == 0) return true;
        --back.project.exposureCount;
        return false;
    };
    back.results = openSequence(back.project, paths, false, recording(back.notices), progress, control);
    EXPECT_EQ(back.results.size(), 2u);
    EXPECT_EQ(back.project.exposureCount, 1);
}

TEST_F(OpenSequence, AMemoryRefusalCarriesWhatWasNeededAndWhatWasAvailable) {
    const std::string a = jpeg("a.jpg", kW, kH, 1);
    // Room for the decode but not for the project the first picture starts.
    // (A baseline JPEG's scratch is a band of rows and 1 MB; the project adds four pictures.)
    const std::uint64_t budget = pictureNeed(kW, kH).bytes + kW * 256u + (1u << 20) + 20000;
    setMemoryBudget(budget);
    Opened o;
    NullProgress progress;
    o.results = openPictures(o.project, {a, a}, recording(o.notices), progress);
    ASSERT_FALSE(o.results[0].opened);
    ASSERT_TRUE(o.results[0].error);
    const Message& m = *o.results[0].error;
    EXPECT_EQ(m.id, MessageId::NotEnoughMemory);
    EXPECT_EQ(englishText(m), "Not enough memory!");
    EXPECT_GE(m.bytesNeeded, projectNeed(kW, kH).bytes);
    EXPECT_GT(m.bytesNeeded, m.bytesAvailable);
    EXPECT_EQ(m.bytesAvailable, budget);
    EXPECT_EQ(o.project.exposureCount, 0);
}

}  // namespace
}  // namespace sv
