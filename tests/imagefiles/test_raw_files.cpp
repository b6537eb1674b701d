// Camera raw through LibRaw, with DNGs our own generator writes: linear sRGB with the camera's
// white balance, the 48-bit TIFF road (v / 65536, the gamma question), the camera's exposure
// values, memory admitted before unpacking, and clear refusals.
#include <gtest/gtest.h>

#include <cmath>

#include "image/memory_budget.h"
#include "imagefiles/dng_builder.h"
#include "imagefiles/raw_reader.h"
#include "imagefiles/tiff_reader.h"
#include "stack/exposure_stack.h"
#include "support/test_support.h"

namespace sv {
namespace {

DecodedPicture decodeDng(const test::DngSpec& spec, const DecodeHooks& hooks, const std::string& name = "shot.dng") {
    const std::vector<std::uint8_t> bytes = test::buildDng(spec);
    NullProgress progress;
    return decodeRawMemory(bytes.data(), bytes.size(), name, hooks, progress);
}

// Away from the edge, where demosaicing has no neighbours to draw on.
template <typename Check>
void forInterior(const FloatImage& p, Check check) {
    for (int y = 4; y < p.height() - 4; ++y) {
        for (int x = 4; x < p.width() - 4; ++x) check(x, y);
    }
}

TEST(RawOpening, ADngComesOutAsLinearSrgbWithTheCamerasWhiteBalance) {
    test::DngSpec spec;
    spec.cfa = test::rggbMosaic(spec.width, spec.height, 40000, 20000, 10000);
    DecodeHooks no;
    no.askGamma = [] { return false; };
    const DecodedPicture plain = decodeDng(spec, no);
    ASSERT_TRUE(plain.ok) << englishText(plain.failure);
    ASSERT_EQ(plain.pixels.width(), 64);
    ASSERT_EQ(plain.pixels.height(), 48);
    const float want[3] = {40000 / 65536.0f, 20000 / 65536.0f, 10000 / 65536.0f};
    forInterior(plain.pixels, [&](int x, int y) {
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(plain.pixels.at(x, y, c), want[c], 4 / 65536.0f) << x << "," << y;
        // Samples are v / 65536 of 16-bit values; the view shows them as a 48-bit TIFF does.
        const float r = plain.pixels.at(x, y, 0);
        ASSERT_EQ(r * 65536.0f, std::floor(r * 65536.0f));
        ASSERT_EQ(redOf(plain.bitmap.at(x, y)), static_cast<int>(tiffDisplayChannel(r)));
    });

    // The camera's white balance (AsShotNeutral 0.5 for red: twice the red) is applied.
    spec.cfa = test::rggbMosaic(spec.width, spec.height, 20000, 20000, 20000);
    spec.neutral[0] = 500000;
    const DecodedPicture balanced = decodeDng(spec, no);
    ASSERT_TRUE(balanced.ok);
    forInterior(balanced.pixels, [&](int x, int y) {
        ASSERT_NEAR(balanced.pixels.at(x, y, 0), 40000 / 65536.0f, 4 / 65536.0f);
        ASSERT_NEAR(balanced.pixels.at(x, y, 1), 20000 / 65536.0f, 4 / 65536.0f);
    });
}

TEST(RawOpening, TheGammaQuestionIsAskedAsForA48BitTiff) {
    test::DngSpec spec;
    spec.level = 32768;
    int asked = 0;
    DecodeHooks yes;
    yes.askGamma = [&] { return ++asked, true; };
    DecodeHooks no;
    no.askGamma = [&] { return ++asked, false; };
    const DecodedPicture linear = decodeDng(spec, no);
    const DecodedPicture corrected = decodeDng(spec, yes);
    EXPECT_EQ(asked, 2);
    DecodeHooks batch = yes;
    batch.batch = true;
    const DecodedPicture batched = decodeDng(spec, batch);
    EXPECT_EQ(asked, 2) << "a batch is corrected without asking";
    ASSERT_TRUE(linear.ok && corrected.ok && batched.ok);
    forInterior(linear.pixels, [&](int x, int y) {
        const float v = linear.pixels.at(x, y, 1);
        ASSERT_NEAR(v, 0.5f, 2 / 65536.0f);
        ASSERT_FLOAT_EQ(corrected.pixels.at(x, y, 1), static_cast<float>(std::pow(0.04 * v, 0.4)));
        ASSERT_EQ(batched.pixels.at(x, y, 1), corrected.pixels.at(x, y, 1));
    });
}

TEST(RawOpening, TheCamerasExposureValuesComeWithThePicture) {
    test::DngSpec spec;
    spec.exposureDen = 125;
    spec.fNumberNum = 56;
    spec.fNumberDen = 10;
    spec.iso = 400;
    spec.biasNum = 2;
    spec.biasDen = 3;
    const DecodedPicture p = decodeDng(spec, {});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(*p.exif.exposureTime, 0.008);
    EXPECT_EQ(*p.exif.fNumber, 5.6);
    EXPECT_EQ(*p.exif.iso, 400.0);
    EXPECT_NEAR(*p.exif.exposureBias, 2.0 / 3.0, 1e-9);
    EXPECT_EQ(p.exif.captureTime, "2024:05:01 10:11:12");

    // Through the project: the record keeps them.
    test::TempDir dir;
    const auto bytes = test::buildDng(spec);
    test::writeBytes(dir.file("a.DNG"), std::string(bytes.begin(), bytes.end()));
    Project project;
    NullProgress progress;
    ASSERT_TRUE(openPictures(project, {dir.file("a.DNG")}, {}, progress).front().opened);
    EXPECT_EQ(project.exposures[0].exif.iso, 400.0);
    EXPECT_EQ(exposureSummary(project.exposures[0].exif), "1/125 s  f/5.6  ISO 400  +0.667 EV  2024:05:01 10:11:12");
}

TEST(RawOpening, MemoryForLibRawAndThePictureIsAdmittedBeforeUnpacking) {
    test::DngSpec spec;
    std::vector<PictureClaim> claims;
    DecodeHooks hooks;
    hooks.admit = [&](const PictureClaim& claim) -> std::optional<Message> {
        claims.push_back(claim);
        return Message{MessageId::NotEnoughMemory, 0, claim.name};
    };
    const DecodedPicture refused = decodeDng(spec, hooks);
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.outOfMemory);
    ASSERT_EQ(claims.size(), 1u) << "refused at the first admission, before LibRaw unpacked anything";
    EXPECT_EQ(claims[0].width, 64);
    EXPECT_EQ(claims[0].height, 48);
    // The raw data (2 bytes a site), LibRaw's 4-sample working picture and its 16-bit output.
    EXPECT_GE(claims[0].scratchBytes, 64u * 48 * (2 + 8 + 6));

