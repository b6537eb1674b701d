// Hostile and damaged input for every reader: files that are not regular files, sizes a file
// cannot hold, data that end early, checksums written wrong, and samples that are not numbers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <random>

#include "file_builders.h"
#include "imagefiles/rgbe_reader.h"
#include "imagefiles/tiff_reader.h"
#include "imagefiles/tiff_writer.h"
#include "tool_support.h"

namespace sv {
namespace {

using test::Bytes;

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Records what the decoder claims before it obtains anything, and admits it (or not).
struct ClaimSpy {
    std::vector<PictureClaim> claims;
    std::optional<Message> answer;
    DecodeHooks hooks() {
        DecodeHooks h;
        h.admit = [this](const PictureClaim& c) {
            claims.push_back(c);
            return answer;
        };
        h.notify = [this](const Message& m) { notices.push_back(m); };
        return h;
    }
    std::vector<Message> notices;
};

Bytes jpegOf(int w, int h, unsigned seed, bool progressive, int quality = 90, bool flat = false) {
    std::vector<unsigned char> rgb = test::randomRgb(w, h, seed);
    if (flat) std::fill(rgb.begin(), rgb.end(), 128);
    tjhandle t = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(t, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_420, quality, progressive ? TJFLAG_PROGRESSIVE : 0);
    Bytes file(out, out + size);
    tjFree(out);
    tjDestroy(t);
    return file;
}

// Sets the frame size of a JPEG (the first SOF0 or SOF2 marker).
void setJpegSize(Bytes& file, int w, int h) {
    for (std::size_t i = 2; i + 9 < file.size(); ++i) {
        if (file[i] == 0xFF && (file[i + 1] == 0xC0 || file[i + 1] == 0xC2)) {
            file[i + 5] = static_cast<std::uint8_t>(h >> 8), file[i + 6] = static_cast<std::uint8_t>(h);
            file[i + 7] = static_cast<std::uint8_t>(w >> 8), file[i + 8] = static_cast<std::uint8_t>(w);
            return;
        }
    }
    ADD_FAILURE() << "no frame header";
}

// Little-endian files only: the IFD entry of `tag`, or 0.
std::size_t tiffEntry(const Bytes& file, unsigned tag) {
    const std::size_t ifd = file[4] | (file[5] << 8) | (file[6] << 16) | (std::size_t(file[7]) << 24);
    const unsigned entries = file[ifd] | (file[ifd + 1] << 8);
    for (unsigned i = 0; i < entries; ++i) {
        const std::size_t at = ifd + 2 + 12 * i;
        if ((file[at] | (file[at + 1] << 8)) == tag) return at;
    }
    return 0;
}

// Large budget: memory is never the reason in these tests unless one sets it.
class BadInput : public testing::Test {
protected:
    void SetUp() override { setMemoryBudget(std::uint64_t(1) << 44); }
    void TearDown() override { setMemoryBudget(std::nullopt); }
    DecodedPicture open(const std::string& name, const Bytes& file, const DecodeHooks& hooks) {
        test::writeBytes(dir.file(name), str(file));
        return decodePicture(dir.file(name), hooks, progress);
    }
    test::TempDir dir;
    NullProgress progress;
};

// ---- only regular files --------------------------------------------------------------------

TEST_F(BadInput, FifoDeviceAndFolderAreRefusedWithoutBlocking) {
    const std::string fifo = dir.file("pipe.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir.file("zero.tif"));
    std::filesystem::create_directory(dir.file("folder.bmp"));
    for (const std::string& path : {fifo, dir.file("zero.tif"), dir.file("folder.bmp")}) {
        SCOPED_TRACE(path);
        auto pending = std::async(std::launch::async, [&] { return decodePicture(path, DecodeHooks{}, progress); });
        if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            // Opening the writer end lets a reader stuck on the FIFO go, so the suite does not hang.
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            ADD_FAILURE() << "the read blocked";
        }
        const DecodedPicture p = pending.get();
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.failure.id, MessageId::NotRegularFile);
        EXPECT_EQ(p.failure.detail, fileNameOf(path));
    }
    std::string contents;
    EXPECT_FALSE(readWholeFile(fifo, contents));
    // A symbolic link to a regular file is read as that file.
    const Bytes jpeg = jpegOf(8, 8, 1, false);
    test::writeBytes(dir.file("real.jpg"), str(jpeg));
    std::filesystem::create_symlink(dir.file("real.jpg"), dir.file("link.jpg"));
    EXPECT_TRUE(decodePicture(dir.file("link.jpg"), DecodeHooks{}, progress).ok);
}

TEST_F(BadInput, AFileLargerThanTheMemoryIsNotRead) {
    test::writeBytes(dir.file("big.jpg"), std::string(4096, 'x'));
    setMemoryBudget(1000);
    std::string contents;
    const auto refusal = readPictureFile(dir.file("big.jpg"), contents);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->id, MessageId::NotEnoughMemory);
    setMemoryBudget(5000);
    EXPECT_FALSE(readPictureFile(dir.file("big.jpg"), contents));
    EXPECT_EQ(contents.size(), 4096u);
}

