// Files the project must not take: incomplete, undecodable, of another size, too large for the
// memory, or not regular files. Each leaves the project exactly as it was, a pending new image
// included; removal refuses them the same way.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "imagefiles/file_builders.h"
#include "imagefiles/bmp_writer.h"
#include "stack/exposure_stack.h"
#include "support/test_support.h"

namespace sv {
namespace {

using test::Bytes;

std::vector<float> samplesOf(const FloatImage& image) {
    return std::vector<float>(image.data(), image.data() + image.sampleCount());
}

class OpenRefusals : public testing::Test {
protected:
    void TearDown() override { setMemoryBudget(std::nullopt); }

    std::string write(const std::string& name, const Bytes& bytes) {
        test::writeBytes(dir.file(name), std::string(bytes.begin(), bytes.end()));
        return dir.file(name);
    }
    std::string jpeg(const std::string& name, unsigned seed) {
        EXPECT_TRUE(test::writeJpeg(dir.file(name), test::randomRgb(kW, kH, seed), kW, kH, 90));
        return dir.file(name);
    }
    std::string bmp(const std::string& name, int w, int h, unsigned seed) {
        DisplayBitmap b(w, h);
        const auto rgb = test::randomRgb(w, h, seed);
        for (int i = 0; i < w * h; ++i) b.data()[i] = packRgb(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
        return write(name, encodeBmp24(b));
    }
    // Damaged files of the project's size, one of each kind.
    std::vector<std::string> badFiles() {
        std::vector<std::string> files;
        const std::string whole = test::readBytes(jpeg("whole.jpg", 50));
        files.push_back(write("cut.jpg", Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() * 2 / 3))));
        test::BmpSpec b;
        b.width = kW;
        b.height = kH;
        files.push_back(write("header-only.bmp", test::buildBmp(b)));
        std::vector<std::uint8_t> rgbe(std::size_t(kW) * kH * 4, 130);
        const Bytes hdr = test::buildRgbe(kW, kH, rgbe);
        files.push_back(write("short.hdr", Bytes(hdr.begin(), hdr.end() - 30)));
        test::TiffSpec t = test::uniformTiff(kW, kH, 77);
        Bytes noCounts = test::buildTiff(t);
        // StripByteCounts (279) renamed to a tag nobody reads.
        for (std::size_t at = noCounts[4] | (noCounts[5] << 8), i = 0; i < 12; ++i) {
            const std::size_t e = at + 2 + 12 * i;
            if (e + 1 < noCounts.size() && (noCounts[e] | (noCounts[e + 1] << 8)) == 279) noCounts[e] = 0xE0, noCounts[e + 1] = 0xFF;
        }
        files.push_back(write("no-counts.tif", noCounts));
        // Undecodable TIFFs: told by their notices, not added.
        t.compression = 5;
        files.push_back(write("lzw.tif", test::buildTiff(t)));
        t.compression = 8;
        t.predictor = 2;
        files.push_back(write("predictor.tif", test::buildTiff(t)));
        return files;
    }
    std::vector<OpenResult> open(const std::vector<std::string>& paths) {
        return openPictures(project, paths, hooks(), progress);
    }
    DecodeHooks hooks() {
        DecodeHooks h;
        h.notify = [this](const Message& m) { notices.push_back(m); };
        return h;
    }
    void expectRefused(const OpenResult& r, const std::string& path) {
        EXPECT_FALSE(r.opened);
        EXPECT_FALSE(r.fatal);
        const bool reader = path.find("lzw") != std::string::npos || path.find("predictor") != std::string::npos;
        if (reader) {
            EXPECT_TRUE(r.readerError);
            EXPECT_FALSE(r.error.has_value());
            ASSERT_FALSE(notices.empty());
        } else {
            ASSERT_TRUE(r.error.has_value());
            EXPECT_EQ(r.error->id, MessageId::IncompleteFile);
            EXPECT_EQ(r.error->detail, fileNameOf(path));
        }
    }

