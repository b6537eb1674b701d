// HDR input (OpenEXR, PFM) on the Radiance reader's scale, and HDR saving (OpenEXR, Radiance,
// float TIFF, PFM) read back by OpenCV, ImageMagick, libtiff and our own readers.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>

#include "imagefiles/exr_reader.h"
#include "imagefiles/hdr_save.h"
#include "imagefiles/input_scales.h"
#include "imagefiles/pfm_reader.h"
#include "imagefiles/rgbe_reader.h"
#include "imagefiles/tool_support.h"

namespace sv {
namespace {

using test::quoted;

// The scale of HDR input written straight from its description: non-finite and negative samples
// made finite as the Radiance reader holds them, then (s / M x 10)^0.4.
std::vector<float> referenceScale(std::vector<float> samples) {
    float largest = 0.0f;
    for (float& s : samples) {
        if (std::isnan(s) || s < 0.0f) s = 0.0f;
        if (std::isinf(s)) s = FLT_MAX;
        largest = std::max(largest, s);
    }
    if (largest > 0.0f) {
        for (float& s : samples) s = static_cast<float>(std::pow(static_cast<double>(s / largest * 10.0f), 0.4));
    }
    return samples;
}

std::vector<float> floatsOf(const std::string& bytes) {
    std::vector<float> v(bytes.size() / 4);
    std::memcpy(v.data(), bytes.data(), v.size() * 4);
    return v;
}

void expectScaled(const DecodedPicture& p, const std::vector<float>& fileSamples, float tolerance = 0.0f) {
    ASSERT_TRUE(p.ok) << englishText(p.failure);
    ASSERT_EQ(p.pixels.sampleCount(), fileSamples.size());
    const std::vector<float> expected = referenceScale(fileSamples);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_NEAR(p.pixels.data()[i], expected[i], tolerance * expected[i] + 1e-7f) << "sample " << i;
    }
    // The view shows the file's own samples as the Radiance reader shows its (256 x v).
    for (int y = 0; y < p.pixels.height(); y += 3) {
        for (int x = 0; x < p.pixels.width(); x += 2) {
            const float* s = &fileSamples[(static_cast<std::size_t>(y) * p.pixels.width() + x) * 3];
            ASSERT_EQ(p.bitmap.at(x, y), packRgb(hdrDisplayChannel(finiteHdrSample(s[0])),
                                                 hdrDisplayChannel(finiteHdrSample(s[1])),
                                                 hdrDisplayChannel(finiteHdrSample(s[2]))));
        }
    }
}

DecodedPicture openFile(const std::string& path, DecodeHooks hooks = {}) {
    NullProgress progress;
    return decodePicture(path, hooks, progress);
}

// Runs a Python script with OpenCV allowed to read OpenEXR (it is off by default).
std::string python(const test::TempDir& dir, const std::string& script, const std::vector<std::string>& args) {
    test::writeBytes(dir.file("s.py"), script);
    std::string command = "OPENCV_IO_ENABLE_OPENEXR=1 " + std::string(test::systemPython()) + " " + quoted(dir.file("s.py"));
    for (const auto& a : args) command += " " + quoted(a);
    int status = 0;
    const std::string out = test::capture(command, &status);
    EXPECT_EQ(status, 0) << command;
    return out;
}

bool haveOpenCv() { return test::run(std::string(test::systemPython()) + " -c 'import cv2'") == 0; }

// A picture with highlights far above 1, deep shadows and exact zeros.
FloatImage hdrScene(int w, int h, unsigned seed) {
    FloatImage img = test::randomImage(w, h, seed, 0.0f, 1.0f);
    for (std::size_t i = 0; i < img.sampleCount(); i += 7) img.data()[i] *= 60.0f;
    for (std::size_t i = 3; i < img.sampleCount(); i += 11) img.data()[i] *= 0.001f;
    img.data()[5] = 0.0f;
    return img;
}

// ---- OpenEXR input ---------------------------------------------------------------------------

TEST(ExrOpening, EveryCompressionAndTilingGivesWhatOpenExrsOwnLibraryReads) {
    if (!haveOpenCv() || !test::haveTool("exrmaketiled")) GTEST_SKIP() << "OpenCV or the OpenEXR tools are missing";
    test::TempDir dir;
    // OpenCV writes a float scan-line file and a half one; exrmaketiled re-encodes the first as
    // tiles with every compression. OpenCV's reading of each (OpenEXR's C++ library) is the truth.
    python(dir, R"(
import sys, numpy as np, cv2
rng = np.random.RandomState(3)
a = (rng.rand(37, 45, 3) * 4).astype(np.float32); a[::5, ::3] *= 90
cv2.imwrite(sys.argv[1] + '/float.exr', a)
cv2.imwrite(sys.argv[1] + '/half.exr', a, [cv2.IMWRITE_EXR_TYPE, cv2.IMWRITE_EXR_TYPE_HALF])
cv2.imwrite(sys.argv[1] + '/grey.exr', a[:, :, 1])
)", {dir.path().string()});
    std::vector<std::string> names = {"float.exr", "half.exr", "grey.exr"};
    for (const char* z : {"none", "rle", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"}) {
        const std::string name = std::string("tiled-") + z + ".exr";
        ASSERT_EQ(test::run("exrmaketiled -t 16 8 -z " + std::string(z) + " " + quoted(dir.file("float.exr")) + " " +
                            quoted(dir.file(name))), 0);
        names.push_back(name);
    }
    ASSERT_EQ(test::run("exrmaketiled -m -t 32 32 " + quoted(dir.file("float.exr")) + " " + quoted(dir.file("mip.exr"))), 0);
    names.push_back("mip.exr");
    // One run of OpenCV reads them all, each into NAME.f32 (RGB floats).
    std::vector<std::string> paths;
    for (const std::string& name : names) paths.push_back(dir.file(name));
    python(dir, R"(
import sys, numpy as np, cv2
for f in sys.argv[1:]:
    b = cv2.imread(f, cv2.IMREAD_UNCHANGED).astype(np.float32)
    rgb = np.dstack([b] * 3) if b.ndim == 2 else b[:, :, 2::-1]
    np.ascontiguousarray(rgb).tofile(f + '.f32')
)", paths);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        expectScaled(openFile(dir.file(name)), floatsOf(test::readBytes(dir.file(name + ".f32"))), 1e-6f);
    }
}

TEST(ExrOpening, ExposureAttributesBecomeTheExposuresValues) {
    if (!test::haveTool("exrstdattr")) GTEST_SKIP() << "the OpenEXR tools are missing";
    test::TempDir dir;
    NullProgress progress;
    WriteError error;
    ASSERT_TRUE(writeExr(dir.file("plain.exr"), test::randomImage(5, 4, 1), false, progress, error));
    ASSERT_EQ(test::run("exrstdattr -expTime 0.02 -aperture 5.6 -isoSpeed 400 -capDate '2024:02:03 04:05:06' " +
                        quoted(dir.file("plain.exr")) + " " + quoted(dir.file("tagged.exr"))), 0);
    const DecodedPicture p = openFile(dir.file("tagged.exr"));
    ASSERT_TRUE(p.ok);
    EXPECT_NEAR(*p.exif.exposureTime, 0.02, 1e-7);
    EXPECT_NEAR(*p.exif.fNumber, 5.6, 1e-6);
    EXPECT_EQ(*p.exif.iso, 400.0);
    EXPECT_EQ(p.exif.captureTime, "2024:02:03 04:05:06");
    EXPECT_TRUE(openFile(dir.file("plain.exr")).exif.empty());
}

TEST(ExrOpening, TruncatedDamagedAndOverclaimingFilesAreRefused) {
    test::TempDir dir;
    NullProgress progress;
    WriteError error;
    // Smooth enough that ZIP packs every block (a block that does not shrink is stored as it is,
    // and garbling stored samples only changes their values).
    FloatImage smooth(64, 70);
    for (int y = 0; y < 70; ++y) for (int x = 0; x < 64; ++x) for (int c = 0; c < 3; ++c) smooth.at(x, y, c) = 0.25f * (x / 8 + c);
    ASSERT_TRUE(writeExr(dir.file("good.exr"), smooth, false, progress, error));
    const std::string good = test::readBytes(dir.file("good.exr"));
    auto decode = [](const std::string& bytes, DecodeHooks hooks = {}) {
        NullProgress quiet;
        return decodeExrMemory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), "x.exr", hooks, quiet);
    };
    ASSERT_TRUE(decode(good).ok);

    const DecodedPicture cut = decode(good.substr(0, good.size() * 2 / 3));
    EXPECT_FALSE(cut.ok);
    EXPECT_EQ(cut.failure.id, MessageId::IncompleteFile);

    std::string garbled = good;
    for (std::size_t i = good.size() / 2; i < good.size() / 2 + 64; ++i) garbled[i] = static_cast<char>(i * 37);
    const DecodedPicture damaged = decode(garbled);
    EXPECT_FALSE(damaged.ok);
    EXPECT_EQ(damaged.failure.id, MessageId::DamagedFile);

    EXPECT_EQ(decode("v/1\x01 not an OpenEXR file").failure.id, MessageId::CannotReadFile);

    // The data window made 40000 x 40000 in a file of a few kilobytes: refused before any buffer.
    std::string huge = good;
    const std::size_t at = huge.find("dataWindow");
    ASSERT_NE(at, std::string::npos);
    const std::size_t box = at + std::strlen("dataWindow") + 1 + std::strlen("box2i") + 1 + 4;
    const std::int32_t corner[2] = {39999, 39999};
    std::memcpy(&huge[box + 8], corner, 8);
    const std::size_t display = huge.find("displayWindow");
    std::memcpy(&huge[display + std::strlen("displayWindow") + 1 + std::strlen("box2i") + 1 + 4 + 8], corner, 8);
    PictureClaim seen;
    DecodeHooks hooks;
    hooks.admit = [&](const PictureClaim& claim) {
        seen = claim;
        return admitBySize(claim, MemoryNeed{}, MemoryLimit{});
    };
    const DecodedPicture over = decode(huge, hooks);
    EXPECT_FALSE(over.ok);
    EXPECT_TRUE(over.pixels.empty());
    if (seen.width) {
        EXPECT_EQ(seen.width, 40000);
        EXPECT_TRUE(seen.fileTooShort);
    }
}

