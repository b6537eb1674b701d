// BMP and JPEG pictures made by other tools open with the documented values: 8-bit v / 256, and the
// display word holding B, G, R in its low three bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imagefiles/picture_decoder.h"
#include "support/test_support.h"

namespace sv {
namespace {

using test::TempDir;

void writePpm(const std::string& path, const std::vector<unsigned char>& rgb, int w, int h) {
    test::writeBytes(path, "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" +
                               std::string(rgb.begin(), rgb.end()));
}

void expectPixels(const DecodedPicture& pic, const std::vector<unsigned char>& rgb, int w, int h) {
    ASSERT_TRUE(pic.ok);
    ASSERT_EQ(pic.pixels.width(), w);
    ASSERT_EQ(pic.pixels.height(), h);
    ASSERT_EQ(pic.bitmap.width(), w);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
            ASSERT_EQ(pic.bitmap.at(x, y), packRgb(p[0], p[1], p[2])) << x << "," << y;
            for (int c = 0; c < 3; ++c) ASSERT_EQ(pic.pixels.at(x, y, c), p[c] / 256.0f);
        }
    }
}

TEST(BmpOpening, ImageMagickBmpsOfSeveralKindsDecodeExactly) {
    if (!test::haveTool("convert")) GTEST_SKIP() << "ImageMagick is not installed";
    TempDir dir;
    const int w = 13, h = 7;  // odd width: rows padded to four bytes
    std::vector<unsigned char> rgb = test::randomRgb(w, h, 3);
    rgb[0] = rgb[1] = rgb[2] = 255;  // 255 becomes 0.99609375, not 1.0
    writePpm(dir.file("in.ppm"), rgb, w, h);
    NullProgress progress;
    for (const std::string type : {"BMP3:", "BMP:"}) {
        SCOPED_TRACE(type);
        ASSERT_EQ(test::run("convert " + dir.file("in.ppm") + " -type TrueColor " + type + dir.file("out.bmp")), 0);
        expectPixels(decodeBmpFile(dir.file("out.bmp"), progress), rgb, w, h);
    }
    // A palette BMP: few colours, so the palette holds them exactly.
    std::vector<unsigned char> few(static_cast<std::size_t>(w) * h * 3);
    for (std::size_t i = 0; i < few.size(); ++i) few[i] = static_cast<unsigned char>((i / 3) % 4 * 60);
    writePpm(dir.file("few.ppm"), few, w, h);
    ASSERT_EQ(test::run("convert " + dir.file("few.ppm") + " -type Palette BMP3:" + dir.file("pal.bmp")), 0);
    const DecodedPicture pal = decodeBmpFile(dir.file("pal.bmp"), progress);
    expectPixels(pal, few, w, h);
    EXPECT_EQ(pal.pixels.at(0, 0, 0), 0.0f);
}

TEST(BmpOpening, PilBmpDecodesExactly) {
    if (test::run(std::string(test::systemPython()) + " -c 'import PIL'") != 0) GTEST_SKIP() << "PIL missing";
    TempDir dir;
    const int w = 9, h = 5;
    const std::vector<unsigned char> rgb = test::randomRgb(w, h, 4);
    test::writeBytes(dir.file("raw.rgb"), std::string(rgb.begin(), rgb.end()));
    const std::string script = "from PIL import Image; Image.frombytes('RGB', (9, 5), open('" + dir.file("raw.rgb") +
                               "', 'rb').read()).save('" + dir.file("pil.bmp") + "')";
    ASSERT_EQ(test::run(std::string(test::systemPython()) + " -c \"" + script + "\""), 0);
    NullProgress progress;
    expectPixels(decodeBmpFile(dir.file("pil.bmp"), progress), rgb, w, h);
}

TEST(JpegOpening, ValuesAreTheDecodedBytesOver256) {
    TempDir dir;
    const int w = 33, h = 17;
    const std::vector<unsigned char> rgb = test::randomRgb(w, h, 5);
    std::vector<std::string> files;
    ASSERT_TRUE(test::writeJpeg(dir.file("ours.jpg"), rgb, w, h, 85));
    files.push_back(dir.file("ours.jpg"));
    if (test::haveTool("convert")) {
        writePpm(dir.file("in.ppm"), rgb, w, h);
        // 4:2:0 subsampling and progressive coding, as cameras and editors write them.
        ASSERT_EQ(test::run("convert " + dir.file("in.ppm") + " -sampling-factor 2x2 -interlace JPEG -quality 80 " +
                            dir.file("im.jpeg")), 0);
        ASSERT_EQ(test::run("convert " + dir.file("in.ppm") + " -colorspace Gray " + dir.file("grey.jpg")), 0);
        files.push_back(dir.file("im.jpeg"));
        files.push_back(dir.file("grey.jpg"));
    }
    NullProgress progress;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        int rw = 0, rh = 0;
        const std::vector<unsigned char> reference = test::decodeJpegRgb(file, rw, rh);
        ASSERT_EQ(rw, w);
        expectPixels(decodeJpegFile(file, progress), reference, rw, rh);
    }
}

TEST(PictureDecoding, ExtensionChoosesTheDecoderWithoutRegardToCase) {
    EXPECT_EQ(formatFromPath("/a/b.JPG"), PictureFormat::Jpeg);
    EXPECT_EQ(formatFromPath("x.jpeg"), PictureFormat::Jpeg);
    EXPECT_EQ(formatFromPath("x.Tiff"), PictureFormat::Tiff);
    EXPECT_EQ(formatFromPath("x.tif"), PictureFormat::Tiff);
    EXPECT_EQ(formatFromPath("x.HDR"), PictureFormat::Rgbe);
    EXPECT_EQ(formatFromPath("x.bmp"), PictureFormat::Bmp);
    EXPECT_EQ(formatFromPath("x.webp"), PictureFormat::Unknown);
    EXPECT_EQ(formatFromPath("dir.jpg/noext"), PictureFormat::Unknown);
    EXPECT_EQ(fileNameOf("/home/u/shots/a.jpg"), "a.jpg");
}

TEST(PictureDecoding, DamagedInputGivesNoPicture) {
    NullProgress progress;
    const unsigned char junk[] = "BM this header is far too short and wrong";
    EXPECT_FALSE(decodeBmpMemory(junk, sizeof junk, progress).ok);
    EXPECT_FALSE(decodeJpegMemory(junk, sizeof junk, progress).ok);
    EXPECT_FALSE(decodeJpegMemory(junk, 0, progress).ok);
}

}  // namespace
}  // namespace sv
