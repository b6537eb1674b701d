#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "imagefiles/bmp_writer.h"
#include "imagefiles/jpeg_saver.h"
#include "imagefiles/save_format.h"
#include "tool_support.h"

namespace sv {
namespace {

DisplayBitmap randomBitmap(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    DisplayBitmap b(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) b.at(x, y) = rng() & 0x00FFFFFFu;
    }
    return b;
}

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}

std::size_t filesIn(const std::filesystem::path& dir) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        (void)e;
        ++n;
    }
    return n;
}

void makeScript(const std::string& path, const std::string& body) {
    test::writeBytes(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

TEST(BmpWriter, StandardTwentyFourBitLayoutBottomUp) {
    DisplayBitmap b = randomBitmap(5, 3, 1);
    b.at(0, 0) |= 0xFF000000u;  // the unused top byte never reaches the file
    const std::vector<std::uint8_t> f = encodeBmp24(b);
    const std::size_t stride = 16;  // 15 bytes padded to a multiple of 4
    ASSERT_EQ(f.size(), 54 + 3 * stride);
    EXPECT_EQ(f[0], 'B');
    EXPECT_EQ(f[1], 'M');
    EXPECT_EQ(le32(f, 2), f.size());
    EXPECT_EQ(le32(f, 10), 54u);
    EXPECT_EQ(le32(f, 18), 5u);
    EXPECT_EQ(le32(f, 22), 3u);  // positive height: bottom row first
    EXPECT_EQ(f[28], 24);
    EXPECT_EQ(le32(f, 30), 0u);  // no compression
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) {
            const std::uint8_t* p = &f[54 + (2 - y) * stride + 3 * x];
            const std::uint32_t word = b.at(x, y);
            EXPECT_EQ(p[0], blueOf(word));
            EXPECT_EQ(p[1], greenOf(word));
            EXPECT_EQ(p[2], redOf(word));
        }
    }
    EXPECT_TRUE(encodeBmp24(DisplayBitmap()).empty());
}

TEST(BmpWriter, PilReadsSizeAndPixels) {
    if (!test::havePil()) GTEST_SKIP() << "Python PIL is not installed";
    test::TempDir dir;
    const DisplayBitmap b = randomBitmap(37, 11, 2);
    std::string error;
    ASSERT_TRUE(writeBmp(b, dir.file("out.bmp"), error)) << error;
    int status = 0;
    const std::string out = test::runPython(dir, R"(
import sys
from PIL import Image
im = Image.open(sys.argv[1])
sys.stdout.write('%s %d %d %s\n' % (im.format, im.size[0], im.size[1], im.mode))
sys.stdout.flush()
sys.stdout.buffer.write(im.convert('RGB').tobytes())
)", test::quoted(dir.file("out.bmp")), &status);
    ASSERT_EQ(status, 0);
    const auto eol = out.find('\n');
    EXPECT_EQ(out.substr(0, eol), "BMP 37 11 RGB");
    const std::string rgb = out.substr(eol + 1);
    ASSERT_EQ(rgb.size(), 37u * 11 * 3);
    for (int y = 0; y < 11; ++y) {
        for (int x = 0; x < 37; ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * 37 + x) * 3;
            ASSERT_EQ(static_cast<unsigned char>(rgb[i]), redOf(b.at(x, y)));
            ASSERT_EQ(static_cast<unsigned char>(rgb[i + 1]), greenOf(b.at(x, y)));
            ASSERT_EQ(static_cast<unsigned char>(rgb[i + 2]), blueOf(b.at(x, y)));
        }
    }
}

class JpegSave : public testing::Test {
protected:
    void SetUp() override {
        // The temporary BMP goes to TMPDIR: watch it in a folder of our own.
        const char* old = std::getenv("TMPDIR");
        oldTmp = old ? old : "";
        hadTmp = old != nullptr;
        std::filesystem::create_directory(work.file("tmp"));
        setenv("TMPDIR", work.file("tmp").c_str(), 1);
        std::filesystem::create_directory(work.file("out"));
    }
    void TearDown() override {
        if (hadTmp) setenv("TMPDIR", oldTmp.c_str(), 1);
        else unsetenv("TMPDIR");
    }
    test::TempDir work;
    std::string oldTmp;
    bool hadTmp = false;
};