// ---- PFM input ---------------------------------------------------------------------------------

std::string pfmBytes(const char* magic, int w, int h, const char* scale, const std::vector<float>& rowsBottomUp,
                     bool bigEndian) {
    std::string out = std::string(magic) + "\n" + std::to_string(w) + " " + std::to_string(h) + "\n" + scale + "\n";
    for (const float f : rowsBottomUp) {
        std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
        if (bigEndian) bits = __builtin_bswap32(bits);
        out.append(reinterpret_cast<const char*>(&bits), 4);
    }
    return out;
}

TEST(PfmOpening, ColourAndGreyInBothByteOrdersRunBottomToTop) {
    const int w = 5, h = 4;
    std::vector<float> top(static_cast<std::size_t>(w) * h * 3);  // top-to-bottom RGB
    std::mt19937 rng(9);
    for (float& v : top) v = static_cast<float>(rng() % 1000) / 37.0f;
    auto bottomUp = [&](int channels) {
        std::vector<float> out;
        for (int y = h - 1; y >= 0; --y) {
            for (int x = 0; x < w; ++x) {
                for (int c = 0; c < channels; ++c) out.push_back(top[(static_cast<std::size_t>(y) * w + x) * 3 + c]);
            }
        }
        return out;
    };
    std::vector<float> grey;
    for (std::size_t i = 0; i < top.size(); i += 3) grey.insert(grey.end(), {top[i], top[i], top[i]});
    for (const bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        const std::string colour = pfmBytes("PF", w, h, big ? "1.0" : "-1.0", bottomUp(3), big);
        const std::string mono = pfmBytes("Pf", w, h, big ? "2.5" : "-0.5", bottomUp(1), big);
        NullProgress progress;
        expectScaled(decodePfmMemory(reinterpret_cast<const unsigned char*>(colour.data()), colour.size(), "c.pfm", {}, progress), top);
        expectScaled(decodePfmMemory(reinterpret_cast<const unsigned char*>(mono.data()), mono.size(), "g.pfm", {}, progress), grey);
    }
}