// ---- the claim comes before anything is obtained -----------------------------------------------

TEST_F(BadInput, EveryReaderClaimsTheSizeBeforeObtainingAnything) {
    const test::TiffSpec t = test::uniformTiff(6, 4, 7, 2);
    test::BmpSpec b;
    b.width = 5;
    b.height = 3;
    b.pixels = Bytes(3 * 16, 1);
    const struct {
        const char* name;
        Bytes file;
        int w, h;
        std::uint64_t scratchAtLeast;
    } files[] = {
        {"a.jpg", jpegOf(40, 24, 2, true), 40, 24, 40 * 24 * 2},  // progressive: whole coefficient arrays
        {"a.tif", test::buildTiff(t), 6, 4, 2 * 6 * 3},          // one strip of two rows
        {"a.bmp", test::buildBmp(b), 5, 3, 0},
        {"a.hdr", test::buildRgbe(9, 2, std::vector<std::uint8_t>(72, 130)), 9, 2, 9 * 4},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        ClaimSpy spy;
        spy.answer = Message{MessageId::WrongImageSize};
        const DecodedPicture p = open(f.name, f.file, spy.hooks());
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.failure.id, MessageId::WrongImageSize);
        EXPECT_TRUE(p.pixels.empty());
        ASSERT_EQ(spy.claims.size(), 1u);
        EXPECT_EQ(spy.claims[0].width, f.w);
        EXPECT_EQ(spy.claims[0].height, f.h);
        EXPECT_EQ(spy.claims[0].name, f.name);
        EXPECT_GE(spy.claims[0].scratchBytes, f.scratchAtLeast);
        EXPECT_FALSE(spy.claims[0].fileTooShort);
        // Admitted, the same file opens whole.
        spy.answer.reset();
        const DecodedPicture q = open(f.name, f.file, spy.hooks());
        EXPECT_TRUE(q.ok);
        EXPECT_FALSE(q.incomplete);
    }
}

// ---- sizes a file cannot hold ------------------------------------------------------------------

TEST_F(BadInput, TinyFilesClaimingHugeSizesAreTooShortForThem) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (bool progressive : {false, true}) {
        Bytes j = jpegOf(16, 16, 3, progressive);
        setJpegSize(j, 20000, 20000);
        files.emplace_back(progressive ? "p.jpg" : "b.jpg", j);
    }
    test::TiffSpec t = test::uniformTiff(2, 2, 1);
    files.emplace_back("raw.tif", test::buildTiff(t, {{256, 4, 1, 60000}, {257, 4, 1, 60000}}));
    t.compression = 8;
    files.emplace_back("zip.tif", test::buildTiff(t, {{256, 4, 1, 60000}, {257, 4, 1, 60000}}));
    test::BmpSpec b;
    b.width = 30000;
    b.height = 30000;
    b.pixels = Bytes(64, 0);
    files.emplace_back("b.bmp", test::buildBmp(b));
    files.emplace_back("r.hdr", bytesOf("#?RADIANCE\n\n-Y 30000 +X 30000\n\x02\x02\x75\x30"));
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        EXPECT_LT(file.size(), 1000u);
        ClaimSpy spy;
        spy.answer = Message{MessageId::WrongImageSize};  // only the claim is looked at here
        const DecodedPicture p = open(name, file, spy.hooks());
        EXPECT_FALSE(p.ok);
        ASSERT_EQ(spy.claims.size(), 1u);
        EXPECT_TRUE(spy.claims[0].fileTooShort);
        // The usual admission refuses it as incomplete, before anything is obtained.
        const auto refusal = admitBySize(spy.claims[0], MemoryNeed{}, availableMemory());
        ASSERT_TRUE(refusal);
        EXPECT_EQ(refusal->id, MessageId::IncompleteFile);
        EXPECT_EQ(refusal->detail, name);
    }
}

