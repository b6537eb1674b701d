#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "imagefiles/tiff_reader.h"
#include "imagefiles/tiff_writer.h"
#include "tool_support.h"

namespace sv {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t le16(const Bytes& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }
std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}

// The writer as its description reads, one row at a time into one strip buffer, on one thread.
Bytes referenceTiff(const FloatImage& src, int B, bool deflate) {
    const int W = src.width(), H = src.height();
    const std::uint32_t bytesPerRow = static_cast<std::uint32_t>(W) * 3 * B / 8;
    std::uint32_t rps = 500000 / bytesPerRow;
    if (rps == 0) rps = 1;
    const std::uint32_t n = static_cast<std::uint32_t>(std::ceil(static_cast<double>(H) / rps));
    Bytes out;
    auto p16 = [&](std::uint32_t v) { out.push_back(v & 0xFF); out.push_back((v >> 8) & 0xFF); };
    auto p32 = [&](std::uint32_t v) { p16(v & 0xFFFF); p16(v >> 16); };
    out.push_back('I'); out.push_back('I'); p16(42); p32(21);
    p16(B); p16(B); p16(B);
    for (char c : std::string("Sombrel")) out.push_back(static_cast<std::uint8_t>(c));
    p16(12);
    const std::size_t dir = out.size();
    out.resize(out.size() + 144);
    p32(0);
    std::vector<std::uint32_t> offsets, counts;
    Bytes strip(static_cast<std::size_t>(rps) * bytesPerRow);
    std::uint32_t total = 0;
    auto emit = [&](std::uint32_t rows) {
        const std::size_t raw = static_cast<std::size_t>(rows) * bytesPerRow;
        if (!deflate) {
            offsets.push_back(171 + static_cast<std::uint32_t>(offsets.size()) * rps * bytesPerRow);
            counts.push_back(static_cast<std::uint32_t>(raw));
            out.insert(out.end(), strip.begin(), strip.begin() + static_cast<long>(raw));
        } else {
            uLongf size = raw + (raw >> 12) + (raw >> 14) + 11 + 64;
            Bytes z(size);
            compress(z.data(), &size, strip.data(), raw);
            offsets.push_back(offsets.empty() ? 171 : offsets.back() + counts.back());
            counts.push_back(static_cast<std::uint32_t>(size));
            out.insert(out.end(), z.begin(), z.begin() + static_cast<long>(size));
        }
        total += counts.back();
    };
    for (int y = 0; y < H; ++y) {
        std::uint8_t* row = strip.data() + static_cast<std::size_t>(y % rps) * bytesPerRow;
        for (int i = 0; i < W * 3; ++i) {
            float v = src.row(y)[i];
            if (v > 1.0f) v = 1.0f;
            if (B == 8) {
                row[i] = static_cast<std::uint8_t>(static_cast<int>(v * 255));
            } else {
                const int s = static_cast<int>(v * 65280);
                row[2 * i] = s & 0xFF;
                row[2 * i + 1] = (s >> 8) & 0xFF;
            }
        }
        if (static_cast<std::uint32_t>(y) % rps == rps - 1) emit(rps);
    }
    if (H % rps != 0) emit(H % rps);
    for (auto v : offsets) p32(v);
    for (auto v : counts) p32(v);
    const std::uint32_t table = 171 + total;
    const std::uint32_t e[12][4] = {
        {254, 4, 1, 0}, {256, 4, 1, static_cast<std::uint32_t>(W)}, {257, 4, 1, static_cast<std::uint32_t>(H)},
        {258, 3, 3, 8}, {259, 3, 1, deflate ? 32946u : 1u}, {262, 3, 1, 2},
        {273, 4, n, n == 1 ? 171 : table}, {277, 3, 1, 3}, {278, 4, 1, rps},
        {279, 4, n, n == 1 ? counts[0] : table + 4 * n}, {284, 3, 1, 1}, {305, 2, 7, 14}};
    for (int i = 0; i < 12; ++i) {
        std::uint8_t* d = out.data() + dir + 12 * i;
        d[0] = e[i][0] & 0xFF; d[1] = e[i][0] >> 8;
        d[2] = e[i][1] & 0xFF; d[3] = 0;
        for (int k = 0; k < 4; ++k) d[4 + k] = (e[i][2] >> (8 * k)) & 0xFF;
        for (int k = 0; k < 4; ++k) d[8 + k] = (e[i][3] >> (8 * k)) & 0xFF;
    }
    return out;
}

Bytes encode(const FloatImage& picture, int bits, TiffCompressionChoice c) {
    NullProgress progress;
    return encodeTiff(picture, bits, c, progress).value;
}

