#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "file_builders.h"
#include "imagefiles/tiff_reader.h"
#include "imagefiles/tiff_writer.h"
#include "tool_support.h"

namespace sv {
namespace {

using test::Bytes;
using test::TiffSpec;

// Straight from the reader's description: the float of one stored sample and its display byte.
float referenceSample(std::uint32_t stored, int bits) {
    if (bits == 8) return static_cast<float>(stored) / 256.0f;
    if (bits == 16) return static_cast<float>(stored) / 65536.0f;
    float f;
    std::memcpy(&f, &stored, 4);
    return 2.0f * f;
}
std::uint32_t referenceDisplay(float v) {
    const float t = v * 255.0f;
    if (!(t > 0.0f)) return 0;
    const long long truncated = static_cast<long long>(std::min(t, 1e6f));
    return truncated >= 255 ? 255u : static_cast<std::uint32_t>(truncated);
}

std::vector<std::uint32_t> randomSamples(const TiffSpec& s, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> v(static_cast<std::size_t>(s.width) * s.height * s.samplesPerPixel);
    for (auto& x : v) {
        if (s.bits == 8) x = rng() & 0xFF;
        else if (s.bits == 16) x = rng() & 0xFFFF;
        else {
            const float f = std::uniform_real_distribution<float>(0.0f, 0.7f)(rng);
            std::memcpy(&x, &f, 4);
        }
    }
    return v;
}

struct Decoded {
    int code = -1;
    FloatImage pixels;
    DisplayBitmap bitmap;
};

// Sizes the pictures from the probe, as the opening code does, and runs the reader.
Decoded readBytes(const Bytes& file, float marker = 0.0f) {
    Decoded d;
    const TiffProbe probe = probeTiffMemory(file.data(), file.size());
    d.pixels = FloatImage(static_cast<int>(probe.width), static_cast<int>(probe.height));
    d.pixels.fill(marker);
    d.bitmap = DisplayBitmap(static_cast<int>(probe.width), static_cast<int>(probe.height));
    NullProgress progress;
    d.code = readTiffMemory(file.data(), file.size(), d.pixels, d.bitmap, progress);
    return d;
}

void expectMatches(const Decoded& d, const TiffSpec& s) {
    ASSERT_EQ(d.pixels.width(), static_cast<int>(s.width));
    ASSERT_EQ(d.pixels.height(), static_cast<int>(s.height));
    for (std::uint32_t y = 0; y < s.height; ++y) {
        for (std::uint32_t x = 0; x < s.width; ++x) {
            std::uint32_t display[3];
            for (int c = 0; c < 3; ++c) {
                const float expected = referenceSample(s.samples[(y * s.width + x) * 3 + c], s.bits);
                ASSERT_EQ(d.pixels.at(static_cast<int>(x), static_cast<int>(y), c), expected)
                    << "pixel " << x << "," << y << " channel " << c;
                display[c] = referenceDisplay(expected);
            }
            ASSERT_EQ(d.bitmap.at(static_cast<int>(x), static_cast<int>(y)), packRgb(display[0], display[1], display[2]));
        }
    }
}

TEST(TiffReader, DecodesEveryDepthByteOrderCompressionStripLayoutAndFieldType) {
    unsigned seed = 1;
    for (bool little : {true, false}) {
        for (int bits : {8, 16, 32}) {
            for (int compression : {1, 8, 32946}) {
                for (std::uint32_t rps : {0u, 1u, 2u, 5u, 9u}) {
                    for (std::uint16_t sizeType : {3, 4}) {
                        for (std::uint16_t stripType : {3, 4}) {
                            TiffSpec s;
                            s.little = little;
                            s.width = 7;
                            s.height = 5;
                            s.bits = bits;
                            s.compression = compression;
                            s.rowsPerStrip = rps;
                            s.sizeType = sizeType;
                            s.stripType = stripType;
                            s.samples = randomSamples(s, seed++);
                            SCOPED_TRACE(testing::Message() << "little " << little << " bits " << bits << " compression "
                                                            << compression << " rps " << rps << " types " << sizeType
                                                            << "/" << stripType);
                            const Bytes file = test::buildTiff(s);
                            const TiffProbe probe = probeTiffMemory(file.data(), file.size());
                            EXPECT_EQ(probe.width, 7u);
                            EXPECT_EQ(probe.height, 5u);
                            EXPECT_EQ(probe.bitsPerSample, static_cast<std::uint32_t>(bits));
                            EXPECT_EQ(probe.compression, static_cast<std::uint32_t>(compression));
                            EXPECT_EQ(probe.predictor, 0u);
                            const Decoded d = readBytes(file);
                            EXPECT_EQ(d.code, 0);
                            expectMatches(d, s);
                        }
                    }
                }
            }
        }
    }
}

TEST(TiffReader, ValueScalesAtTheTopOfEachDepth) {
    TiffSpec s;
    s.width = 2;
    s.height = 1;
    s.samples = {255, 0, 128, 1, 2, 3};
    Decoded d = readBytes(test::buildTiff(s));
    EXPECT_EQ(d.pixels.at(0, 0, 0), 0.99609375f);
    EXPECT_EQ(redOf(d.bitmap.at(0, 0)), 254);
    EXPECT_EQ(d.pixels.at(0, 0, 2), 0.5f);

    s.bits = 16;
    s.samples = {65535, 32768, 0, 0, 0, 0};
    d = readBytes(test::buildTiff(s));
    EXPECT_EQ(d.pixels.at(0, 0, 0), 65535.0f / 65536.0f);
    EXPECT_EQ(redOf(d.bitmap.at(0, 0)), 254);
    EXPECT_EQ(greenOf(d.bitmap.at(0, 0)), 127);

    s.bits = 32;
    const float values[6] = {0.75f, -0.25f, 0.1f, 1000.0f, NAN, 0.0f};
    s.samples.clear();
    for (float f : values) {
        std::uint32_t v;
        std::memcpy(&v, &f, 4);
        s.samples.push_back(v);
    }
    d = readBytes(test::buildTiff(s));
    EXPECT_EQ(d.pixels.at(0, 0, 0), 1.5f);
    EXPECT_EQ(d.bitmap.at(0, 0), packRgb(255, 0, referenceDisplay(0.2f)));
    EXPECT_EQ(d.bitmap.at(1, 0), packRgb(255, 0, 0));  // huge and NaN samples are held at 255 and 0
}

TEST(TiffReader, UnacceptedLayoutsGiveTheirBitsAndDecodeNothing) {
    struct Case {
        int bits, spp, compression, code;
    } cases[] = {{8, 4, 1, 4}, {16, 3, 5, 2}, {4, 4, 1, 5}, {12, 3, 1, 1}, {8, 1, 1, 5}, {16, 4, 5, 6}, {4, 4, 7, 7}};
    for (const Case& c : cases) {
        TiffSpec s;
        s.bits = c.bits == 4 || c.bits == 12 ? 16 : c.bits;  // how the samples are stored
        s.bitsInTag = c.bits;
        s.samplesPerPixel = c.spp;
        s.compression = c.compression;
        s.samples = randomSamples(s, 7);
        const Bytes file = test::buildTiff(s);
        SCOPED_TRACE(testing::Message() << "bits " << c.bits << " spp " << c.spp << " compression " << c.compression);
        const Decoded d = readBytes(file, 0.25f);
        EXPECT_EQ(d.code, c.code);
        for (std::size_t i = 0; i < d.pixels.sampleCount(); ++i) ASSERT_EQ(d.pixels.data()[i], 0.25f);
    }
}

TEST(TiffReader, PredictorLeavesRowsUndecodedWithoutAnErrorBit) {
    TiffSpec s;
    s.compression = 8;
    s.predictor = 2;
    s.samples = randomSamples(s, 3);
    const Bytes file = test::buildTiff(s);
    EXPECT_EQ(probeTiffMemory(file.data(), file.size()).predictor, 2u);
    const Decoded d = readBytes(file, 0.125f);
    EXPECT_EQ(d.code, 0);
    for (std::size_t i = 0; i < d.pixels.sampleCount(); ++i) ASSERT_EQ(d.pixels.data()[i], 0.125f);
}

TEST(TiffReader, RowsPerStripAbsentOrTooLargeMeansOneStrip) {
    TiffSpec s;
    s.width = 3;
    s.height = 4;
    s.samples = randomSamples(s, 11);
    // Written as one strip but claiming 2^32 - 1 rows per strip, as some writers do.
    Bytes file = test::buildTiff(s, {{278, 4, 1, 0xFFFFFFFFu}});
    Decoded d = readBytes(file);
    EXPECT_EQ(d.code, 0);
    expectMatches(d, s);
    // The same value as a 16-bit field (65535) is also larger than the picture.
    file = test::buildTiff(s, {{278, 3, 1, 0xFFFF}});
    d = readBytes(file);
    EXPECT_EQ(d.code, 0);
    expectMatches(d, s);
}

TEST(TiffReader, BigEndianLongSizesAndShortStripTablesReadRight) {
    // Sizes above 65535 need LONG; a big-endian LONG keeps its value in the last two bytes.
    TiffSpec s;
    s.little = false;
    s.width = 3;
    s.height = 70000;
    s.rowsPerStrip = 30000;
    s.stripType = 4;
    TiffSpec small;
    small.little = false;
    small.width = 3;
    small.height = 2;
    small.samples = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    Bytes file = test::buildTiff(small);
    TiffProbe probe = probeTiffMemory(file.data(), file.size());
    EXPECT_EQ(probe.width, 3u);
    EXPECT_EQ(probe.height, 2u);
    s.samples.assign(static_cast<std::size_t>(3) * 70000 * 3, 9);
    file = test::buildTiff(s);
    probe = probeTiffMemory(file.data(), file.size());
    EXPECT_EQ(probe.height, 70000u);
    const Decoded d = readBytes(file);
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(d.pixels.at(2, 69999, 2), 9.0f / 256.0f);
}

TEST(TiffReader, DamagedStripsStayInsideTheFileAndTheBuffers) {
    TiffSpec s;
    s.width = 5;
    s.height = 4;
    s.rowsPerStrip = 2;
    s.samples = randomSamples(s, 5);
    const Bytes good = test::buildTiff(s);
    const TiffProbe probe = probeTiffMemory(good.data(), good.size());
    ASSERT_EQ(probe.width, 5u);

    // Strip offset past the end of the file (the offset table holds 8 and 38, little-endian).
    {
        Bytes patched = good;
        const std::uint8_t table[8] = {8, 0, 0, 0, 38, 0, 0, 0};
        const auto at = std::search(patched.begin(), patched.end(), table, table + 8);
        ASSERT_NE(at, patched.end());
        at[2] = 0x7F;  // 8 + 0x7F0000
        const Decoded d = readBytes(patched);
        EXPECT_EQ(d.code, kTiffDamagedStrips);
        // The second strip still decodes.
        EXPECT_EQ(d.pixels.at(0, 2, 0), static_cast<float>(s.samples[2 * 15]) / 256.0f);
    }
    Bytes bad;
    // A strip table that claims a billion strips at an offset outside the file.
    bad = test::buildTiff(s, {{273, 4, 1000000000u, 0xFFFFFF00u}});
    EXPECT_EQ(readBytes(bad).code, kTiffDamagedStrips);
    // Byte counts larger than the strip buffer are cut at the buffer; the rows are right.
    {
        TiffSpec one = s;
        one.rowsPerStrip = 0;
        Bytes big = test::buildTiff(one, {{279, 4, 1, 60 + 4096}});
        big.insert(big.end(), 4096, 0xAB);
        const Decoded d = readBytes(big);
        expectMatches(d, one);
    }
    // Deflate data that is not a zlib stream.
    {
        TiffSpec z = s;
        z.compression = 8;
        Bytes file = test::buildTiff(z);
        file[8] ^= 0xFF;
        file[9] ^= 0xFF;
        EXPECT_EQ(readBytes(file).code, kTiffDamagedStrips);
    }
    // Fewer strips than rows need.
    EXPECT_EQ(readBytes(test::buildTiff(s, {{273, 4, 1, 8}, {279, 4, 1, 30}})).code, kTiffDamagedStrips);
}

TEST(TiffReader, TruncatedAndScrambledFilesNeverReadOutside) {
    // Our own writer puts the directory first, so a cut file keeps its header and loses strips.
    for (auto compression : {TiffCompressionChoice::None, TiffCompressionChoice::Deflate}) {
        const FloatImage picture = test::randomImage(9000, 20, 5);
        NullProgress progress;
        const std::vector<std::uint8_t> whole = encodeTiff(picture, 16, compression, progress).value;
        std::mt19937 cuts(3);
        for (int k = 0; k < 120; ++k) {
            const std::size_t n = k < 40 ? static_cast<std::size_t>(k) * 5 : cuts() % whole.size();
            const Bytes prefix(whole.begin(), whole.begin() + static_cast<long>(n));
            const TiffProbe p = probeTiffMemory(prefix.data(), prefix.size());
            if (p.width == 0 || p.height == 0) continue;
            const Decoded d = readBytes(prefix);
            if (n >= kTiffFirstStripOffset) {
                EXPECT_EQ(d.code, n == whole.size() ? 0 : kTiffDamagedStrips) << n;
            } else {
                EXPECT_NE(d.code, 0) << n;
            }
        }
    }
    for (int compression : {1, 8}) {
        for (bool little : {true, false}) {
            TiffSpec s;
            s.little = little;
            s.width = 6;
            s.height = 5;
            s.bits = 16;
            s.rowsPerStrip = 2;
            s.compression = compression;
            s.samples = randomSamples(s, 21);
            const Bytes file = test::buildTiff(s);
            std::mt19937 rng(compression * 2 + little);
            for (int round = 0; round < 300; ++round) {
                Bytes scrambled = file;
                for (int k = 0; k < 4; ++k) scrambled[rng() % scrambled.size()] = static_cast<std::uint8_t>(rng());
                const TiffProbe p = probeTiffMemory(scrambled.data(), scrambled.size());
                if (p.width == 0 || p.height == 0 || p.width > 256 || p.height > 256) continue;
                (void)readBytes(scrambled);
            }
        }
    }
}

// The whole opening path: messages, the gamma question and its correction.
struct Notices {
    std::vector<Message> messages;
    int questions = 0;
    DecodeHooks hooks(bool answer, bool batch = false) {
        DecodeHooks h;
        h.batch = batch;
        h.askGamma = [this, answer] {
            ++questions;
            return answer;
        };
        h.notify = [this](const Message& m) { messages.push_back(m); };
        return h;
    }
};

DecodedPicture open(const Bytes& file, const DecodeHooks& hooks) {
    NullProgress progress;
    return decodeTiffMemory(file.data(), file.size(), "x.tif", hooks, progress);
}

TEST(TiffOpening, GammaQuestionForDeepSamplesOnly) {
    for (int bits : {8, 16, 32}) {
        TiffSpec s;
        s.bits = bits;
        s.samples = randomSamples(s, 40 + bits);
        const Bytes file = test::buildTiff(s);
        for (bool answer : {true, false}) {
            Notices n;
            const DecodedPicture p = open(file, n.hooks(answer));
            ASSERT_TRUE(p.ok);
            EXPECT_FALSE(p.readerError);
            EXPECT_EQ(n.questions, bits == 8 ? 0 : 1);
            EXPECT_TRUE(n.messages.empty());
            const bool corrected = bits != 8 && answer;
            for (std::size_t i = 0; i < p.pixels.sampleCount(); ++i) {
                const float raw = referenceSample(s.samples[i], bits);
                const float expected = corrected ? static_cast<float>(std::pow(0.04 * raw, 0.4)) : raw;
                ASSERT_EQ(p.pixels.data()[i], expected);
            }
            // The view shows the picture before the correction.
            EXPECT_EQ(redOf(p.bitmap.at(0, 0)), static_cast<int>(referenceDisplay(referenceSample(s.samples[0], bits))));
        }
        // Several files opened together: corrected without asking.
        Notices batch;
        const DecodedPicture p = open(file, batch.hooks(false, true));
        EXPECT_EQ(batch.questions, 0);
        const float first = referenceSample(s.samples[0], bits);
        EXPECT_EQ(p.pixels.data()[0], bits == 8 ? first : static_cast<float>(std::pow(0.04 * first, 0.4)));
    }
}

TEST(TiffOpening, ReaderErrorsAreToldAndTheOpenGoesOn) {
    TiffSpec s;
    s.bits = 16;
    s.compression = 5;
    s.samples = randomSamples(s, 2);
    Notices n;
    DecodedPicture p = open(test::buildTiff(s), n.hooks(false));
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.readerError);
    ASSERT_EQ(n.messages.size(), 1u);
    EXPECT_EQ(n.messages[0].id, MessageId::TiffCompression);
    EXPECT_EQ(englishText(n.messages[0]), "TIFF error. Not supported compression type.");
    EXPECT_EQ(p.pixels.data()[0], 0.0f);