// The bounds never refuse a complete file, even one compressed as far as its format allows.
TEST_F(BadInput, TheMostCompressedCompleteFilesAreNotTooShort) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (bool progressive : {false, true}) {
        files.emplace_back(progressive ? "flat-p.jpg" : "flat-b.jpg", jpegOf(1024, 1024, 4, progressive, 5, true));
    }
    // Zeros compressed as far as zlib goes, one strip and many.
    test::TiffSpec t;
    t.width = 1500;
    t.height = 400;
    t.compression = 8;
    t.samples.assign(std::size_t(1500) * 400 * 3, 0);
    files.emplace_back("zeros.tif", test::buildTiff(t));
    t.rowsPerStrip = 3;
    files.emplace_back("zeros-strips.tif", test::buildTiff(t));
    // Radiance scanlines of one colour: two bytes per component and 127 pixels.
    files.emplace_back("flat.hdr", test::buildRgbe(1270, 3, std::vector<std::uint8_t>(std::size_t(1270) * 3 * 4, 129)));
    // A run-length BMP that is nothing but its end.
    test::BmpSpec b;
    b.width = 3000;
    b.height = 2000;
    b.bits = 8;
    b.compression = 1;
    b.palette = {0x102030};
    b.coloursUsed = 1;
    b.pixels = {0, 1};
    files.emplace_back("eob.bmp", test::buildBmp(b));
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name + " of " + std::to_string(file.size()) + " bytes");
        ClaimSpy spy;
        const DecodedPicture p = open(name, file, spy.hooks());
        ASSERT_EQ(spy.claims.size(), 1u);
        EXPECT_FALSE(spy.claims[0].fileTooShort);
        EXPECT_TRUE(p.ok);
        EXPECT_FALSE(p.incomplete);
        EXPECT_TRUE(spy.notices.empty());
    }
}

// ---- data that end early -----------------------------------------------------------------------