TEST(TiffWriter, StripPlanRules) {
    TiffStripPlan p = tiffStripPlan(100, 80, 8);
    EXPECT_EQ(p.bytesPerRow, 300u);
    EXPECT_EQ(p.rowsPerStrip, 1666u);
    EXPECT_EQ(p.strips, 1u);
    p = tiffStripPlan(4000, 3000, 16);
    EXPECT_EQ(p.bytesPerRow, 24000u);
    EXPECT_EQ(p.rowsPerStrip, 20u);
    EXPECT_EQ(p.strips, 150u);
    p = tiffStripPlan(1000, 166, 16);  // 83 rows per strip, exactly two strips
    EXPECT_EQ(p.rowsPerStrip, 83u);
    EXPECT_EQ(p.strips, 2u);
    // Rows wider than 500,000 bytes still get one row per strip.
    p = tiffStripPlan(166667, 3, 8);
    EXPECT_EQ(p.rowsPerStrip, 1u);
    EXPECT_EQ(p.strips, 3u);
    p = tiffStripPlan(83334, 2, 16);
    EXPECT_EQ(p.rowsPerStrip, 1u);
}

TEST(TiffWriter, SingleStripLayoutByteByByte) {
    FloatImage picture = test::randomImage(100, 80, 1);
    picture.at(0, 0, 0) = 1.5f;
    picture.at(0, 0, 1) = 1.0f;
    picture.at(0, 0, 2) = 0.5f;
    picture.at(1, 0, 0) = 0.999f;
    const Bytes f = encode(picture, 8, TiffCompressionChoice::None);
    ASSERT_EQ(f.size(), 24179u);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 2), "II");
    EXPECT_EQ(le16(f, 2), 42u);
    EXPECT_EQ(le32(f, 4), 21u);
    EXPECT_EQ(le16(f, 8), 8u);
    EXPECT_EQ(le16(f, 10), 8u);
    EXPECT_EQ(le16(f, 12), 8u);
    EXPECT_EQ(std::string(f.begin() + 14, f.begin() + 21), "Sombrel");
    EXPECT_EQ(f[21], 12);
    EXPECT_EQ(f[22], 0);
    const std::uint32_t expected[12][4] = {{254, 4, 1, 0},   {256, 4, 1, 100}, {257, 4, 1, 80},  {258, 3, 3, 8},
                                           {259, 3, 1, 1},   {262, 3, 1, 2},   {273, 4, 1, 171}, {277, 3, 1, 3},
                                           {278, 4, 1, 1666}, {279, 4, 1, 24000}, {284, 3, 1, 1},  {305, 2, 7, 14}};
    for (int i = 0; i < 12; ++i) {
        const std::size_t e = 23 + 12 * i;
        EXPECT_EQ(le16(f, e), expected[i][0]) << i;
        EXPECT_EQ(le16(f, e + 2), expected[i][1]) << i;
        EXPECT_EQ(le32(f, e + 4), expected[i][2]) << i;
        EXPECT_EQ(le32(f, e + 8), expected[i][3]) << i;
    }
    EXPECT_EQ(le32(f, 167), 0u);
    // Sample conversion: 1.5 and 1.0 give 255, 0.5 gives 127, 0.999 gives 254.
    EXPECT_EQ(f[171], 255);
    EXPECT_EQ(f[172], 255);
    EXPECT_EQ(f[173], 127);
    EXPECT_EQ(f[174], 254);
    // Both tables follow the strip even for a single strip.
    EXPECT_EQ(le32(f, 24171), 171u);
    EXPECT_EQ(le32(f, 24175), 24000u);

    const Bytes f16 = encode(picture, 16, TiffCompressionChoice::None);
    EXPECT_EQ(le16(f16, 171), 65280u);
    EXPECT_EQ(le16(f16, 173), 65280u);
    EXPECT_EQ(le16(f16, 175), 32640u);
}

