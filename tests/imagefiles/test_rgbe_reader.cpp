#include <gtest/gtest.h>
#include <stb_image_write.h>

#include <cmath>
#include <random>

#include "file_builders.h"
#include "imagefiles/rgbe_reader.h"
#include "tool_support.h"

namespace sv {
namespace {

using test::Bytes;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

RgbeProbe probe(const Bytes& b) { return probeRgbeMemory(b.data(), b.size()); }

// Straight from the description: the sample m x 2^(E - 128) and its display byte.
float referenceSample(int m, int e) { return static_cast<float>(m * std::pow(2.0, e - 128)); }
std::uint32_t referenceDisplay(float v) { return v > 255.0f ? 255u : static_cast<std::uint32_t>(v); }

DecodedPicture open(const Bytes& b) {
    NullProgress progress;
    return decodeRgbeMemory(b.data(), b.size(), "x.hdr", DecodeHooks{}, progress);
}

TEST(RgbeProbe, AcceptsTheMagicLineAmongTheFirstThree) {
    EXPECT_TRUE(probe(text("#?RADIANCE\n\n-Y 3 +X 5\n")).accepted);
    const RgbeProbe p = probe(text("# made by hand\n#?RADIANCE\nGAMMA=1\nPRIMARIES=0 0 0 0 0 0 0 0\n\n-Y 3 +X 5\n"));
    EXPECT_TRUE(p.accepted);
    EXPECT_EQ(p.height, 3);
    EXPECT_EQ(p.width, 5);
    EXPECT_TRUE(probe(text("a\nb\n#?RADIANCE\n\n-Y 1 +X 1\n")).accepted);
    EXPECT_FALSE(probe(text("a\nb\nc\n#?RADIANCE\n\n-Y 1 +X 1\n")).accepted);
    EXPECT_FALSE(probe(text("#?RGBE\n\n-Y 1 +X 1\n")).accepted);
    EXPECT_FALSE(probe(Bytes{}).accepted);
}

TEST(RgbeProbe, FormatLineMustNameRgbe) {
    EXPECT_FALSE(probe(text("#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n-Y 1 +X 1\n")).accepted);
    EXPECT_TRUE(probe(text("#?RADIANCE\nFORMAT=32-bit_rle_rgbe extra\n\n-Y 1 +X 1\n")).accepted);
    EXPECT_TRUE(probe(text("#?RADIANCE\nEXPOSURE=1.0\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n")).accepted);
    // A header line of 300 characters is read as two lines; neither is empty, so the header goes on.
    const std::string longLine = "SOFTWARE=" + std::string(291, 'x') + "\n";
    const RgbeProbe p = probe(text("#?RADIANCE\n" + longLine + "\n-Y 7 +X 9\n"));
    EXPECT_TRUE(p.accepted);
    EXPECT_EQ(p.height, 7);
    EXPECT_EQ(p.width, 9);
}

TEST(RgbeReader, PixelValuesAndDisplay) {
    const Bytes file = test::buildRgbe(2, 1, {128, 64, 0, 129, 0, 0, 0, 0}, false);
    const DecodedPicture p = open(file);
    ASSERT_TRUE(p.ok);
    // Raw samples: 256, 128, 0 (M = 256) and 0; the display shows the raw ones.
    EXPECT_EQ(p.bitmap.at(0, 0), packRgb(255, 128, 0));
    EXPECT_EQ(p.bitmap.at(1, 0), 0u);
    EXPECT_FLOAT_EQ(p.pixels.at(0, 0, 0), static_cast<float>(std::pow(10.0, 0.4)));
    EXPECT_FLOAT_EQ(p.pixels.at(0, 0, 1), static_cast<float>(std::pow(5.0, 0.4)));
    EXPECT_EQ(p.pixels.at(0, 0, 2), 0.0f);
    EXPECT_EQ(p.pixels.at(1, 0, 0), 0.0f);

    // The reader itself returns the raw samples and M.
    FloatImage raw(2, 1);
    DisplayBitmap view(2, 1);
    NullProgress progress;
    const RgbeReadResult r = readRgbeMemory(file.data(), file.size(), probe(file), raw, view, progress);
    EXPECT_EQ(r.largest, 256.0f);
    EXPECT_EQ(raw.at(0, 0, 0), 256.0f);
    EXPECT_EQ(raw.at(0, 0, 1), 128.0f);
}

TEST(RgbeReader, RunsAndLiterals) {
    // Two pixels; R: run byte 130 then 7 (two pixels of 7); G: literal 2 (3, 4); B: zero-count then
    // literal; E: run of exponent 136 (x 256).
    Bytes file = text("#?RADIANCE\n\n-Y 1 +X 2\n");
    const Bytes scan = {2, 2, 0, 2, 130, 7, 2, 3, 4, 0, 2, 5, 6, 130, 136};
    file.insert(file.end(), scan.begin(), scan.end());
    FloatImage raw(2, 1);
    DisplayBitmap view(2, 1);
    NullProgress progress;
    const RgbeReadResult r = readRgbeMemory(file.data(), file.size(), probe(file), raw, view, progress);
    EXPECT_EQ(r.rowsRead, 1);
    const float expected[6] = {7 * 256.0f, 3 * 256.0f, 5 * 256.0f, 7 * 256.0f, 4 * 256.0f, 6 * 256.0f};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(raw.data()[i], expected[i]) << i;
    // A literal of three bytes.
    Bytes lit = text("#?RADIANCE\n\n-Y 1 +X 3\n");
    const Bytes scan3 = {2, 2, 0, 3, 3, 1, 2, 3, 131, 0, 131, 0, 131, 128};
    lit.insert(lit.end(), scan3.begin(), scan3.end());
    FloatImage raw3(3, 1);
    DisplayBitmap view3(3, 1);
    readRgbeMemory(lit.data(), lit.size(), probe(lit), raw3, view3, progress);
    EXPECT_EQ(raw3.at(0, 0, 0), 1.0f);
    EXPECT_EQ(raw3.at(1, 0, 0), 2.0f);
    EXPECT_EQ(raw3.at(2, 0, 0), 3.0f);
}

TEST(RgbeReader, MatchesTheDirectDecodingOnRandomPictures) {
    std::mt19937 rng(5);
    for (int round = 0; round < 20; ++round) {
        const int w = 1 + static_cast<int>(rng() % 40);
        const int h = 1 + static_cast<int>(rng() % 6);
        std::vector<std::uint8_t> rgbe(static_cast<std::size_t>(w) * h * 4);
        for (std::size_t i = 0; i < rgbe.size(); ++i) {
            // Runs of equal bytes are common in real files; make some.
            rgbe[i] = (rng() % 3 == 0 && i >= 4) ? rgbe[i - 4] : static_cast<std::uint8_t>(rng() % (i % 4 == 3 ? 20 : 256) + (i % 4 == 3 ? 118 : 0));
        }
        const Bytes file = test::buildRgbe(w, h, rgbe, round % 2 == 0);
        const DecodedPicture p = open(file);
        ASSERT_TRUE(p.ok);
        float m = 0.0f;
        for (std::size_t i = 0; i < rgbe.size(); i += 4) {
            for (int c = 0; c < 3; ++c) m = std::max(m, referenceSample(rgbe[i + c], rgbe[i + 3]));
        }
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const std::uint8_t* q = &rgbe[(static_cast<std::size_t>(y) * w + x) * 4];
                std::uint32_t d[3];
                for (int c = 0; c < 3; ++c) {
                    const float s = referenceSample(q[c], q[3]);
                    d[c] = referenceDisplay(s);
                    const float expected = m > 0 ? static_cast<float>(std::pow(static_cast<double>(s / m * 10.0f), 0.4)) : 0.0f;
                    ASSERT_EQ(p.pixels.at(x, y, c), expected) << x << "," << y << "," << c;
                }
                ASSERT_EQ(p.bitmap.at(x, y), packRgb(d[0], d[1], d[2]));
            }
        }
    }
}