    // The project's own admission with a budget that cannot hold it: "Not enough memory!", the
    // project unchanged.
    test::TempDir dir;
    const auto bytes = test::buildDng(spec);
    test::writeBytes(dir.file("a.nef"), std::string(bytes.begin(), bytes.end()));
    setMemoryBudget(std::uint64_t(64) * 48 * 20);
    Project project;
    NullProgress progress;
    const OpenResult result = openPictures(project, {dir.file("a.nef")}, {}, progress).front();
    setMemoryBudget(std::nullopt);
    EXPECT_FALSE(result.opened);
    ASSERT_TRUE(result.error.has_value());
    EXPECT_EQ(result.error->id, MessageId::NotEnoughMemory);
    EXPECT_EQ(project.exposureCount, 0);
}

TEST(RawOpening, UnreadableTruncatedAndForeignFilesSayWhy) {
    test::DngSpec spec;
    const auto good = test::buildDng(spec);
    NullProgress progress;
    auto decode = [&](const std::vector<std::uint8_t>& bytes, const std::string& name) {
        return decodeRawMemory(bytes.data(), bytes.size(), name, {}, progress);
    };
    // The directories kept, the pixels cut off after 20 of 48 rows: incomplete.
    const std::vector<std::uint8_t> cut(good.begin(), good.end() - 64 * 28 * 2);
    const DecodedPicture truncated = decode(cut, "cut.dng");
    EXPECT_FALSE(truncated.ok);
    EXPECT_TRUE(truncated.incomplete);
    EXPECT_EQ(truncated.failure.id, MessageId::IncompleteFile);

    // A compression LibRaw does not know: the message names the camera.
    spec.compression = 99;
    const DecodedPicture unknown = decodeDng(spec, {}, "odd.dng");
    EXPECT_FALSE(unknown.ok);
    EXPECT_EQ(unknown.failure.id, MessageId::RawNotReadable);
    EXPECT_EQ(englishText(unknown.failure), "This camera raw file cannot be read: odd.dng (Sombrel Test Camera)");

    // Not a raw file at all: refused by name alone.
    std::vector<std::uint8_t> text(4000, 'x');
    const DecodedPicture foreign = decode(text, "notes.cr2");
    EXPECT_FALSE(foreign.ok);
    EXPECT_EQ(englishText(foreign.failure), "This camera raw file cannot be read: notes.cr2");
}

TEST(RawOpening, TheUsualRawExtensionsOpenWithoutRegardToCase) {
    for (const char* name : {"a.dng", "a.CR2", "a.cr3", "a.NEF", "a.nrw", "a.arw", "a.raf", "a.orf", "a.rw2", "a.pef",
                             "a.srw", "a.3fr", "a.iiq", "a.x3f", "a.mrw", "a.Kdc", "a.erf", "a.sr2"}) {
        EXPECT_EQ(formatFromPath(name), PictureFormat::Raw) << name;
    }
    EXPECT_EQ(formatFromPath("a.xmp"), PictureFormat::Unknown);
    EXPECT_EQ(formatFromPath("a.dng.txt"), PictureFormat::Unknown);
}

}  // namespace
}  // namespace sv