TEST(PfmOpening, NonFiniteSamplesAreHeldAsTheRadianceReaderHoldsThemAndBlackStaysBlack) {
    const std::vector<float> samples = {1.0f, NAN, 2.0f, INFINITY, -3.0f, 0.5f, -INFINITY, 0.0f, 4.0f};
    const std::string file = pfmBytes("PF", 3, 1, "-1", samples, false);
    NullProgress progress;
    const DecodedPicture p = decodePfmMemory(reinterpret_cast<const unsigned char*>(file.data()), file.size(), "n.pfm", {}, progress);
    expectScaled(p, samples);
    for (std::size_t i = 0; i < p.pixels.sampleCount(); ++i) EXPECT_TRUE(std::isfinite(p.pixels.data()[i]));
    EXPECT_FLOAT_EQ(p.pixels.data()[3], std::pow(10.0f, 0.4f));  // infinity is the brightest sample

    const std::string black = pfmBytes("PF", 2, 2, "-1", std::vector<float>(12, 0.0f), false);
    const DecodedPicture b = decodePfmMemory(reinterpret_cast<const unsigned char*>(black.data()), black.size(), "b.pfm", {}, progress);
    ASSERT_TRUE(b.ok);
    for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(b.pixels.data()[i], 0.0f);
}

TEST(PfmOpening, BadHeadersAndShortFilesAreRefused) {
    NullProgress progress;
    auto decode = [&](const std::string& s) {
        return decodePfmMemory(reinterpret_cast<const unsigned char*>(s.data()), s.size(), "x.pfm", {}, progress);
    };
    const std::string good = pfmBytes("PF", 3, 2, "-1.0", std::vector<float>(18, 1.0f), false);
    ASSERT_TRUE(decode(good).ok);
    const DecodedPicture shortFile = decode(good.substr(0, good.size() - 1));
    EXPECT_EQ(shortFile.failure.id, MessageId::IncompleteFile);
    EXPECT_TRUE(shortFile.pixels.empty());
    // 30000 x 30000 claimed by 30 bytes: incomplete, and nothing is obtained for it.
    EXPECT_EQ(decode("PF\n30000 30000\n-1.0\n" + std::string(12, '\0')).failure.id, MessageId::IncompleteFile);
    for (const char* header : {"P6\n3 2\n-1.0\n", "PF\n3 -2\n-1.0\n", "PF\n3 2\n0.0\n", "PF\n3 2\nnan\n",
                               "PF\n3 2\n-1.0", "PF\nthree 2\n-1.0\n", "PF\n99999999999 2\n-1.0\n"}) {
        SCOPED_TRACE(header);
        EXPECT_EQ(decode(std::string(header) + std::string(72, '\x3f')).failure.id, MessageId::CannotReadFile);
    }
}