TEST(RgbeReader, AllBlackFileStaysBlack) {
    const DecodedPicture p = open(test::buildRgbe(3, 2, std::vector<std::uint8_t>(24, 0)));
    ASSERT_TRUE(p.ok);
    for (std::size_t i = 0; i < p.pixels.sampleCount(); ++i) ASSERT_EQ(p.pixels.data()[i], 0.0f);
}

TEST(RgbeReader, ScanlinesLongerThanTheWidthAndExtraRowsStayOutside) {
    // The header says 2 x 2; each scanline holds 5 pixels and there are three of them.
    Bytes file = text("#?RADIANCE\n\n-Y 2 +X 2\n");
    for (int y = 0; y < 3; ++y) {
        std::vector<std::uint8_t> line;
        for (int x = 0; x < 5; ++x) line.insert(line.end(), {static_cast<std::uint8_t>(10 * y + x + 1), 1, 1, 128});
        test::appendRgbeScanline(file, line, false);
    }
    FloatImage raw(2, 2);
    DisplayBitmap view(2, 2);
    NullProgress progress;
    const RgbeReadResult r = readRgbeMemory(file.data(), file.size(), probe(file), raw, view, progress);
    EXPECT_EQ(r.rowsRead, 2);
    EXPECT_EQ(raw.at(0, 1, 0), 11.0f);  // the second row starts where the second scanline does
    EXPECT_EQ(raw.at(1, 1, 0), 12.0f);
    EXPECT_EQ(r.largest, 12.0f);        // pixels beyond the width are not part of the picture

    // A shorter scanline fills only its pixels.
    Bytes shortFile = text("#?RADIANCE\n\n-Y 1 +X 4\n");
    test::appendRgbeScanline(shortFile, {9, 9, 9, 128, 9, 9, 9, 128}, true);
    FloatImage raw4(4, 1);
    raw4.fill(-1.0f);
    DisplayBitmap view4(4, 1);
    readRgbeMemory(shortFile.data(), shortFile.size(), probe(shortFile), raw4, view4, progress);
    EXPECT_EQ(raw4.at(1, 0, 2), 9.0f);
    EXPECT_EQ(raw4.at(2, 0, 0), -1.0f);
}