    static constexpr int kW = 40;
    static constexpr int kH = 30;
    test::TempDir dir;
    Project project;
    NullProgress progress;
    std::vector<Message> notices;
};

TEST_F(OpenRefusals, IncompleteAndUndecodableFilesNeverStartAProject) {
    for (const std::string& path : badFiles()) {
        SCOPED_TRACE(path);
        notices.clear();
        const auto r = open({path});
        expectRefused(r[0], path);
        EXPECT_EQ(project.exposureCount, 0);
        EXPECT_FALSE(project.buffersAllocated);
        EXPECT_EQ(project.imageWidth, 0);
    }
}

TEST_F(OpenRefusals, APendingOpenOfABadFileLeavesTheProjectAsItWas) {
    ASSERT_TRUE(open({jpeg("a.jpg", 1)})[0].opened);
    ASSERT_TRUE(open({jpeg("b.jpg", 2)})[0].opened);  // pending, shifted by the user
    project.exposures[1].shiftX = 3;
    project.exposures[1].multiplier = 0.5f;
    project.previewRect = Region{2, 10, 3, 8};
    const std::vector<float> stack = samplesOf(project.stackBuffer), newImage = samplesOf(project.newImageBuffer);
    const float stackMax = project.stackMax;
    const ExposureRecord pending = project.exposures[1];
    for (const std::string& path : badFiles()) {
        SCOPED_TRACE(path);
        notices.clear();
        project.openInProgress = true;
        const OpenResult r = loadPicture(project, path, false, hooks(), progress);
        project.openInProgress = false;
        expectRefused(r, path);
        EXPECT_EQ(project.exposureCount, 2);
        EXPECT_EQ(samplesOf(project.stackBuffer), stack);
        EXPECT_EQ(samplesOf(project.newImageBuffer), newImage) << "the pending picture is kept";
        EXPECT_EQ(project.stackMax, stackMax);
        EXPECT_EQ(project.exposures[1].path, pending.path);
        EXPECT_EQ(project.exposures[1].shiftX, 3);
        EXPECT_EQ(project.exposures[1].multiplier, 0.5f);
        EXPECT_EQ(project.exposures[2].path, "");
        EXPECT_EQ(project.previewRect, (Region{2, 10, 3, 8}));
    }
    // The pending picture is still the one Add merges.
    addExposure(project, progress);
    EXPECT_EQ(project.exposureCount, 2);
}

TEST_F(OpenRefusals, InABatchTheBadFilesAreSkippedAndTheOthersAdded) {
    std::vector<std::string> batch = {jpeg("a.jpg", 1)};
    for (const std::string& bad : badFiles()) batch.push_back(bad);
    batch.push_back(jpeg("c.jpg", 3));
    const auto results = open(batch);
    EXPECT_TRUE(results.front().opened);
    EXPECT_TRUE(results.back().opened);
    EXPECT_EQ(project.exposureCount, 2);
    EXPECT_EQ(project.exposures[1].path, batch.back());
}

TEST_F(OpenRefusals, AFifoOrDeviceIsRefusedWithoutBlocking) {
    const std::string fifo = dir.file("pipe.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Keeps a writer open for the test's life: should a regression open the FIFO blocking, the
    // open returns and the read finds no data instead of hanging the suite.
    const int guard = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(guard, 0);
    std::filesystem::create_symlink("/dev/urandom", dir.file("noise.bmp"));
    for (const std::string& path : {fifo, dir.file("noise.bmp")}) {
        const auto r = open({path});
        EXPECT_FALSE(r[0].opened);
        ASSERT_TRUE(r[0].error);
        EXPECT_EQ(r[0].error->id, MessageId::NotRegularFile);
        EXPECT_EQ(project.exposureCount, 0);
    }
    ::close(guard);
}

TEST_F(OpenRefusals, AnotherSizeIsRefusedBeforeItsMemoryIsLookedAt) {
    ASSERT_TRUE(open({bmp("a.bmp", 64, 48, 1)})[0].opened);
    // A budget too small for any decode: the size decides first.
    setMemoryBudget(std::uint64_t(1) << 20);
    const std::string other = bmp("other.bmp", 65, 48, 2);
    const auto r = open({other});
    ASSERT_TRUE(r[0].error);
    EXPECT_EQ(r[0].error->id, MessageId::WrongImageSize);
}

TEST_F(OpenRefusals, AFirstPictureNeedsRoomForTheWholeProjectALaterOneForItsDecode) {
    const int w = 64, h = 48;
    const std::string a = bmp("a.bmp", w, h, 1), b = bmp("b.bmp", w, h, 2);
    const std::uint64_t decode = pictureNeed(w, h).bytes;     // what the BMP decode takes
    const std::uint64_t whole = projectNeed(w, h).bytes;
    ASSERT_LT(decode * 2, whole);
    setMemoryBudget(decode + 1000);
    auto r = open({a});
    EXPECT_FALSE(r[0].opened);
    ASSERT_TRUE(r[0].error);
    EXPECT_EQ(r[0].error->id, MessageId::NotEnoughMemory);
    EXPECT_FALSE(r[0].fatal) << "nothing was obtained, so nothing is lost";
    EXPECT_FALSE(project.buffersAllocated);

    setMemoryBudget(whole);
    ASSERT_TRUE(open({a})[0].opened);
    // A later picture only needs its own decode.
    setMemoryBudget(decode + 1000);
    EXPECT_TRUE(open({b})[0].opened);
    addExposure(project, progress);
    // A new first picture may count the buffers it replaces as free.
    setMemoryBudget(std::nullopt);
    ASSERT_TRUE(removeExposure(project, 1, hooks(), progress).removed);
    ASSERT_TRUE(removeExposure(project, 0, hooks(), progress).removed);
    ASSERT_TRUE(project.buffersAllocated);
    setMemoryBudget(whole - 4 * floatPictureNeed(w, h).bytes);
    EXPECT_TRUE(open({a})[0].opened);
}

TEST_F(OpenRefusals, RemovalRefusesAFileThatNoLongerDecodesWhole) {
    const std::string a = jpeg("a.jpg", 11), b = jpeg("b.jpg", 12);
    ASSERT_EQ(open({a, b}).size(), 2u);
    ASSERT_EQ(project.exposureCount, 2);
    const std::vector<float> stack = samplesOf(project.stackBuffer);
    const std::string whole = test::readBytes(a);
    test::writeBytes(a, whole.substr(0, whole.size() / 2));
    RemoveResult r = removeExposure(project, 0, hooks(), progress);
    EXPECT_FALSE(r.removed);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->id, MessageId::IncompleteFile);

    std::filesystem::remove(b);
    ASSERT_EQ(mkfifo(b.c_str(), 0600), 0);
    const int guard = ::open(b.c_str(), O_RDWR | O_NONBLOCK);
    r = removeExposure(project, 1, hooks(), progress);
    ::close(guard);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->id, MessageId::NotRegularFile);
    EXPECT_EQ(project.exposureCount, 2);
    EXPECT_EQ(samplesOf(project.stackBuffer), stack);
}