// ---- saving the HDR ----------------------------------------------------------------------------

class HdrSaving : public testing::Test {
protected:
    void SetUp() override {
        stack = hdrScene(41, 29, 4);
        stackMax = 0.0f;
        for (std::size_t i = 0; i < stack.sampleCount(); ++i) stackMax = std::max(stackMax, stack.data()[i]);
        stackMax *= 1.25f;  // the brightest stack sample need not be stackMax itself
        NullProgress progress;
        expected = normalisedStack(stack, stackMax, progress);
    }
    std::vector<float> expectedSamples() const {
        return std::vector<float>(expected.data(), expected.data() + expected.sampleCount());
    }
    bool save(const std::string& name, HdrFormat format, bool half = false) {
        NullProgress progress;
        WriteError error;
        HdrSaveOptions options{format, half};
        const bool ok = saveHdr(dir.file(name), stack, stackMax, options, progress, error);
        EXPECT_TRUE(ok) << englishText(error);
        return ok;
    }
    // What a tool reads from our file, as RGB floats.
    std::vector<float> readBy(const std::string& tool, const std::string& name) {
        if (tool == "opencv") {
            return floatsOf(python(dir, R"(
import sys, numpy as np, cv2
b = cv2.imread(sys.argv[1], cv2.IMREAD_UNCHANGED).astype(np.float32)
sys.stdout.buffer.write(np.ascontiguousarray(b[:, :, 2::-1]).tobytes())
)", {dir.file(name)}));
        }
        // ImageMagick: the file as raw 32-bit float RGB. It takes OpenEXR and Radiance as linear RGB
        // and would encode them for sRGB on the way out; naming them sRGB keeps the values.
        const std::string raw = dir.file(name + ".im.raw");
        EXPECT_EQ(test::run(test::convertTool() + " " + quoted(dir.file(name)) + " -set colorspace sRGB" +
                            " -depth 32 -define quantum:format=floating-point -endian LSB " + quoted("RGB:" + raw)), 0);
        return floatsOf(test::readBytes(raw));
    }
    // What our reader's samples were before the scale of HDR input, given the file's largest.
    static std::vector<float> linearOf(const DecodedPicture& p, float largest) {
        std::vector<float> out(p.pixels.data(), p.pixels.data() + p.pixels.sampleCount());
        for (float& v : out) v = static_cast<float>(std::pow(static_cast<double>(v), 2.5) / 10.0 * largest);
        return out;
    }
    float largestExpected() const {
        float largest = 0.0f;
        for (std::size_t i = 0; i < expected.sampleCount(); ++i) largest = std::max(largest, expected.data()[i]);
        return largest;
    }
    void expectNear(const std::vector<float>& got, float relative, float absolute) {
        ASSERT_EQ(got.size(), expected.sampleCount());
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_NEAR(got[i], expected.data()[i], relative * expected.data()[i] + absolute) << "sample " << i;
        }
    }
    test::TempDir dir;
    FloatImage stack;
    float stackMax = 1.0f;
    FloatImage expected;
};