TEST_F(BadInput, CutFilesAreIncompleteAndWholeOnesAreNot) {
    struct Case {
        std::string name;
        Bytes whole;
    };
    std::vector<Case> cases;
    cases.push_back({"base.jpg", jpegOf(64, 48, 5, false)});
    cases.push_back({"prog.jpg", jpegOf(64, 48, 6, true)});
    test::BmpSpec b;
    b.width = 10;
    b.height = 6;
    b.pixels = Bytes(32 * 6, 0x55);
    cases.push_back({"raw.bmp", test::buildBmp(b)});
    b.bits = 8;
    b.compression = 1;
    b.palette = {0xFF0000, 0x00FF00};
    b.coloursUsed = 2;
    b.pixels = test::encodeBmpRle(std::vector<std::vector<std::uint32_t>>(6, std::vector<std::uint32_t>(10, 1)), false);
    cases.push_back({"rle.bmp", test::buildBmp(b)});
    std::mt19937 rng(7);
    std::vector<std::uint8_t> rgbe(std::size_t(20) * 5 * 4);
    for (auto& v : rgbe) v = static_cast<std::uint8_t>(120 + rng() % 20);
    cases.push_back({"r.hdr", test::buildRgbe(20, 5, rgbe)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodedPicture whole = open(c.name, c.whole, DecodeHooks{});
        ASSERT_TRUE(whole.ok);
        EXPECT_FALSE(whole.incomplete);
        // Cut at several places past the header: what decodes is marked incomplete, and the file
        // names itself in the message.
        for (double part : {0.55, 0.8, 0.97}) {
            const Bytes cut(c.whole.begin(), c.whole.begin() + static_cast<long>(c.whole.size() * part));
            const DecodedPicture p = open(c.name, cut, DecodeHooks{});
            if (!p.ok) continue;  // cut inside the header: nothing to show at all
            EXPECT_TRUE(p.incomplete) << part;
            EXPECT_EQ(p.failure.id, MessageId::IncompleteFile);
            EXPECT_EQ(p.failure.detail, c.name);
        }
    }
}

TEST_F(BadInput, AJpegLackingOnlyItsEndMarkerIsWhole) {
    const Bytes j = jpegOf(64, 48, 8, false);
    ASSERT_EQ(j[j.size() - 1], 0xD9);
    const Bytes noEnd(j.begin(), j.end() - 2);
    const DecodedPicture a = open("a.jpg", j, DecodeHooks{}), b = open("b.jpg", noEnd, DecodeHooks{});
    ASSERT_TRUE(a.ok && b.ok);
    EXPECT_FALSE(b.incomplete);
    EXPECT_EQ(std::memcmp(a.bitmap.data(), b.bitmap.data(), 64 * 48 * 4), 0);
}

TEST_F(BadInput, TiffWithoutStripByteCountsOrStripsIsIncompleteNotErrorEight) {
    const test::TiffSpec t = test::uniformTiff(5, 4, 9, 2);
    Bytes file = test::buildTiff(t);
    // Rename the StripByteCounts tag (279) to an unknown one.
    const std::size_t counts = tiffEntry(file, 279);
    ASSERT_NE(counts, 0u);
    file[counts] = 0xE0, file[counts + 1] = 0xFF;
    const TiffProbe probe = probeTiffMemory(file.data(), file.size());
    EXPECT_TRUE(probe.stripsMissing);
    ClaimSpy spy;
    DecodedPicture p = open("counts.tif", file, spy.hooks());
    ASSERT_EQ(spy.claims.size(), 1u);
    EXPECT_TRUE(spy.claims[0].fileTooShort);
    EXPECT_TRUE(p.incomplete);
    EXPECT_TRUE(p.readerError);
    EXPECT_EQ(p.failure.id, MessageId::IncompleteFile);
    EXPECT_TRUE(spy.notices.empty()) << englishText(spy.notices[0]);
    // Every row keeps what it had: nothing comes from a previous strip.
    for (std::size_t i = 0; i < p.pixels.sampleCount(); ++i) ASSERT_EQ(p.pixels.data()[i], 0.0f);

    // A file cut inside its strips (our writer puts the directory first).
    const Bytes whole = encodeTiff(test::randomImage(5, 4, 3), 8, TiffCompressionChoice::None, progress).value;
    const Bytes cut(whole.begin(), whole.end() - 10);
    FloatImage pixels(5, 4);
    DisplayBitmap bitmap(5, 4);
    const TiffReadOutcome outcome = readTiffStrips(cut.data(), cut.size(), pixels, bitmap, progress);
    EXPECT_EQ(outcome.code, kTiffDamagedStrips);
    EXPECT_TRUE(outcome.incomplete);
}

// ---- Deflate strips ----------------------------------------------------------------------------

TEST_F(BadInput, AWrongAdlerChecksumAloneDoesNotStopAStripButACutStreamDoes) {
    test::TiffSpec t;
    t.width = 9;
    t.height = 6;
    t.compression = 8;
    std::mt19937 rng(9);
    for (int i = 0; i < 9 * 6 * 3; ++i) t.samples.push_back(rng() & 0xFF);
    const Bytes raw(t.samples.begin(), t.samples.end());
    const std::size_t streamBytes = test::deflateBytes(raw).size();
    const Bytes good = test::buildTiff(t);  // one strip, at offset 8; its last four bytes are the checksum
    Bytes badSum = good;
    badSum[8 + streamBytes - 1] ^= 0x5A;
    badSum[8 + streamBytes - 3] ^= 0xA5;
    FloatImage a(9, 6), b(9, 6);
    DisplayBitmap da(9, 6), db(9, 6);
    EXPECT_EQ(readTiffMemory(good.data(), good.size(), a, da, progress), 0);
    EXPECT_EQ(readTiffMemory(badSum.data(), badSum.size(), b, db, progress), 0);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)), 0);
    EXPECT_EQ(b.at(8, 5, 2), t.samples.back() / 256.0f);

    // A stream that really ends early (its byte count says so, inside the file): error 8, told as such.
    ClaimSpy spy;
    Bytes shortStream = good;
    const std::size_t counts = tiffEntry(shortStream, 279);
    ASSERT_NE(counts, 0u);
    shortStream[counts + 8] = static_cast<std::uint8_t>(streamBytes / 2);
    shortStream[counts + 9] = 0;
    const DecodedPicture p = open("short.tif", shortStream, spy.hooks());
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.readerError);
    EXPECT_FALSE(p.incomplete);
    ASSERT_EQ(spy.notices.size(), 1u);
    EXPECT_EQ(englishText(spy.notices[0]), "TIFF error #8");
    // So is a stream whose data are wrong, not only its checksum.
    Bytes scrambled = good;
    for (std::size_t k = 12; k < 8 + streamBytes - 4; k += 7) scrambled[k] ^= 0xFF;
    FloatImage c(9, 6);
    DisplayBitmap dc(9, 6);
    EXPECT_EQ(readTiffMemory(scrambled.data(), scrambled.size(), c, dc, progress), kTiffDamagedStrips);
}

