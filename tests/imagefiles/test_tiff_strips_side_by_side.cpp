// Strips decoded side by side give the very pixels, bitmap and outcome of the one-buffer order,
// also when strips are cut short or damaged, which is where a strip could pick up bytes another
// strip left in a shared buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "file_builders.h"
#include "imagefiles/tiff_reader.h"

namespace sv {
namespace {

using test::Bytes;
using test::TiffSpec;

std::uint32_t u32At(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Where a little-endian file's strip tables (LONG, more than one strip) sit.
struct StripTables {
    std::size_t offsets = 0, counts = 0;
};
StripTables tablesOf(const Bytes& file) {
    StripTables t;
    const std::uint32_t ifd = u32At(file, 4);
    const unsigned entries = file[ifd] | (file[ifd + 1] << 8);
    for (unsigned i = 0; i < entries; ++i) {
        const std::size_t at = ifd + 2 + 12 * i;
        const unsigned tag = file[at] | (file[at + 1] << 8);
        if (tag == 273) t.offsets = u32At(file, at + 8);
        if (tag == 279) t.counts = u32At(file, at + 8);
    }
    return t;
}

struct Read {
    TiffReadOutcome outcome;
    FloatImage pixels;
    DisplayBitmap bitmap;
};

Read readWith(const Bytes& file, std::size_t workers) {
    const TiffProbe probe = probeTiffMemory(file.data(), file.size());
    Read r;
    r.pixels = FloatImage(static_cast<int>(probe.width), static_cast<int>(probe.height));
    r.pixels.fill(-7.0f);  // rows no strip wholly holds keep this
    r.bitmap = DisplayBitmap(static_cast<int>(probe.width), static_cast<int>(probe.height));
    NullProgress progress;
    r.outcome = detail::readTiffStrips(file.data(), file.size(), r.pixels, r.bitmap, progress, workers);
    return r;
}

void expectSame(const Read& a, const Read& b) {
    EXPECT_EQ(a.outcome.code, b.outcome.code);
    EXPECT_EQ(a.outcome.incomplete, b.outcome.incomplete);
    ASSERT_TRUE(a.pixels.sameSize(b.pixels));
    EXPECT_EQ(std::memcmp(a.pixels.data(), b.pixels.data(), a.pixels.sampleCount() * sizeof(float)), 0);
    for (int y = 0; y < a.bitmap.height(); ++y) {
        ASSERT_EQ(std::memcmp(a.bitmap.row(y), b.bitmap.row(y), sizeof(std::uint32_t) * a.bitmap.width()), 0)
            << "bitmap row " << y;
    }
}

TiffSpec randomSpec(int bits, bool little, unsigned seed) {
    std::mt19937 rng(seed);
    TiffSpec s;
    s.little = little;
    s.bits = bits;
    s.compression = seed % 2 ? 8 : 32946;
    s.width = 37 + rng() % 40;
    s.height = 60 + rng() % 50;
    s.rowsPerStrip = 1 + rng() % 7;
    s.samples.resize(std::size_t(s.width) * s.height * 3);
    for (auto& v : s.samples) {
        if (bits == 8) v = rng() & 0xFF;
        else if (bits == 16) v = rng() & 0xFFFF;
        else {
            const float f = std::uniform_real_distribution<float>(-0.1f, 0.9f)(rng);
            std::memcpy(&v, &f, 4);
        }
    }
    return s;
}

TEST(TiffStripsSideBySide, WholeFilesOfEveryDepthAndByteOrder) {
    unsigned seed = 1;
    for (int bits : {8, 16, 32}) {
        for (bool little : {true, false}) {
            const TiffSpec s = randomSpec(bits, little, seed++);
            const Bytes file = test::buildTiff(s);
            const Read one = readWith(file, 1);
            ASSERT_EQ(one.outcome.code, 0);
            for (std::size_t workers : {2u, 3u, 16u}) {
                SCOPED_TRACE(testing::Message() << bits << " bits, little " << little << ", " << workers << " workers");
                expectSame(one, readWith(file, workers));
            }
            // A stored sample reaches the picture as its value, here the first of the last strip.
            const std::uint32_t lastStripRow = (s.height - 1) / s.rowsPerStrip * s.rowsPerStrip;
            if (bits == 16) {
                EXPECT_EQ(one.pixels.at(0, static_cast<int>(lastStripRow), 0),
                          static_cast<float>(s.samples[std::size_t(lastStripRow) * s.width * 3]) / 65536.0f);
            }
        }
    }
}

TEST(TiffStripsSideBySide, ShortAndDamagedStripsGiveTheSameRowsAsOneBuffer) {
    for (int bits : {8, 16, 32}) {
        TiffSpec s = randomSpec(bits, true, 40 + bits);
        s.rowsPerStrip = 4;
        const Bytes good = test::buildTiff(s);
        const StripTables t = tablesOf(good);
        ASSERT_NE(t.offsets, 0u);
        const std::size_t strips = (s.height + 3) / 4;
        ASSERT_GE(strips, 6u);
        const std::size_t rowBytes = std::size_t(s.width) * 3 * (bits / 8);

        // Strip 2 cut to a third of its stream: it inflates to part of its rows, and with one
        // buffer the rest of the buffer still holds strip 1's bytes. Strip 4's stream is
        // scrambled in its middle. Strip 5 takes strip 3's data (identical strips are legal).
        Bytes bad = good;
        put32(bad, t.counts + 4 * 2, u32At(bad, t.counts + 4 * 2) / 3);
        const std::uint32_t at4 = u32At(bad, t.offsets + 4 * 4);
        const std::uint32_t count4 = u32At(bad, t.counts + 4 * 4);
        for (std::uint32_t i = count4 / 2; i < count4 / 2 + 6 && i < count4; ++i) bad[at4 + i] ^= 0x5A;
        put32(bad, t.offsets + 4 * 5, u32At(bad, t.offsets + 4 * 3));
        put32(bad, t.counts + 4 * 5, u32At(bad, t.counts + 4 * 3));

        const Read one = readWith(bad, 1);
        EXPECT_EQ(one.outcome.code, kTiffDamagedStrips);
        EXPECT_FALSE(one.outcome.incomplete);
        for (std::size_t workers : {2u, 5u}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << workers << " workers");
            expectSame(one, readWith(bad, workers));
        }
        // No row shows another strip's bytes: strip 2 has rows it could not fill, and they
        // kept what they had; strip 5 shows strip 3's rows.
        int kept = 0;
        for (int y = 8; y < 12; ++y) kept += one.pixels.at(0, y, 0) == -7.0f && one.pixels.at(1, y, 2) == -7.0f;
        EXPECT_GT(kept, 0);
        EXPECT_LT(kept, 4) << "a third of the stream still fills a row of " << rowBytes << " bytes";
        EXPECT_EQ(std::memcmp(one.pixels.row(20), one.pixels.row(12), 4 * s.width * 3 * sizeof(float)), 0);
    }
}

TEST(TiffStripsSideBySide, WorkersAndTheirBuffersAreCounted) {
    EXPECT_EQ(tiffStripWorkers(0), 1u);
    EXPECT_EQ(tiffStripWorkers(1), 1u);
    EXPECT_GE(tiffStripWorkers(1000), 1u);
    TiffSpec s = randomSpec(16, true, 3);
    s.rowsPerStrip = 5;
    const Bytes file = test::buildTiff(s);
    const TiffProbe probe = probeTiffMemory(file.data(), file.size());
    EXPECT_EQ(probe.stripCount, (s.height + 4) / 5);
    EXPECT_EQ(probe.stripBufferBytes, 5ull * s.width * 6);
}

}  // namespace
}  // namespace sv