TEST_F(HdrSaving, OpenExrFloatAndHalfAsOtherToolsAndOurReaderRead) {
    ASSERT_TRUE(save("f.exr", HdrFormat::Exr));
    ASSERT_TRUE(save("h.exr", HdrFormat::Exr, true));
    expectScaled(openFile(dir.file("f.exr")), expectedSamples());
    // Half keeps 11 significant bits (fewer below 2^-14): within 2^-11 of each value, and of the
    // largest one by which our reader scales.
    const DecodedPicture half = openFile(dir.file("h.exr"));
    ASSERT_TRUE(half.ok);
    expectNear(linearOf(half, largestExpected()), 2.0f / 2048, 1e-7f);
    if (test::haveTool("exrheader")) {
        const std::string header = test::capture("exrheader " + quoted(dir.file("h.exr")));
        EXPECT_NE(header.find("compression (type compression): zip"), std::string::npos) << header;
        EXPECT_NE(header.find("16-bit floating-point"), std::string::npos);
        EXPECT_NE(header.find("red   (0.64 0.33)"), std::string::npos);
        EXPECT_NE(header.find("white (0.3127 0.329)"), std::string::npos);
    }
    if (haveOpenCv()) {
        expectNear(readBy("opencv", "f.exr"), 0.0f, 0.0f);
        expectNear(readBy("opencv", "h.exr"), 1.0f / 2048, 1e-7f);
    }
    // ImageMagick 6 (16-bit quantum) reads linear values within its own quantisation.
    expectNear(readBy("imagemagick", "h.exr"), 1.0f / 2048, 2.0f / 65535);
}

