// PNG input and output: every colour type against the pixels other tools read, the gamma question
// of linear 16-bit files, damaged and truncated files, and our files in PIL, OpenCV, ImageMagick.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "imagefiles/png_builder.h"
#include "imagefiles/png_reader.h"
#include "imagefiles/png_writer.h"
#include "imagefiles/tiff_reader.h"
#include "imagefiles/tool_support.h"
#include "stack/exposure_stack.h"

namespace sv {
namespace {

using test::quoted;

DecodedPicture decodeBytes(const std::vector<std::uint8_t>& bytes, const DecodeHooks& hooks = {}) {
    NullProgress progress;
    return decodePngMemory(bytes.data(), bytes.size(), "t.png", hooks, progress);
}

class PngFromOtherTools : public testing::Test {
protected:
    void SetUp() override {
        if (!test::havePil()) GTEST_SKIP() << "Python PIL is not installed";
        int status = 0;
        // Each file comes with the RGB samples its own tool reads from it (PIL for 8 bits, OpenCV
        // for 16): 8-bit bytes in .rgb, 16-bit big-endian pairs in .rgb16.
        test::runPython(dir, R"(
import sys, os, numpy as np
from PIL import Image
d = sys.argv[1]
rng = np.random.RandomState(7)
rgba = (rng.rand(13, 21, 4) * 255).astype(np.uint8)
def save(im, name, **kw):
    im.save(os.path.join(d, name), **kw)
    open(os.path.join(d, name + '.rgb'), 'wb').write(Image.open(os.path.join(d, name)).convert('RGB').tobytes())
save(Image.fromarray(rgba[:, :, :3], 'RGB'), 'rgb8.png')
save(Image.fromarray(rgba, 'RGBA'), 'rgba8.png')
save(Image.fromarray(rgba[:, :, 0], 'L'), 'l8.png')
save(Image.fromarray(rgba[:, :, :2], 'LA'), 'la8.png')
save(Image.fromarray(rgba[:, :, :3], 'RGB').quantize(37), 'p8.png')
save(Image.fromarray(rgba[:, :, :3], 'RGB').quantize(16), 'ptrns.png', transparency=3)
save(Image.fromarray(rgba[:, :, 0] > 128), 'one.png')
import cv2
v16 = (rng.rand(11, 17, 4) * 65535).astype(np.uint16)
for name, a in (('rgb16.png', v16[:, :, :3]), ('rgba16.png', v16), ('grey16.png', v16[:, :, 0])):
    cv2.imwrite(os.path.join(d, name), a)
    b = cv2.imread(os.path.join(d, name), cv2.IMREAD_UNCHANGED)
    rgb = np.dstack([b] * 3) if b.ndim == 2 else b[:, :, 2::-1]
    open(os.path.join(d, name + '.rgb16'), 'wb').write(rgb.astype('>u2').tobytes())
)", quoted(dir.path().string()), &status);
        ASSERT_EQ(status, 0);
        // ImageMagick's interlaced (Adam7) PNG of one of them.
        ASSERT_EQ(test::run(test::convertTool() + " " + quoted(dir.file("rgb8.png")) + " -interlace PNG " +
                            quoted(dir.file("adam7.png"))), 0);
        test::writeBytes(dir.file("adam7.png.rgb"), test::readBytes(dir.file("rgb8.png.rgb")));
    }
    test::TempDir dir;
};

TEST_F(PngFromOtherTools, EveryColourTypeOpensWithThePixelsOtherToolsRead) {
    for (const char* name : {"rgb8.png", "rgba8.png", "l8.png", "la8.png", "p8.png", "ptrns.png", "one.png",
                             "adam7.png", "rgb16.png", "rgba16.png", "grey16.png"}) {
        SCOPED_TRACE(name);
        const bool sixteen = std::string(name).find("16") != std::string::npos;
        const std::string expected = test::readBytes(dir.file(std::string(name) + (sixteen ? ".rgb16" : ".rgb")));
        DecodeHooks hooks;
        int asked = 0;
        hooks.askGamma = [&] { return ++asked, true; };
        NullProgress progress;
        const DecodedPicture p = decodePicture(dir.file(name), hooks, progress);
        ASSERT_TRUE(p.ok) << englishText(p.failure);
        EXPECT_EQ(asked, 0) << "a PNG without a linear gAMA is already encoded for display";
        const std::size_t samples = p.pixels.sampleCount();
        ASSERT_EQ(expected.size(), samples * (sixteen ? 2 : 1));
        for (std::size_t i = 0; i < samples; ++i) {
            const auto* e = reinterpret_cast<const unsigned char*>(expected.data());
            const unsigned v = sixteen ? (e[2 * i] << 8 | e[2 * i + 1]) : e[i];
            ASSERT_EQ(p.pixels.data()[i], static_cast<float>(v) / (sixteen ? 65536.0f : 256.0f)) << "sample " << i;
        }
        // The view shows the 8-bit value itself, or the 16-bit one as a 48-bit TIFF shows it.
        const float first = p.pixels.data()[0];
        EXPECT_EQ(redOf(p.bitmap.at(0, 0)), static_cast<int>(sixteen ? tiffDisplayChannel(first) : first * 256.0f));
    }
}

TEST(PngOpening, OnlyALinearSixteenBitFileIsOfferedTheGammaCorrection) {
    const std::vector<std::uint16_t> samples = {0, 1000, 30000, 65535, 50000, 12345};
    const auto rows16 = test::png16Rows(2, 1, samples);
    struct Case {
        int bits;
        std::uint32_t gamma;
        bool asked;
    } cases[] = {{16, 100000, true}, {16, 45455, false}, {16, 0, false}, {8, 100000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, gAMA " << c.gamma);
        const auto rows = c.bits == 16 ? rows16 : std::vector<std::vector<std::uint8_t>>{{0, 10, 20, 30, 40, 50}};
        int asked = 0;
        DecodeHooks hooks;
        hooks.askGamma = [&] { return ++asked, true; };
        const DecodedPicture p = decodeBytes(test::buildPng(2, 1, c.bits, 2, rows, c.gamma), hooks);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(asked, c.asked ? 1 : 0);
        for (std::size_t i = 0; i < 6; ++i) {
            const float v = c.bits == 16 ? samples[i] / 65536.0f : (i * 10) / 256.0f;
            const float expected = c.asked ? static_cast<float>(std::pow(0.04 * v, 0.4)) : v;
            EXPECT_FLOAT_EQ(p.pixels.data()[i], expected) << i;
        }
    }
}

TEST(PngOpening, LowBitGreysSpreadToTheFullEightBitRange) {
    // Two, four and one bits a sample: 3 -> 255, 1 -> 85 (2 bits); 15 -> 255, 5 -> 85 (4 bits).
    const DecodedPicture two = decodeBytes(test::buildPng(4, 1, 2, 0, {{0b00011011}}));
    const DecodedPicture four = decodeBytes(test::buildPng(2, 1, 4, 0, {{0x5F}}));
    ASSERT_TRUE(two.ok && four.ok);
    EXPECT_EQ(two.pixels.at(1, 0, 0), 85 / 256.0f);
    EXPECT_EQ(two.pixels.at(3, 0, 2), 255 / 256.0f);
    EXPECT_EQ(four.pixels.at(0, 0, 1), 85 / 256.0f);
    EXPECT_EQ(four.pixels.at(1, 0, 0), 255 / 256.0f);
}

TEST(PngOpening, DamagedAndTruncatedFilesAreRefusedAndTheProjectStaysAsItWas) {
    std::vector<std::vector<std::uint8_t>> rows(40, std::vector<std::uint8_t>(3 * 50));
    std::mt19937 rng(3);
    for (auto& row : rows) for (auto& v : row) v = static_cast<std::uint8_t>(rng());
    const std::vector<std::uint8_t> good = test::buildPng(50, 40, 8, 2, rows);
    ASSERT_TRUE(decodeBytes(good).ok);
    const std::size_t idat = 8 + 25 + 8;  // the IDAT's data start after the signature, IHDR and its header

    auto cut = good;
    cut.resize(idat + 1000);
    const DecodedPicture truncated = decodeBytes(cut);
    EXPECT_FALSE(truncated.ok);
    EXPECT_TRUE(truncated.incomplete);
    EXPECT_EQ(truncated.failure.id, MessageId::IncompleteFile);

    auto badCrc = good;
    badCrc[idat + 500] ^= 0x55;  // the chunk's checksum no longer matches
    EXPECT_EQ(decodeBytes(badCrc).failure.id, MessageId::DamagedFile);

    // Data that do not inflate, with a checksum that matches them.
    auto garbled = good;
    const std::size_t length = (good[33] << 24) | (good[34] << 16) | (good[35] << 8) | good[36];
    for (std::size_t i = 2; i < 40; ++i) garbled[idat + i] = static_cast<std::uint8_t>(0xFF - i);
    const uLong crc = crc32(0, garbled.data() + idat - 4, static_cast<uInt>(length + 4));
    for (int i = 0; i < 4; ++i) garbled[idat + length + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    const DecodedPicture undecodable = decodeBytes(garbled);
    EXPECT_FALSE(undecodable.ok);
    EXPECT_EQ(undecodable.failure.id, MessageId::DamagedFile);

    std::vector<std::uint8_t> notPng(good.begin() + 1, good.end());
    EXPECT_EQ(decodeBytes(notPng).failure.id, MessageId::CannotReadFile);

    // Through the project: a good first picture, then each bad one: nothing changes.
    test::TempDir dir;
    test::writeBytes(dir.file("good.png"), std::string(good.begin(), good.end()));
    Project project;
    NullProgress progress;
    ASSERT_EQ(openPictures(project, {dir.file("good.png")}, {}, progress).front().opened, true);
    const std::vector<float> stack(project.stackBuffer.data(), project.stackBuffer.data() + project.stackBuffer.sampleCount());
    for (const auto* bad : {&cut, &badCrc, &garbled}) {
        test::writeBytes(dir.file("bad.png"), std::string(bad->begin(), bad->end()));
        const auto results = openPictures(project, {dir.file("bad.png"), dir.file("bad.png")}, {}, progress);
        EXPECT_FALSE(results[0].opened);
        ASSERT_TRUE(results[0].error.has_value());
        EXPECT_EQ(project.exposureCount, 1);
        EXPECT_TRUE(std::equal(stack.begin(), stack.end(), project.stackBuffer.data()));
    }
}

TEST(PngOpening, ATinyFileClaimingAHugePictureIsRefusedBeforeAnythingIsObtained) {
    // 30000 x 30000 claimed by a file of a few hundred bytes: no Deflate stream packs that much.
    auto png = test::buildPng(30000, 30000, 8, 2, {std::vector<std::uint8_t>(90000, 0)});
    DecodeHooks hooks;
    PictureClaim seen;
    hooks.admit = [&](const PictureClaim& claim) {
        seen = claim;
        return admitBySize(claim, MemoryNeed{}, MemoryLimit{});
    };
    const DecodedPicture p = decodeBytes(png, hooks);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(seen.width, 30000);
    EXPECT_TRUE(seen.fileTooShort);
    EXPECT_EQ(p.failure.id, MessageId::IncompleteFile);
    EXPECT_TRUE(p.pixels.empty());
}

// ---- writing ---------------------------------------------------------------------------------

TEST(PngSaving, OtherToolsAndOurReaderReadTheValuesWeWrote) {
    if (!test::havePil()) GTEST_SKIP() << "Python PIL is not installed";
    test::TempDir dir;
    const int w = 23, h = 9;
    DisplayBitmap bitmap(w, h);
    std::mt19937 rng(11);
    for (int y = 0; y < h; ++y) for (int x = 0; x < w; ++x) bitmap.at(x, y) = rng() & 0xFFFFFF;
    FloatImage picture = test::randomImage(w, h, 5, -0.1f, 1.1f);
    picture.at(0, 0, 0) = 1.0f;
    picture.at(1, 0, 0) = 0.5f;
    NullProgress progress;
    WriteError error;
    ASSERT_TRUE(writePng8(bitmap, dir.file("p8.png"), nullptr, progress, error)) << englishText(error);
    ASSERT_TRUE(writePng16(picture, dir.file("p16.png"), nullptr, progress, error)) << englishText(error);

    int status = 0;
    const std::string out = test::runPython(dir, R"(
import sys, numpy as np, cv2
from PIL import Image
a = np.asarray(Image.open(sys.argv[1]).convert('RGB'))
sys.stdout.buffer.write(a.tobytes())
b = cv2.imread(sys.argv[2], cv2.IMREAD_UNCHANGED)[:, :, ::-1]
sys.stdout.buffer.write(b.astype('<u2').tobytes())
)", quoted(dir.file("p8.png")) + " " + quoted(dir.file("p16.png")), &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(out.size(), static_cast<std::size_t>(w * h * 3 + w * h * 6));
    const auto* bytes = reinterpret_cast<const unsigned char*>(out.data());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const unsigned char* p = bytes + (y * w + x) * 3;
            ASSERT_EQ(packRgb(p[0], p[1], p[2]), bitmap.at(x, y));
        }
    }
    const auto* sixteen = bytes + w * h * 3;
    for (std::size_t i = 0; i < picture.sampleCount(); ++i) {
        const unsigned v = sixteen[2 * i] | sixteen[2 * i + 1] << 8;
        ASSERT_EQ(v, png16Sample(picture.data()[i])) << i;
    }
    EXPECT_EQ(png16Sample(1.0f), 65535);
    EXPECT_EQ(png16Sample(0.5f), 32767);
    EXPECT_EQ(png16Sample(-0.2f), 0);
    EXPECT_EQ(png16Sample(NAN), 0);

    // ImageMagick sees a 16-bit RGB PNG, and our reader reads back what we wrote.
    EXPECT_EQ(test::capture("identify -format '%w %h %z %[channels]' " + quoted(dir.file("p16.png"))), "23 9 16 srgb");
    const DecodedPicture back = decodePicture(dir.file("p16.png"), {}, progress);
    ASSERT_TRUE(back.ok);
    for (std::size_t i = 0; i < picture.sampleCount(); ++i) {
        ASSERT_EQ(back.pixels.data()[i], png16Sample(picture.data()[i]) / 65536.0f);
    }
}

TEST(PngSaving, AFailedSaveLeavesTheOldFileAndSaysWhy) {
    test::TempDir dir;
    const std::string target = dir.file("keep.png");
    test::writeBytes(target, "old");
    NullProgress progress;
    WriteError error;
    EXPECT_FALSE(writePng16(FloatImage(), target, nullptr, progress, error));
    EXPECT_EQ(error.reason, WriteFailure::NothingToWrite);
    EXPECT_FALSE(writePng8(DisplayBitmap(3, 3), dir.file("missing/x.png"), nullptr, progress, error));
    EXPECT_EQ(error.reason, WriteFailure::NoSuchFolder);
    EXPECT_EQ(test::readBytes(target), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

}  // namespace
}  // namespace sv