TEST(RgbeReader, TruncatedAndScrambledFilesStayInside) {
    std::mt19937 rng(8);
    std::vector<std::uint8_t> rgbe(static_cast<std::size_t>(20) * 6 * 4);
    for (auto& v : rgbe) v = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : rng());
    const Bytes file = test::buildRgbe(20, 6, rgbe);
    const std::string resolution = "+X 20\n";
    const std::size_t headerEnd =
        static_cast<std::size_t>(std::search(file.begin(), file.end(), resolution.begin(), resolution.end()) - file.begin()) +
        resolution.size();
    for (std::size_t n = 0; n <= file.size(); ++n) {
        const Bytes prefix(file.begin(), file.begin() + static_cast<long>(n));
        const DecodedPicture p = open(prefix);
        // Cut inside the width ("+X 2") still gives a (smaller) picture without pixels.
        if (n >= headerEnd) {
            EXPECT_TRUE(p.ok) << n;
        }
        if (n < headerEnd - 3) {
            EXPECT_FALSE(p.ok) << n;
        }
        if (n >= headerEnd) {
            EXPECT_EQ(p.pixels.width(), 20);
            EXPECT_EQ(p.pixels.height(), 6);
        }
    }
    for (int round = 0; round < 500; ++round) {
        Bytes scrambled = file;
        for (int k = 0; k < 3; ++k) scrambled[22 + rng() % (scrambled.size() - 22)] = static_cast<std::uint8_t>(rng());
        (void)open(scrambled);
    }
}