TEST_F(HdrSaving, RadianceFileAsOurReaderOpenCvAndImageMagickRead) {
    ASSERT_TRUE(save("r.hdr", HdrFormat::Radiance));
    // RGBE keeps 8 bits of mantissa shared by the pixel, the largest channel's at least 128: each
    // sample within a step and a half (the write truncates; some readers add half a step) of
    // 2^e / 256, at most 1/64 of the pixel's largest channel.
    const DecodedPicture ours = openFile(dir.file("r.hdr"));
    ASSERT_TRUE(ours.ok);
    auto withinRgbe = [&](const std::vector<float>& got, float scale) {
        ASSERT_EQ(got.size(), expected.sampleCount());
        for (std::size_t p = 0; p < got.size(); p += 3) {
            const float largest = std::max({expected.data()[p], expected.data()[p + 1], expected.data()[p + 2]});
            for (int c = 0; c < 3; ++c) ASSERT_NEAR(got[p + c] / scale, expected.data()[p + c], largest / 64 + 1e-30f) << p;
        }
    };
    // Undone, our reader's normalisation gives the values relative to the largest one written.
    withinRgbe(linearOf(ours, largestExpected()), 1.0f);
    if (haveOpenCv()) withinRgbe(readBy("opencv", "r.hdr"), 1.0f);
    withinRgbe(readBy("imagemagick", "r.hdr"), 1.0f);
}

TEST_F(HdrSaving, FloatTiffCarriesIeeeSamplesAndALinearProfile) {
    ASSERT_TRUE(save("t.tif", HdrFormat::FloatTiff));
    const std::string info = test::capture("tiffinfo " + quoted(dir.file("t.tif")));
    EXPECT_NE(info.find("Sample Format: IEEE floating point"), std::string::npos) << info;
    EXPECT_NE(info.find("Bits/Sample: 32"), std::string::npos);
    EXPECT_NE(info.find("ICC Profile: <present>"), std::string::npos);
    if (test::haveTool("exiftool")) {
        EXPECT_EQ(test::capture("exiftool -s3 -ProfileDescription " + quoted(dir.file("t.tif"))), "Linear sRGB\n");
    }
    // Our TIFF reader takes float samples as 2 x f (and asks the gamma question).
    DecodeHooks hooks;
    hooks.askGamma = [] { return false; };
    const DecodedPicture ours = openFile(dir.file("t.tif"), hooks);
    ASSERT_TRUE(ours.ok && !ours.readerError);
    for (std::size_t i = 0; i < expected.sampleCount(); ++i) ASSERT_EQ(ours.pixels.data()[i], 2 * expected.data()[i]);
    if (haveOpenCv()) expectNear(readBy("opencv", "t.tif"), 0.0f, 0.0f);
    expectNear(readBy("imagemagick", "t.tif"), 0.0f, 1.0f / 65535);
}