TEST(TiffWriter, ManyStripsPointAtTheTablesAndDeflateStripsLieBackToBack) {
    const FloatImage picture = test::randomImage(4000, 45, 2, 0.0f, 1.2f);
    const Bytes raw = encode(picture, 16, TiffCompressionChoice::None);
    const std::uint32_t n = 3;
    ASSERT_EQ(raw.size(), 171u + 4000u * 6 * 45 + 8 * n);
    EXPECT_EQ(le32(raw, 23 + 6 * 12 + 4), n);
    const std::uint32_t table = 171 + 4000 * 6 * 45;
    EXPECT_EQ(le32(raw, 23 + 6 * 12 + 8), table);
    EXPECT_EQ(le32(raw, 23 + 9 * 12 + 8), table + 4 * n);
    EXPECT_EQ(le32(raw, 23 + 8 * 12 + 8), 20u);
    for (std::uint32_t t = 0; t < n; ++t) {
        EXPECT_EQ(le32(raw, table + 4 * t), 171 + t * 20 * 24000);
        EXPECT_EQ(le32(raw, table + 4 * n + 4 * t), (t < 2 ? 20u : 5u) * 24000);
    }

    const Bytes z = encode(picture, 16, TiffCompressionChoice::Deflate);
    EXPECT_EQ(le16(z, 23 + 4 * 12 + 8), 32946u);
    const std::uint32_t zt = le32(z, 23 + 6 * 12 + 8);
    EXPECT_EQ(le32(z, 23 + 9 * 12 + 8), zt + 4 * n);
    ASSERT_EQ(z.size(), zt + 8 * n);
    std::uint32_t expectedOffset = 171;
    for (std::uint32_t t = 0; t < n; ++t) {
        const std::uint32_t offset = le32(z, zt + 4 * t);
        const std::uint32_t count = le32(z, zt + 4 * n + 4 * t);
        EXPECT_EQ(offset, expectedOffset);
        expectedOffset += count;
        // Each strip is one zlib stream of that strip's raw bytes.
        const std::uint32_t rows = t < 2 ? 20 : 5;
        Bytes inflated(rows * 24000);
        uLongf size = inflated.size();
        ASSERT_EQ(uncompress(inflated.data(), &size, z.data() + offset, count), Z_OK);
        ASSERT_EQ(size, inflated.size());
        EXPECT_TRUE(std::equal(inflated.begin(), inflated.end(), raw.begin() + 171 + t * 20 * 24000));
    }
    EXPECT_EQ(expectedOffset, zt);
}

TEST(TiffWriter, MatchesTheDirectWriterOnRandomPictures) {
    struct Size {
        int w, h;
    } sizes[] = {{1, 1}, {100, 80}, {4000, 45}, {1000, 166}, {1000, 167}, {7, 3}};
    unsigned seed = 10;
    for (const Size& s : sizes) {
        const FloatImage picture = test::randomImage(s.w, s.h, seed++, -0.2f, 1.3f);
        for (int bits : {8, 16}) {
            for (bool deflate : {false, true}) {
                SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " bits " << bits << " deflate " << deflate);
                FloatImage clamped = picture.clone();
                // Negative samples are written as 0 here; the direct version has no rule for them.
                for (std::size_t i = 0; i < clamped.sampleCount(); ++i) clamped.data()[i] = std::max(0.0f, clamped.data()[i]);
                const Bytes ours = encode(picture, bits, deflate ? TiffCompressionChoice::Deflate : TiffCompressionChoice::None);
                ASSERT_EQ(ours, referenceTiff(clamped, bits, deflate));
            }
        }
    }
}

TEST(TiffWriter, SameBytesOnAnyNumberOfThreads) {
    const FloatImage picture = test::randomImage(3000, 300, 9);
    Bytes one, all;
    {
        tbb::global_control single(tbb::global_control::max_allowed_parallelism, 1);
        one = encode(picture, 16, TiffCompressionChoice::Deflate);
    }
    all = encode(picture, 16, TiffCompressionChoice::Deflate);
    EXPECT_EQ(one, all);
}

TEST(TiffWriter, ReadsBackThroughOurReader) {
    const FloatImage picture = test::randomImage(3000, 120, 4);
    for (int bits : {8, 16}) {
        for (auto c : {TiffCompressionChoice::None, TiffCompressionChoice::Deflate}) {
            const Bytes f = encode(picture, bits, c);
            FloatImage back(3000, 120);
            DisplayBitmap view(3000, 120);
            NullProgress progress;
            ASSERT_EQ(readTiffMemory(f.data(), f.size(), back, view, progress), 0);
            for (std::size_t i = 0; i < back.sampleCount(); ++i) {
                const float v = picture.data()[i];
                const float expected = bits == 8 ? static_cast<float>(static_cast<int>(v * 255)) / 256.0f
                                                 : static_cast<float>(static_cast<int>(v * 65280)) / 65536.0f;
                ASSERT_EQ(back.data()[i], expected) << i;
            }
        }
    }
}

