// The exposure values read from EXIF, the EV between exposures, and the metadata a saved file
// carries (read back by exiftool), with the TIFF and JPEG pixels untouched by it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

#include "imagefiles/exif_metadata.h"
#include "imagefiles/jpeg_saver.h"
#include "imagefiles/tiff_reader.h"
#include "imagefiles/tiff_writer.h"
#include "imagefiles/tool_support.h"

namespace sv {
namespace {

using test::quoted;

bool haveExiftool() { return test::haveTool("exiftool"); }

// Every tag exiftool finds in a file, printed bare and numeric; one run a file.
class Tags {
public:
    explicit Tags(const std::string& path) {
        std::istringstream lines(test::capture("exiftool -S -n " + quoted(path)));
        std::string line;
        while (std::getline(lines, line)) {
            const std::size_t colon = line.find(": ");
            if (colon != std::string::npos) values_[line.substr(0, colon)] = line.substr(colon + 2);
        }
    }
    std::string operator[](const std::string& name) const {
        const auto found = values_.find(name);
        return found == values_.end() ? std::string() : found->second;
    }

private:
    std::map<std::string, std::string> values_;
};

class ExifFiles : public testing::Test {
protected:
    void SetUp() override {
        if (!haveExiftool()) GTEST_SKIP() << "exiftool is not installed";
        ASSERT_TRUE(test::writeJpeg(dir.file("shot.jpg"), test::randomRgb(24, 16, 1), 24, 16, 90));
        ASSERT_EQ(test::run("exiftool -q -overwrite_original -ExposureTime=1/125 -FNumber=5.6 -ISO=400 "
                            "-ExposureCompensation=-1 '-DateTimeOriginal=2023:07:08 09:10:11' -Orientation#=6 "
                            "-Make=Acme '-Model=Shot 1' " + quoted(dir.file("shot.jpg"))), 0);
        const std::string bytes = test::readBytes(dir.file("shot.jpg"));
        shot.assign(bytes.begin(), bytes.end());
    }
    test::TempDir dir;
    std::vector<std::uint8_t> shot;
};

TEST_F(ExifFiles, ExposureValuesAreReadFromJpegTiffAndPng) {
    const ExposureExif jpeg = readExposureExif(shot.data(), shot.size());
    EXPECT_EQ(jpeg.exposureTime, 0.008);
    EXPECT_EQ(jpeg.fNumber, 5.6);
    EXPECT_EQ(jpeg.iso, 400.0);
    EXPECT_EQ(jpeg.exposureBias, -1.0);
    EXPECT_EQ(jpeg.captureTime, "2023:07:08 09:10:11");

    // The same tags in a TIFF and a PNG, written there by exiftool.
    NullProgress progress;
    std::string error;
    ASSERT_TRUE(writeTiff(dir.file("t.tif"), test::randomImage(6, 4, 2), 6, 4, 8, TiffCompressionChoice::None, progress, error));
    ASSERT_EQ(test::run(test::convertTool() + " " + quoted(dir.file("shot.jpg")) + " " + quoted(dir.file("p.png"))), 0);
    for (const char* name : {"t.tif", "p.png"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(test::run("exiftool -q -overwrite_original -TagsFromFile " + quoted(dir.file("shot.jpg")) +
                            " -ExposureTime -FNumber -ISO -ExposureCompensation -DateTimeOriginal " + quoted(dir.file(name))), 0);
        const std::string bytes = test::readBytes(dir.file(name));
        const ExposureExif e = readExposureExif(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        EXPECT_EQ(e.exposureTime, 0.008);
        EXPECT_EQ(e.fNumber, 5.6);
        EXPECT_EQ(e.iso, 400.0);
        EXPECT_EQ(e.exposureBias, -1.0);
    }
    // A file without EXIF, and bytes that are no picture, give nothing.
    ASSERT_TRUE(writeTiff(dir.file("plain.tif"), test::randomImage(6, 4, 2), 6, 4, 8, TiffCompressionChoice::None, progress, error));
    const std::string plain = test::readBytes(dir.file("plain.tif"));
    EXPECT_TRUE(readExposureExif(reinterpret_cast<const unsigned char*>(plain.data()), plain.size()).empty());
    EXPECT_TRUE(readExposureExif(reinterpret_cast<const unsigned char*>("garbage"), 7).empty());
}

TEST_F(ExifFiles, KeptMetadataDescribeTheShotNotTheSourceFile) {
    ExposureExif known;
    const OutputMetadata m = outputMetadata(dir.file("shot.jpg"), known, 300, 200);
    ASSERT_FALSE(m.exif.empty());
    EXPECT_EQ(m.iccProfile, srgbIccProfile());
    // The block as a file of its own, for exiftool.
    test::writeBytes(dir.file("block.exif"), std::string(m.exif.begin(), m.exif.end()));
    const std::string block = dir.file("block.exif");
    const Tags jpegBlock(block);
    EXPECT_EQ(jpegBlock["ExposureTime"], "0.008");
    EXPECT_EQ(jpegBlock["FNumber"], "5.6");
    EXPECT_EQ(jpegBlock["ISO"], "400");
    EXPECT_EQ(jpegBlock["ExposureCompensation"], "-1");
    EXPECT_EQ(jpegBlock["Make"], "Acme");
    EXPECT_EQ(jpegBlock["Orientation"], "1");  // the saved pixels stand as they are shown
    EXPECT_EQ(jpegBlock["Software"], "Sombrel Varno");
    EXPECT_EQ(jpegBlock["ColorSpace"], "1");
    EXPECT_EQ(jpegBlock["ExifImageWidth"], "300");
    EXPECT_EQ(jpegBlock["ExifImageHeight"], "200");
    EXPECT_EQ(jpegBlock["YCbCrPositioning"], "") << "the source file's own layout stays behind";

    // A TIFF source: none of its strip layout comes along.
    NullProgress progress;
    std::string error;
    ASSERT_TRUE(writeTiff(dir.file("src.tif"), test::randomImage(6, 4, 2), 6, 4, 16, TiffCompressionChoice::Deflate, progress, error));
    ASSERT_EQ(test::run("exiftool -q -overwrite_original -TagsFromFile " + quoted(dir.file("shot.jpg")) +
                        " -ExposureTime -Model " + quoted(dir.file("src.tif"))), 0);
    const OutputMetadata fromTiff = outputMetadata(dir.file("src.tif"), known, 6, 4);
    test::writeBytes(block, std::string(fromTiff.exif.begin(), fromTiff.exif.end()));
    const Tags tiffBlock(block);
    EXPECT_EQ(tiffBlock["Model"], "Shot 1");
    EXPECT_EQ(tiffBlock["ExposureTime"], "0.008");
    for (const char* layout : {"StripOffsets", "StripByteCounts", "BitsPerSample", "Compression", "ImageWidth"}) {
        EXPECT_EQ(tiffBlock[layout], "") << layout;
    }
}

TEST_F(ExifFiles, WithoutEXIFTheRawDecodersValuesOrJustTheSoftwareAreWritten) {
    ExposureExif known;
    known.exposureTime = 1.0 / 30;
    known.fNumber = 11.0;
    known.iso = 100.0;
    known.captureTime = "2022:01:02 03:04:05";
    // A source Exiv2 cannot parse (our raw files that it does not know): the decoder's values.
    test::writeBytes(dir.file("opaque.cr3"), std::string(3000, 'z'));
    OutputMetadata m = outputMetadata(dir.file("opaque.cr3"), known, 10, 10);
    test::writeBytes(dir.file("b.exif"), std::string(m.exif.begin(), m.exif.end()));
    const Tags b(dir.file("b.exif"));
    EXPECT_NEAR(std::stod(b["ExposureTime"]), 1.0 / 30, 1e-9);
    EXPECT_EQ(b["FNumber"], "11");
    EXPECT_EQ(b["ISO"], "100");
    EXPECT_EQ(b["DateTimeOriginal"], "2022:01:02 03:04:05");
    // No source at all (our synthetic samples): software, orientation and colour space.
    m = outputMetadata("", ExposureExif{}, 10, 10);
    test::writeBytes(dir.file("c.exif"), std::string(m.exif.begin(), m.exif.end()));
    const Tags c(dir.file("c.exif"));
    EXPECT_EQ(c["Software"], "Sombrel Varno");
    EXPECT_EQ(c["ColorSpace"], "1");
    EXPECT_EQ(c["ExposureTime"], "");
    EXPECT_FALSE(m.iccProfile.empty());
}

TEST_F(ExifFiles, MetadataJoinJpegAndTiffWithoutTouchingTheirPixels) {
    const OutputMetadata m = outputMetadata(dir.file("shot.jpg"), {}, 24, 16);
    // JPEG: the same compressed picture, now with EXIF and the profile.
    int w = 0, h = 0;
    const auto before = test::decodeJpegRgb(dir.file("shot.jpg"), w, h);
    ASSERT_EQ(test::run("exiftool -q -overwrite_original -all= " + quoted(dir.file("shot.jpg"))), 0);
    std::string bytes = test::readBytes(dir.file("shot.jpg"));
    std::vector<std::uint8_t> jpeg(bytes.begin(), bytes.end());
    ASSERT_TRUE(addMetadataToJpeg(jpeg, m));
    test::writeBytes(dir.file("with.jpg"), std::string(jpeg.begin(), jpeg.end()));
    EXPECT_EQ(test::decodeJpegRgb(dir.file("with.jpg"), w, h), before);
    const Tags withJpg(dir.file("with.jpg"));
    EXPECT_EQ(withJpg["ExposureTime"], "0.008");
    EXPECT_EQ(withJpg["ProfileDescription"], "sRGB built-in");

    // TIFF: our layout with the metadata added reads back to the same samples, in libtiff too.
    FloatImage picture = test::randomImage(37, 21, 6);
    NullProgress progress;
    WriteError error;
    ASSERT_TRUE(writeTiff(dir.file("plain.tif"), picture, 37, 21, 16, TiffCompressionChoice::Deflate, nullptr, progress, error));
    ASSERT_TRUE(writeTiff(dir.file("meta.tif"), picture, 37, 21, 16, TiffCompressionChoice::Deflate, &m, progress, error))
        << englishText(error);
    const Tags meta(dir.file("meta.tif"));
    EXPECT_EQ(meta["ISO"], "400");
    EXPECT_EQ(meta["Software"], "Sombrel Varno");
    EXPECT_EQ(meta["ProfileDescription"], "sRGB built-in");
    EXPECT_EQ(test::tiffinfoStripBytes(dir.file("meta.tif")), test::tiffinfoStripBytes(dir.file("plain.tif")));
    const std::string plainBytes = test::readBytes(dir.file("plain.tif"));
    const std::string metaBytes = test::readBytes(dir.file("meta.tif"));
    FloatImage a(37, 21), b(37, 21);
    DisplayBitmap da(37, 21), db(37, 21);
    ASSERT_EQ(readTiffMemory(reinterpret_cast<const unsigned char*>(plainBytes.data()), plainBytes.size(), a, da, progress), 0);
    ASSERT_EQ(readTiffMemory(reinterpret_cast<const unsigned char*>(metaBytes.data()), metaBytes.size(), b, db, progress), 0);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)), 0);
}

// ---- exposure values between exposures ---------------------------------------------------------

TEST(RelativeExposure, FollowsShutterApertureAndIsoAndSkipsWhatIsUnknown) {
    auto exif = [](std::optional<double> t, std::optional<double> n, std::optional<double> iso) {
        ExposureExif e;
        e.exposureTime = t;
        e.fNumber = n;
        e.iso = iso;
        return e;
    };
    const ExposureExif first = exif(0.01, 8.0, 100.0);
    // Written straight from the definition: EV = log2(N^2 / t) - log2(ISO / 100), relative.
    auto direct = [](const ExposureExif& a, const ExposureExif& b) {
        return (std::log2(*b.fNumber * *b.fNumber / *b.exposureTime) - std::log2(*b.iso / 100)) -
               (std::log2(*a.fNumber * *a.fNumber / *a.exposureTime) - std::log2(*a.iso / 100));
    };
    for (const ExposureExif& e : {exif(0.04, 8.0, 100.0), exif(0.0025, 8.0, 100.0), exif(0.01, 4.0, 100.0),
                                  exif(0.01, 8.0, 400.0), exif(1.0 / 3, 5.6, 1600.0)}) {
        EXPECT_NEAR(*relativeExposureValue(first, e), direct(first, e), 1e-12);
    }
    EXPECT_EQ(*relativeExposureValue(first, exif(0.04, 8.0, 100.0)), -2.0);  // four times the light
    EXPECT_EQ(*relativeExposureValue(first, first), 0.0);
    EXPECT_EQ(*relativeExposureValue(first, exif(0.02, std::nullopt, 200.0)), -2.0);  // aperture unknown: equal
    EXPECT_FALSE(relativeExposureValue(first, exif(std::nullopt, 8.0, 100.0)));
    EXPECT_FALSE(relativeExposureValue(exif(std::nullopt, 8.0, 100.0), first));

    EXPECT_EQ(exposureTimeText(1.0 / 250), "1/250 s");
    EXPECT_EQ(exposureTimeText(1.0 / 3), "1/3 s");
    EXPECT_EQ(exposureTimeText(0.5), "0.5 s");
    EXPECT_EQ(exposureTimeText(2.0), "2 s");
    EXPECT_EQ(exposureSummary(ExposureExif{}), "");
}

}  // namespace
}  // namespace sv