TEST_F(OpenRefusals, RemovalRefusesATiffTheReaderNoLongerDecodes) {
    test::TiffSpec t = test::uniformTiff(kW, kH, 90);
    const std::string path = write("x.tif", test::buildTiff(t));
    ASSERT_TRUE(open({path})[0].opened);
    const std::vector<float> stack = samplesOf(project.stackBuffer);
    t.compression = 5;
    write("x.tif", test::buildTiff(t));
    notices.clear();
    const RemoveResult r = removeExposure(project, 0, hooks(), progress);
    EXPECT_FALSE(r.removed);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->id, MessageId::FileChanged);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].id, MessageId::TiffCompression);
    EXPECT_EQ(samplesOf(project.stackBuffer), stack);
}

TEST_F(OpenRefusals, NoNonFiniteSampleReachesTheStack) {
    test::TiffSpec t;
    t.width = 4;
    t.height = 2;
    t.bits = 32;
    // The first pixel has no positive channel: its weight is 1, so only a held limit keeps it finite.
    const float values[] = {NAN, -INFINITY, -FLT_MAX, INFINITY, FLT_MAX, 1.0f};
    for (int i = 0; i < 4 * 2 * 3; ++i) {
        std::uint32_t v;
        std::memcpy(&v, &values[i % 6], 4);
        t.samples.push_back(v);
    }
    const std::string tif = write("hot.tif", test::buildTiff(t));
    for (bool gamma : {true, false}) {
        Project p;
        DecodeHooks h;
        h.askGamma = [gamma] { return gamma; };
        for (const std::string& path : {tif, tif}) {
            p.openInProgress = true;
            ASSERT_TRUE(loadPicture(p, path, false, h, progress).opened);
            p.newestExposure().multiplier = 10.0f;
            addExposure(p, progress);
        }
        for (float v : samplesOf(p.stackBuffer)) ASSERT_TRUE(std::isfinite(v)) << "gamma " << gamma;
        EXPECT_TRUE(std::isfinite(p.stackMax));
    }
    std::vector<std::uint8_t> rgbe(8 * 4, 0);
    for (int i = 0; i < 8; ++i) rgbe[static_cast<std::size_t>(i) * 4] = 255, rgbe[static_cast<std::size_t>(i) * 4 + 3] = static_cast<std::uint8_t>(250 + i % 6);
    Project p;
    p.openInProgress = true;
    ASSERT_TRUE(loadPicture(p, write("hot.hdr", test::buildRgbe(8, 1, rgbe)), false, DecodeHooks{}, progress).opened);
    addExposure(p, progress);
    for (float v : samplesOf(p.stackBuffer)) ASSERT_TRUE(std::isfinite(v));
}

}  // namespace
}  // namespace sv