    s.bits = 8;
    s.samplesPerPixel = 4;
    s.compression = 1;
    s.samples = randomSamples(s, 3);
    Notices alpha;
    p = open(test::buildTiff(s), alpha.hooks(true));
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(alpha.messages.size(), 1u);
    EXPECT_EQ(englishText(alpha.messages[0]), "TIFF error #4");

    for (int predictor : {2, 3}) {
        TiffSpec pr;
        pr.compression = 8;
        pr.predictor = predictor;
        pr.samples = randomSamples(pr, 4);
        Notices np;
        p = open(test::buildTiff(pr), np.hooks(true));
        ASSERT_TRUE(p.ok);
        ASSERT_EQ(np.messages.size(), 1u);
        EXPECT_EQ(englishText(np.messages[0]), "TIFF error. Compression with predictor is not supported.");
    }
}

TEST(TiffOpening, NoSizeOrAbsurdSizeIsACleanFailure) {
    TiffSpec s;
    s.samples = randomSamples(s, 1);
    Notices n;
    EXPECT_FALSE(open(test::buildTiff(s, {{256, 4, 1, 0}}), n.hooks(true)).ok);
    const Bytes notTiff = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_FALSE(open(notTiff, n.hooks(true)).ok);
    EXPECT_FALSE(open(Bytes{}, n.hooks(true)).ok);
    const DecodedPicture huge = open(test::buildTiff(s, {{256, 4, 1, 0x7FFFFFF0u}, {257, 4, 1, 0x7FFFFFF0u}}), n.hooks(true));
    EXPECT_FALSE(huge.ok);
    EXPECT_TRUE(huge.outOfMemory);
    EXPECT_EQ(n.questions, 0);
}

// ---- Files written by other tools -------------------------------------------------------------

class TiffFromTools : public testing::Test {
protected:
    static constexpr int kW = 13;
    static constexpr int kH = 9;
    void SetUp() override {
        std::mt19937 rng(77);
        for (int i = 0; i < kW * kH * 3; ++i) {
            const unsigned v = rng() & 0xFFFF;
            samples16.push_back(v);
            samples8.push_back(v >> 8);
        }
        test::writePpm(dir.file("src8.ppm"), kW, kH, samples8, 255);
        test::writePpm(dir.file("src16.ppm"), kW, kH, samples16, 65535);
    }
    Decoded readFile(const std::string& path) {
        const std::string bytes = test::readBytes(path);
        return readBytes(Bytes(bytes.begin(), bytes.end()));
    }
    void expect8(const Decoded& d) {
        ASSERT_EQ(d.pixels.width(), kW);
        ASSERT_EQ(d.pixels.height(), kH);
        for (int i = 0; i < kW * kH * 3; ++i) ASSERT_EQ(d.pixels.data()[i], samples8[i] / 256.0f) << i;
        EXPECT_EQ(redOf(d.bitmap.at(0, 0)), static_cast<int>(referenceDisplay(samples8[0] / 256.0f)));
    }
    void expect16(const Decoded& d) {
        ASSERT_EQ(d.pixels.width(), kW);
        for (int i = 0; i < kW * kH * 3; ++i) ASSERT_EQ(d.pixels.data()[i], samples16[i] / 65536.0f) << i;
    }
    test::TempDir dir;
    std::vector<unsigned> samples8, samples16;
};

TEST_F(TiffFromTools, ImageMagick) {
    if (!test::haveTool(test::convertTool())) GTEST_SKIP() << "ImageMagick is not installed";
    const std::string im = test::convertTool() + " ";
    const std::string src8 = test::quoted(dir.file("src8.ppm"));
    const std::string src16 = test::quoted(dir.file("src16.ppm"));
    struct Case {
        std::string options, source;
        int bits, code;
        std::uint32_t predictor = 0;
    } cases[] = {
        {"-compress None", src8, 8, 0},
        {"-compress Zip -define tiff:predictor=1", src8, 8, 0},
        {"-compress Zip -define tiff:predictor=1 -endian MSB", src8, 8, 0},
        {"-compress None -endian MSB -define tiff:rows-per-strip=2", src8, 8, 0},
        {"-compress Zip -define tiff:predictor=1 -define tiff:rows-per-strip=1", src8, 8, 0},
        {"-depth 16 -compress None", src16, 16, 0},
        {"-depth 16 -compress Zip -define tiff:predictor=1 -endian MSB -define tiff:rows-per-strip=4", src16, 16, 0},
        {"-compress LZW", src8, 8, 2, 2},
        {"-depth 16 -compress LZW -define tiff:predictor=1", src16, 16, 2},
        {"-compress Zip", src8, 8, 0, 2},  // ImageMagick's Deflate uses predictor 2 unless told otherwise
        {"-alpha set -compress None", src8, 8, 4},
    };
    int k = 0;
    for (const Case& c : cases) {
        const std::string out = dir.file("im" + std::to_string(k++) + ".tif");
        ASSERT_EQ(test::run(im + c.source + " " + c.options + " " + test::quoted(out)), 0) << c.options;
        SCOPED_TRACE(c.options);
        const Decoded d = readFile(out);
        EXPECT_EQ(d.code, c.code);
        const std::string bytes = test::readBytes(out);
        const TiffProbe p = probeTiffMemory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        EXPECT_EQ(p.bitsPerSample, static_cast<std::uint32_t>(c.bits));
        EXPECT_EQ(p.predictor == 2, c.predictor == 2);
        if (c.code == 0 && c.predictor == 0 && c.bits == 8) expect8(d);
        if (c.code == 0 && c.predictor == 0 && c.bits == 16) expect16(d);
    }
    // 32-bit floating-point samples: ImageMagick stores v / 65535 as floats; the reader doubles them.
    // (This ImageMagick complains about the Predictor tag of float files but writes them.)
    const std::string out = dir.file("float.tif");
    test::run(im + src16 + " -define quantum:format=floating-point -define tiff:predictor=1 -depth 32 -compress None " +
              test::quoted(out));
    ASSERT_NE(test::capture("tiffinfo " + test::quoted(out)).find("IEEE floating point"), std::string::npos);
    const Decoded d = readFile(out);
    EXPECT_EQ(d.code, 0);
    ASSERT_EQ(d.pixels.width(), kW);
    for (int i = 0; i < kW * kH * 3; ++i) ASSERT_NEAR(d.pixels.data()[i], 2.0 * samples16[i] / 65535.0, 1e-6) << i;
}

TEST_F(TiffFromTools, LibtiffTools) {
    if (!test::haveTool("tiffcp") || !test::haveTool(test::convertTool())) GTEST_SKIP() << "libtiff-tools missing";
    const std::string base = dir.file("base.tif");
    const std::string base16 = dir.file("base16.tif");
    ASSERT_EQ(test::run(test::convertTool() + " " + test::quoted(dir.file("src8.ppm")) + " -compress None " + test::quoted(base)), 0);
    ASSERT_EQ(test::run(test::convertTool() + " " + test::quoted(dir.file("src16.ppm")) + " -depth 16 -compress None " + test::quoted(base16)), 0);
    struct Case {
        std::string options;
        bool deep;
        int code;
        std::uint32_t predictor;
    } cases[] = {
        {"-c none", false, 0, 0},          {"-c zip", false, 0, 0},         {"-c zip -r 1", false, 0, 0},
        {"-c zip -B", false, 0, 0},        {"-c none -B -r 2", false, 0, 0}, {"-c zip -r 3", true, 0, 0},
        {"-c none -B", true, 0, 0},        {"-c lzw", false, 2, 0},         {"-c zip:2", false, 0, 2},
        {"-c lzw:2 -B", true, 2, 2},
    };
    int k = 0;
    for (const Case& c : cases) {
        const std::string out = dir.file("cp" + std::to_string(k++) + ".tif");
        ASSERT_EQ(test::run("tiffcp " + c.options + " " + test::quoted(c.deep ? base16 : base) + " " + test::quoted(out)), 0);
        SCOPED_TRACE(c.options);
        const Decoded d = readFile(out);
        EXPECT_EQ(d.code, c.code);
        const std::string bytes = test::readBytes(out);
        EXPECT_EQ(probeTiffMemory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()).predictor, c.predictor);
        if (c.code == 0 && c.predictor == 0 && c.deep) expect16(d);
        if (c.code == 0 && c.predictor == 0 && !c.deep) expect8(d);
    }
}