TEST(TiffWriter, FailedWriteIsReportedAndLeavesNothingBehind) {
    test::TempDir dir;
    const FloatImage picture = test::randomImage(10, 10, 1);
    NullProgress progress;
    std::string error;
    EXPECT_FALSE(test::written(writeTiff(dir.file("missing/x.tif"), picture, 10, 10, 8, TiffCompressionChoice::Deflate, progress), error));
    EXPECT_FALSE(error.empty());
    // A directory in the way: the rename fails, the directory and its content stay as they were.
    std::filesystem::create_directory(dir.file("taken.tif"));
    test::writeBytes(dir.file("taken.tif/inside"), "keep");
    error.clear();
    EXPECT_FALSE(test::written(writeTiff(dir.file("taken.tif"), picture, 10, 10, 8, TiffCompressionChoice::None, progress), error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(test::readBytes(dir.file("taken.tif/inside")), "keep");
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);  // no temporary file left
    // Wrong sizes are refused, not written.
    error.clear();
    EXPECT_FALSE(test::written(writeTiff(dir.file("y.tif"), picture, 11, 10, 8, TiffCompressionChoice::None, progress), error));
    EXPECT_FALSE(std::filesystem::exists(dir.file("y.tif")));
    // A successful write replaces an existing file.
    test::writeBytes(dir.file("z.tif"), "old");
    ASSERT_TRUE(test::written(writeTiff(dir.file("z.tif"), picture, 10, 10, 8, TiffCompressionChoice::None, progress), error)) << error;
    EXPECT_EQ(test::readBytes(dir.file("z.tif")).size(), 171u + 300 + 8);
}

// ---- Our files read by other tools ------------------------------------------------------------

struct Written {
    std::string path;
    FloatImage picture;
    int bits;
};

class TiffReadByTools : public testing::Test {
protected:
    void SetUp() override {
        int k = 0;
        for (int bits : {8, 16}) {
            for (auto c : {TiffCompressionChoice::None, TiffCompressionChoice::Deflate}) {
                for (int h : {9, 60}) {  // 9000 bytes a row: one strip of 9 rows, or two strips
                    Written w{dir.file("ours" + std::to_string(k) + ".tif"), test::randomImage(bits == 8 ? 3000 : 1500, h, 100 + k, 0.0f, 1.1f), bits};
                    NullProgress progress;
                    std::string error;
                    ASSERT_TRUE(test::written(writeTiff(w.path, w.picture, w.picture.width(), h, bits, c, progress), error)) << error;
                    files.push_back(std::move(w));
                    ++k;
                }
            }
        }
    }
    static std::uint32_t stored(float v, int bits) {
        if (v > 1.0f) v = 1.0f;
        return bits == 8 ? static_cast<std::uint32_t>(v * 255) : static_cast<std::uint32_t>(v * 65280);
    }
    test::TempDir dir;
    std::vector<Written> files;
};

TEST_F(TiffReadByTools, LibtiffDecodesTheSamples) {
    if (!test::haveTool("tiffinfo") || !test::haveTool("tiffdump")) GTEST_SKIP() << "libtiff-tools missing";
    for (const Written& w : files) {
        SCOPED_TRACE(w.path);
        const std::string dump = test::capture("tiffdump " + test::quoted(w.path));
        EXPECT_NE(dump.find("ImageWidth (256) LONG (4) 1<" + std::to_string(w.picture.width()) + ">"), std::string::npos) << dump;
        EXPECT_NE(dump.find("Software (305) ASCII (2) 7<Sombrel>"), std::string::npos) << dump;
        const std::vector<unsigned char> bytes = test::tiffinfoStripBytes(w.path);
        const std::size_t samples = w.picture.sampleCount();
        ASSERT_EQ(bytes.size(), samples * (w.bits / 8));
        for (std::size_t i = 0; i < samples; ++i) {
            const std::uint32_t v = w.bits == 8 ? bytes[i] : (bytes[2 * i] | (bytes[2 * i + 1] << 8));
            ASSERT_EQ(v, stored(w.picture.data()[i], w.bits)) << i;
        }
    }
}

TEST_F(TiffReadByTools, PilReadsThePixels) {
    if (!test::havePil()) GTEST_SKIP() << "Python PIL is not installed";
    // PIL gives 16-bit RGB as its high bytes.
    const std::string script = R"(
import sys
from PIL import Image
im = Image.open(sys.argv[1])
sys.stdout.write('%d %d %s\n' % (im.size[0], im.size[1], im.mode))
sys.stdout.flush()
sys.stdout.buffer.write(im.tobytes())
)";
    for (const Written& w : files) {
        SCOPED_TRACE(w.path);
        int status = 0;
        const std::string out = test::runPython(dir, script, test::quoted(w.path), &status);
        ASSERT_EQ(status, 0);
        const auto eol = out.find('\n');
        ASSERT_NE(eol, std::string::npos);
        EXPECT_EQ(out.substr(0, eol), std::to_string(w.picture.width()) + " " + std::to_string(w.picture.height()) + " RGB");
        const std::string pixels = out.substr(eol + 1);
        ASSERT_EQ(pixels.size(), w.picture.sampleCount());
        for (std::size_t i = 0; i < w.picture.sampleCount(); ++i) {
            const std::uint32_t s = stored(w.picture.data()[i], w.bits);
            ASSERT_EQ(static_cast<unsigned char>(pixels[i]), w.bits == 8 ? s : s >> 8) << i;
        }
    }
}

}  // namespace
}  // namespace sv