TEST_F(JpegSave, RealEncoderWritesAJpegPilOpens) {
    const std::string encoder = locateJpegEncoder("");
    if (encoder.empty()) GTEST_SKIP() << "cjpeg is not installed";
    if (!test::havePil()) GTEST_SKIP() << "Python PIL is not installed";
    DisplayBitmap b(40, 24);
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 40; ++x) b.at(x, y) = packRgb(200, 100, 50);
    }
    // A name a shell would trip over: blanks, quotes, a semicolon, a command substitution.
    const std::string target = work.file("out/my \"pic\"; $(touch gotcha) & x.tif");
    std::string error;
    ASSERT_TRUE(saveJpeg(b, target, 90, encoder, error)) << error;
    EXPECT_EQ(filesIn(work.path() / "out"), 1u);
    EXPECT_FALSE(std::filesystem::exists("gotcha"));
    EXPECT_EQ(filesIn(work.path() / "tmp"), 0u);  // the temporary BMP is gone
    int status = 0;
    const std::string out = test::runPython(work, R"(
import sys
from PIL import Image
im = Image.open(sys.argv[1])
print(im.format, im.size[0], im.size[1], im.mode, *im.getpixel((20, 12)))
)", test::quoted(target), &status);
    ASSERT_EQ(status, 0);
    std::istringstream in(out);
    std::string format, mode;
    int w = 0, h = 0, r = 0, g = 0, bl = 0;
    in >> format >> w >> h >> mode >> r >> g >> bl;
    EXPECT_EQ(format, "JPEG");
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 24);
    EXPECT_NEAR(r, 200, 4);
    EXPECT_NEAR(g, 100, 4);
    EXPECT_NEAR(bl, 50, 4);
}

TEST_F(JpegSave, EncoderGetsQualityAndAFreshBmp) {
    // A stand-in encoder that records its arguments and keeps a copy of its input.
    const std::string encoder = work.file("fake-cjpeg");
    makeScript(encoder, "printf '%s\\n' \"$@\" > '" + work.file("args") + "'\ncp \"$3\" '" + work.file("seen.bmp") +
                            "'\nprintf 'JPEGDATA'\n");
    const DisplayBitmap b = randomBitmap(9, 4, 3);
    std::string error;
    ASSERT_TRUE(saveJpeg(b, work.file("out/a.jpg"), 37, encoder, error)) << error;
    EXPECT_EQ(test::readBytes(work.file("out/a.jpg")), "JPEGDATA");
    const std::string args = test::readBytes(work.file("args"));
    const auto first = args.find('\n');
    const auto second = args.find('\n', first + 1);
    EXPECT_EQ(args.substr(0, first), "-quality");
    EXPECT_EQ(args.substr(first + 1, second - first - 1), "37");
    const std::string input = args.substr(second + 1, args.size() - second - 2);
    EXPECT_EQ(input.rfind(work.file("tmp/"), 0), 0u) << input;
    EXPECT_FALSE(std::filesystem::exists(input));
    const std::string seen = test::readBytes(work.file("seen.bmp"));
    const auto expected = encodeBmp24(b);
    EXPECT_EQ(seen, std::string(expected.begin(), expected.end()));
}