TEST_F(TiffFromTools, Pil) {
    if (!test::havePil()) GTEST_SKIP() << "Python PIL is not installed";
    const std::string script = R"(
import sys
from PIL import Image
src, out = sys.argv[1], sys.argv[2]
im = Image.open(src).convert('RGB')
im.save(out + '-raw.tif', compression='raw')
im.save(out + '-deflate.tif', compression='tiff_adobe_deflate')
im.save(out + '-lzw.tif', compression='tiff_lzw')
im.convert('RGBA').save(out + '-rgba.tif', compression='raw')
im.convert('L').save(out + '-grey.tif', compression='raw')
)";
    int status = 0;
    test::runPython(dir, script, test::quoted(dir.file("src8.ppm")) + " " + test::quoted(dir.file("pil")), &status);
    ASSERT_EQ(status, 0);
    expect8(readFile(dir.file("pil-raw.tif")));
    const Decoded deflate = readFile(dir.file("pil-deflate.tif"));
    EXPECT_EQ(deflate.code, 0);
    expect8(deflate);
    EXPECT_EQ(readFile(dir.file("pil-lzw.tif")).code, 2);
    EXPECT_EQ(readFile(dir.file("pil-rgba.tif")).code, 4);
    EXPECT_EQ(readFile(dir.file("pil-grey.tif")).code, 5);  // one 8-bit value and one channel
}

}  // namespace
}  // namespace sv

namespace sv {
namespace {

TEST(TiffOpening, FromDiskByExtensionInAnyCase) {
    test::TempDir dir;
    TiffSpec s;
    s.bits = 16;
    s.compression = 32946;
    s.samples = randomSamples(s, 99);
    const Bytes file = test::buildTiff(s);
    test::writeBytes(dir.file("x.Tiff"), std::string(file.begin(), file.end()));
    test::writeBytes(dir.file("y.TIF"), std::string(file.begin(), file.end()));
    NullProgress progress;
    int questions = 0;
    DecodeHooks hooks;
    hooks.askGamma = [&] {
        ++questions;
        return false;
    };
    for (const char* name : {"x.Tiff", "y.TIF"}) {
        const DecodedPicture p = decodePicture(dir.file(name), hooks, progress);
        ASSERT_TRUE(p.ok) << name;
        EXPECT_EQ(p.pixels.at(0, 0, 0), referenceSample(s.samples[0], 16));
    }
    EXPECT_EQ(questions, 2);
    const DecodedPicture missing = decodePicture(dir.file("none.tif"), hooks, progress);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.failure.id, MessageId::CannotReadFile);
}

}  // namespace
}  // namespace sv