// ---- samples that are not numbers -------------------------------------------------------------

TEST_F(BadInput, NoReaderGivesANonFiniteSample) {
    // Radiance: exponents near 255 pass the float range.
    const DecodedPicture r = open("hot.hdr", test::buildRgbe(3, 1, {255, 255, 1, 255, 10, 0, 0, 130, 0, 0, 0, 0}), DecodeHooks{});
    ASSERT_TRUE(r.ok);
    for (std::size_t i = 0; i < r.pixels.sampleCount(); ++i) ASSERT_TRUE(std::isfinite(r.pixels.data()[i])) << i;
    EXPECT_FLOAT_EQ(r.pixels.at(0, 0, 0), static_cast<float>(std::pow(10.0, 0.4)));
    EXPECT_EQ(r.pixels.at(2, 0, 0), 0.0f);
    EXPECT_EQ(r.bitmap.at(0, 0), packRgb(255, 255, 255));

    // Float TIFF: NaN, both infinities, an overflow of 2 x f, and negatives under the gamma curve.
    const float values[9] = {NAN, INFINITY, -INFINITY, FLT_MAX, -2.5f, 0.25f, 3e38f, -0.0f, 1e-3f};
    test::TiffSpec t;
    t.width = 3;
    t.height = 1;
    t.bits = 32;
    for (float f : values) {
        std::uint32_t v;
        std::memcpy(&v, &f, 4);
        t.samples.push_back(v);
    }
    for (bool gamma : {false, true}) {
        DecodeHooks hooks;
        hooks.askGamma = [gamma] { return gamma; };
        const DecodedPicture p = open("float.tif", test::buildTiff(t), hooks);
        ASSERT_TRUE(p.ok);
        for (std::size_t i = 0; i < 9; ++i) ASSERT_TRUE(std::isfinite(p.pixels.data()[i])) << i << " gamma " << gamma;
        const auto curve = [gamma](float s) {
            return gamma ? (s < 0 ? 0.0f : static_cast<float>(std::pow(0.04 * s, 0.4))) : s;
        };
        EXPECT_EQ(p.pixels.data()[0], 0.0f);  // NaN has no value
        EXPECT_EQ(p.pixels.data()[1], curve(kTiffSampleLimit));
        EXPECT_EQ(p.pixels.data()[2], curve(-kTiffSampleLimit));
        EXPECT_EQ(p.pixels.data()[3], curve(kTiffSampleLimit));
        EXPECT_EQ(p.pixels.data()[4], curve(-5.0f));
        EXPECT_EQ(p.pixels.data()[5], curve(0.5f));  // ordinary values as before
        EXPECT_EQ(p.pixels.data()[8], curve(2e-3f));
        EXPECT_EQ(p.bitmap.at(0, 0), packRgb(0, 255, 0));
    }
}

}  // namespace
}  // namespace sv