TEST(RgbeOpening, RefusedFilesAndUnusableSizesAreCleanFailures) {
    EXPECT_FALSE(open(text("#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n-Y 1 +X 1\n\x02\x02")).ok);
    EXPECT_FALSE(open(text("#?RADIANCE\n\n-Y 0 +X 5\n")).ok);
    EXPECT_FALSE(open(text("#?RADIANCE\n\n-Y -4 +X 5\n")).ok);
    EXPECT_FALSE(open(text("#?RADIANCE\n\n-Y 4\n")).ok);
    EXPECT_FALSE(open(text("#?RADIANCE\n\n-Y 99999999999 +X 5\n")).ok);
    const DecodedPicture huge = open(text("#?RADIANCE\n\n-Y 2000000000 +X 2000000000\n"));
    EXPECT_FALSE(huge.ok);
    EXPECT_TRUE(huge.outOfMemory);
    // Flat scanlines (not starting with 2, 2) are not read, and the open says so.
    Bytes flat = text("#?RADIANCE\n\n-Y 1 +X 2\n");
    flat.insert(flat.end(), {128, 64, 0, 129, 1, 1, 1, 128});
    const DecodedPicture p = open(flat);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(englishText(p.failure).find("not supported"), std::string::npos);
}

// ---- Files written by other tools -------------------------------------------------------------

// Checks a decoded picture against linear values: the normalisation is undone and compared with the
// value over the largest value, within the 8-bit mantissa's precision.
void expectNormalised(const DecodedPicture& p, const std::vector<float>& linear, int w, int h) {
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(p.pixels.width(), w);
    ASSERT_EQ(p.pixels.height(), h);
    const float largest = *std::max_element(linear.begin(), linear.end());
    float brightest = 0.0f;
    for (std::size_t i = 0; i < linear.size(); ++i) {
        const double back = std::pow(static_cast<double>(p.pixels.data()[i]), 2.5) / 10.0;
        ASSERT_NEAR(back, linear[i] / largest, 0.012) << i;
        brightest = std::max(brightest, p.pixels.data()[i]);
    }
    EXPECT_FLOAT_EQ(brightest, static_cast<float>(std::pow(10.0, 0.4)));
}

TEST(RgbeFromTools, ImageMagick) {
    if (!test::haveTool(test::convertTool())) GTEST_SKIP() << "ImageMagick is not installed";
    test::TempDir dir;
    const int w = 17, h = 5;
    std::mt19937 rng(12);
    std::vector<unsigned> samples;
    std::vector<float> linear;
    for (int i = 0; i < w * h * 3; ++i) {
        samples.push_back(rng() % 65536);
        linear.push_back(samples.back() / 65535.0f);
    }
    test::writePpm(dir.file("in.ppm"), w, h, samples, 65535);
    ASSERT_EQ(test::run(test::convertTool() + " " + test::quoted(dir.file("in.ppm")) + " " + test::quoted(dir.file("out.hdr"))), 0);
    const std::string bytes = test::readBytes(dir.file("out.hdr"));
    NullProgress progress;
    const DecodedPicture p = decodeRgbeMemory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                              "out.hdr", DecodeHooks{}, progress);
    expectNormalised(p, linear, w, h);
}

TEST(RgbeFromTools, StbImageWrite) {
    const int w = 40, h = 7;
    std::mt19937 rng(13);
    std::vector<float> linear;
    for (int i = 0; i < w * h * 3; ++i) linear.push_back(std::uniform_real_distribution<float>(0.0f, 50.0f)(rng));
    Bytes file;
    stbi_write_hdr_to_func(
        [](void* ctx, void* data, int size) {
            auto* out = static_cast<Bytes*>(ctx);
            out->insert(out->end(), static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
        },
        &file, w, h, 3, linear.data());
    expectNormalised(open(file), linear, w, h);
}

}  // namespace
}  // namespace sv

namespace sv {
namespace {

TEST(RgbeOpening, FromDiskByExtensionInAnyCase) {
    test::TempDir dir;
    const test::Bytes file = test::buildRgbe(3, 2, std::vector<std::uint8_t>(24, 130));
    test::writeBytes(dir.file("x.HDR"), std::string(file.begin(), file.end()));
    NullProgress progress;
    const DecodedPicture p = decodePicture(dir.file("x.HDR"), DecodeHooks{}, progress);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.pixels.width(), 3);
    EXPECT_FLOAT_EQ(p.pixels.at(2, 1, 2), static_cast<float>(std::pow(10.0, 0.4)));
    const DecodedPicture missing = decodePicture(dir.file("none.hdr"), DecodeHooks{}, progress);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.failure.id, MessageId::CannotReadFile);
}

}  // namespace
}  // namespace sv
