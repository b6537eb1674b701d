// The window opens through openPictures and shows each file from its callbacks: the file's
// notices, then what became of it (shown before its add, or refused), then the add, file by file
// in their order; a second single file stays pending; the caller may add its own way or end the
// sequence; and the callbacks change nothing the open itself does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "imagefiles/file_builders.h"
#include "stack/exposure_stack.h"
#include "support/test_support.h"

namespace sv {
namespace {

constexpr int kW = 36, kH = 24;

class OpenCallbacks : public testing::Test {
protected:
    std::string jpeg(const std::string& name, int w, int h, unsigned seed) {
        EXPECT_TRUE(test::writeJpeg(dir.file(name), test::randomRgb(w, h, seed), w, h, 90));
        return dir.file(name);
    }
    test::TempDir dir;
};

// Every callback and notice as one line, in the order they came.
double stackSum(const Project& p) {
    double sum = 0.0;
    for (std::size_t i = 0; i < p.stackBuffer.sampleCount(); ++i) sum += p.stackBuffer.data()[i];
    return sum;
}

struct Log {
    std::vector<std::string> lines;
    std::vector<double> sums;  // the stack's sum when each callback came
    Project* project = nullptr;

    DecodeHooks hooks() {
        DecodeHooks h;
        h.notify = [this](const Message& m) { lines.push_back("notice " + englishText(m)); };
        return h;
    }
    OpenSequenceControl control() {
        OpenSequenceControl c;
        c.beforeAdd = [this](std::size_t k, OpenResult& result) {
            // The record is in, its picture still to be shown, the stack not yet added to.
            lines.push_back("shown " + std::to_string(k) + " count " + std::to_string(project->exposureCount) +
                            (result.bitmap.width() == kW ? " bitmap" : " no bitmap"));
            sums.push_back(stackSum(*project));
            return true;
        };
        c.notOpened = [this](std::size_t k, const OpenResult& result) {
            lines.push_back("refused " + std::to_string(k) + (result.error ? " " + englishText(*result.error) : ""));
        };
        c.afterAdd = [this](std::size_t k) {
            lines.push_back("added " + std::to_string(k));
            sums.push_back(stackSum(*project));
        };
        return c;
    }
};

bool sameStack(const Project& a, const Project& b) {
    return a.exposureCount == b.exposureCount && a.stackMax == b.stackMax && a.stackBuffer.sameSize(b.stackBuffer) &&
           std::memcmp(a.stackBuffer.data(), b.stackBuffer.data(), a.stackBuffer.sampleCount() * sizeof(float)) == 0;
}

TEST_F(OpenCallbacks, SeveralFilesAreShownRefusedAndAddedInTheirOrder) {
    const std::vector<std::string> paths = {jpeg("a.jpg", kW, kH, 1), jpeg("small.jpg", kW / 2, kH, 2),
                                            dir.file("missing.jpg"), jpeg("b.jpg", kW, kH, 3)};
    Project project;
    Log log;
    log.project = &project;
    NullProgress progress;
    const std::vector<OpenResult> results = openPictures(project, paths, log.hooks(), progress, log.control());
    ASSERT_EQ(results.size(), 4u);
    const std::vector<std::string> expected = {
        "shown 0 count 1 bitmap",
        "added 0",
        "refused 1 " + englishText(Message{MessageId::WrongImageSize}),
        "refused 2 " + englishText(*results[2].error),
        "shown 3 count 2 bitmap",
        "added 3",
    };
    EXPECT_EQ(log.lines, expected);
    // Each file is shown before it goes into the stack, and is in it when its add is told.
    ASSERT_EQ(log.sums.size(), 4u);
    EXPECT_EQ(log.sums[0], 0.0);
    EXPECT_GT(log.sums[1], log.sums[0]);
    EXPECT_EQ(log.sums[2], log.sums[1]);
    EXPECT_GT(log.sums[3], log.sums[2]);
    EXPECT_FALSE(project.openInProgress);

    // The same open without callbacks builds the same stack.
    Project plain;
    openPictures(plain, paths, DecodeHooks{}, progress);
    EXPECT_TRUE(sameStack(project, plain));
}

TEST_F(OpenCallbacks, ASecondSingleFileIsShownAndStaysPending) {
    const std::string a = jpeg("a.jpg", kW, kH, 4);
    const std::string b = jpeg("b.jpg", kW, kH, 5);
    Project project;
    Log log;
    log.project = &project;
    NullProgress progress;
    ASSERT_TRUE(openPictures(project, {a}, log.hooks(), progress, log.control()).front().opened);
    const FloatImage stackAfterFirst = project.stackBuffer.clone();
    const float maxAfterFirst = project.stackMax;
    ASSERT_GT(stackSum(project), 0.0);
    ASSERT_TRUE(openPictures(project, {b}, log.hooks(), progress, log.control()).front().opened);
    const std::vector<std::string> expected = {"shown 0 count 1 bitmap", "added 0", "shown 0 count 2 bitmap"};
    EXPECT_EQ(log.lines, expected);
    // Pending: a record, not yet in the stack.
    EXPECT_EQ(project.exposureCount, 2);
    EXPECT_EQ(project.stackMax, maxAfterFirst);
    EXPECT_EQ(std::memcmp(project.stackBuffer.data(), stackAfterFirst.data(),
                          stackAfterFirst.sampleCount() * sizeof(float)),
              0);

    // A single first file that the caller holds back is not added either.
    Project held;
    OpenSequenceControl hold;
    hold.beforeAdd = [](std::size_t, OpenResult&) { return false; };
    bool added = false;
    hold.afterAdd = [&added](std::size_t) { added = true; };
    ASSERT_TRUE(openPictures(held, {a}, DecodeHooks{}, progress, hold).front().opened);
    EXPECT_FALSE(added);
    EXPECT_EQ(stackSum(held), 0.0);
}

TEST_F(OpenCallbacks, TheCallerMayAddItsOwnWayAndStopTheSequence) {
    const std::vector<std::string> paths = {jpeg("a.jpg", kW, kH, 6), jpeg("b.jpg", kW, kH, 7),
                                            jpeg("c.jpg", kW, kH, 8)};
    Project project;
    NullProgress progress;
    std::vector<int> countsAtAdd;
    OpenSequenceControl control;
    control.add = [&](ProgressSink& p) {
        countsAtAdd.push_back(project.exposureCount);
        addExposure(project, p);
    };
    control.stopNow = [&] { return project.exposureCount == 2; };
    const std::vector<OpenResult> results = openPictures(project, paths, DecodeHooks{}, progress, control);
    // The second file is still added; the third is never opened.
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(countsAtAdd, (std::vector<int>{1, 2}));
    Project plain;
    openPictures(plain, {paths[0], paths[1]}, DecodeHooks{}, progress);
    EXPECT_TRUE(sameStack(project, plain));
    EXPECT_FALSE(project.openInProgress);
}

}  // namespace
}  // namespace sv