TEST_F(JpegSave, FailuresAreReportedAndTheTargetKept) {
    const std::string target = work.file("out/keep.jpg");
    const DisplayBitmap b = randomBitmap(4, 4, 4);
    struct Case {
        std::string name, body, expect;
    } cases[] = {
        {"missing", "", "not found"},
        {"fails", "echo 'cjpeg: cannot read input' >&2\nexit 3\n", "cannot read input"},
        {"silent", "exit 0\n", "wrote nothing"},
        {"killed", "kill -9 $$\n", "failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeBytes(target, "old picture");
        const std::string encoder = work.file("enc-" + c.name);
        if (!c.body.empty()) makeScript(encoder, c.body);
        std::string error;
        EXPECT_FALSE(saveJpeg(b, target, 95, encoder, error));
        EXPECT_NE(error.find(c.expect), std::string::npos) << error;
        EXPECT_EQ(test::readBytes(target), "old picture");
        EXPECT_EQ(filesIn(work.path() / "out"), 1u);
        EXPECT_EQ(filesIn(work.path() / "tmp"), 0u);
    }
    // A target folder that does not exist.
    makeScript(work.file("ok"), "printf x\n");
    std::string error;
    EXPECT_FALSE(saveJpeg(b, work.file("nowhere/x.jpg"), 95, work.file("ok"), error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(filesIn(work.path() / "tmp"), 0u);
}

TEST(JpegEncoderLookup, ProgramFolderFirstThenPath) {
    test::TempDir dir;
    makeScript(dir.file("cjpeg"), "exit 0\n");
    EXPECT_EQ(locateJpegEncoder(dir.path().string()), dir.file("cjpeg"));
    test::TempDir empty;
    const std::string onPath = locateJpegEncoder(empty.path().string());
    if (!onPath.empty()) {
        EXPECT_EQ(std::filesystem::path(onPath).filename(), "cjpeg");
    }
    const char* oldPath = std::getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    setenv("PATH", dir.path().c_str(), 1);
    EXPECT_EQ(locateJpegEncoder(empty.path().string()), dir.file("cjpeg"));
    setenv("PATH", empty.path().c_str(), 1);
    EXPECT_EQ(locateJpegEncoder(empty.path().string()), "");
    setenv("PATH", saved.c_str(), 1);
}

TEST(SaveFormatChoice, EntryNotExtensionDecides) {
    EXPECT_EQ(saveFormatFromEntry(1), SaveFormat::Tiff);
    EXPECT_EQ(saveFormatFromEntry(2), SaveFormat::Jpeg);
    EXPECT_EQ(saveFormatFromEntry(3), SaveFormat::Bmp);
    EXPECT_FALSE(saveFormatFromEntry(0));
    EXPECT_FALSE(saveFormatFromEntry(4));
    EXPECT_EQ(saveEntryOf(SaveFormat::Bmp), 3);
    EXPECT_STREQ(kSaveDialogFilter,
                 "TIFF 24/48bit (*.tif; *.tiff)|*.tif;*.tiff|JPEG 24-bit (*.jpg; *.jpeg)|*.jpg;*.jpeg|BMP 24bit (*.bmp)|*.bmp");
    EXPECT_EQ(kInitialSaveEntry, 1);
    EXPECT_STREQ(kInitialSaveExtension, "*.tif");
    EXPECT_EQ(defaultExtensionAfterSave(SaveFormat::Jpeg, false, "*.tif"), "*.jpg");
    EXPECT_EQ(defaultExtensionAfterSave(SaveFormat::Bmp, true, "*.tif"), "*.bmp");
    EXPECT_EQ(defaultExtensionAfterSave(SaveFormat::Bmp, false, "*.jpg"), "*.jpg");
    EXPECT_EQ(defaultExtensionAfterSave(SaveFormat::Tiff, true, "*.jpg"), "*.jpg");
    EXPECT_EQ(tiffCompressionFromIndex(kDefaultTiffCompressionIndex), TiffCompressionChoice::Deflate);
    EXPECT_EQ(tiffCompressionFromIndex(0), TiffCompressionChoice::None);
    EXPECT_EQ(tiffBitsFromIndex(kDefaultTiffBitDepthIndex), 8);
    EXPECT_EQ(tiffBitsFromIndex(1), 16);
    EXPECT_EQ(saveFormatFromExtension("/a/b.TIFF"), SaveFormat::Tiff);
    EXPECT_EQ(saveFormatFromExtension("x.Jpeg"), SaveFormat::Jpeg);
    EXPECT_EQ(saveFormatFromExtension("x.bmp"), SaveFormat::Bmp);
    EXPECT_FALSE(saveFormatFromExtension("x.hdr"));
    EXPECT_FALSE(saveFormatFromExtension("x.webp"));
    EXPECT_EQ(saveFormatFromName("jpeg"), SaveFormat::Jpeg);
    EXPECT_FALSE(saveFormatFromName("webp"));
}

}  // namespace
}  // namespace sv