TEST_F(HdrSaving, PfmAndTheFormatChoice) {
    ASSERT_TRUE(save("p.pfm", HdrFormat::Pfm));
    expectScaled(openFile(dir.file("p.pfm")), expectedSamples());
    if (haveOpenCv()) expectNear(readBy("opencv", "p.pfm"), 0.0f, 0.0f);
    EXPECT_EQ(hdrFormatFromExtension("/a/B.EXR"), HdrFormat::Exr);
    EXPECT_EQ(hdrFormatFromExtension("x.hdr"), HdrFormat::Radiance);
    EXPECT_EQ(hdrFormatFromExtension("x.tif"), HdrFormat::FloatTiff);
    EXPECT_EQ(hdrFormatFromExtension("x.tiff"), HdrFormat::FloatTiff);
    EXPECT_EQ(hdrFormatFromExtension("x.pfm"), HdrFormat::Pfm);
    EXPECT_FALSE(hdrFormatFromExtension("x.png"));
    EXPECT_FALSE(hdrFormatFromExtension("exr"));
    EXPECT_EQ(hdrFormatFromName("hdr"), HdrFormat::Radiance);
    EXPECT_FALSE(hdrFormatFromName("jpeg"));
}

TEST_F(HdrSaving, AFailedSaveKeepsTheOldFile) {
    const std::string target = dir.file("old.exr");
    test::writeBytes(target, "old");
    NullProgress progress;
    WriteError error;
    EXPECT_FALSE(saveHdr(target, FloatImage(), 1.0f, {}, progress, error));
    EXPECT_EQ(error.reason, WriteFailure::NothingToWrite);
    EXPECT_FALSE(saveHdr(dir.file("no/such/x.hdr"), stack, stackMax, {HdrFormat::Radiance, false}, progress, error));
    EXPECT_EQ(error.reason, WriteFailure::NoSuchFolder);
    EXPECT_EQ(test::readBytes(target), "old");
}

// ---- Radiance run-length coding ----------------------------------------------------------------

// The decoding of one component, written straight from the format's description.
std::vector<std::uint8_t> decodeRuns(const std::vector<std::uint8_t>& coded, std::size_t count) {
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    while (out.size() < count && at < coded.size()) {
        const int c = coded[at++];
        if (c > 128) out.insert(out.end(), static_cast<std::size_t>(c - 128), coded[at++]);
        else for (int i = 0; i < c; ++i) out.push_back(coded[at++]);
    }
    EXPECT_EQ(at, coded.size()) << "nothing may follow the component";
    return out;
}

TEST(RadianceRuns, EveryComponentDecodesToItselfWithinTheFormatsLimits) {
    std::mt19937 rng(17);
    for (int trial = 0; trial < 200; ++trial) {
        const int count = 1 + static_cast<int>(rng() % 700);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
        // Stretches of noise and runs of every length, 300 long ones included.
        for (int i = 0; i < count;) {
            const int length = std::min(count - i, static_cast<int>(rng() % (trial % 3 ? 12 : 300)) + 1);
            const bool run = rng() % 2;
            const auto value = static_cast<std::uint8_t>(rng());
            for (int k = 0; k < length; ++k) bytes[static_cast<std::size_t>(i + k)] = run ? value : static_cast<std::uint8_t>(rng());
            i += length;
        }
        std::vector<std::uint8_t> coded;
        appendRunLengthComponent(bytes.data(), count, coded);
        ASSERT_EQ(decodeRuns(coded, bytes.size()), bytes) << "trial " << trial;
        for (std::size_t at = 0; at < coded.size();) {  // counts stay within 1..128 and 132..255
            const int c = coded[at];
            ASSERT_TRUE((c >= 1 && c <= 128) || (c >= 128 + 4 && c <= 255)) << c;
            at += c > 128 ? 2 : static_cast<std::size_t>(c) + 1;
        }
    }
    std::uint8_t pixel[4];
    floatToRgbe(0.0f, 0.0f, 0.0f, pixel);
    EXPECT_EQ(pixel[3], 0);
    floatToRgbe(1.0f, 0.5f, 0.0f, pixel);  // 1.0 = 0.5 x 2^1: mantissa 128, exponent 129
    EXPECT_EQ(pixel[0], 128);
    EXPECT_EQ(pixel[1], 64);
    EXPECT_EQ(pixel[2], 0);
    EXPECT_EQ(pixel[3], 129);
}

}  // namespace
}  // namespace sv
