// Every BMP variant a desktop picture loader reads opens with the pixels PIL (and, where PIL
// falls short, ImageMagick) decodes from the same file: header kinds, depths, palettes, bit fields,
// run-length data and row order. Files are built by hand, and made by ImageMagick and PIL.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "file_builders.h"
#include "imagefiles/picture_decoder.h"
#include "tool_support.h"

namespace sv {
namespace {

using test::BmpSpec;
using test::Bytes;
using Rows = std::vector<std::vector<std::uint32_t>>;

struct Reference {
    bool ok = false;
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
};

std::vector<unsigned char> fromHex(const std::string& hex) {
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// PIL's RGB pixels of every file, in one run of Python.
std::map<std::string, Reference> pilDecode(const test::TempDir& dir, const std::vector<std::string>& files) {
    std::string list;
    for (const auto& f : files) list += f + "\n";
    test::writeBytes(dir.file("files.txt"), list);
    const std::string script = R"(
import sys
from PIL import Image
for name in open(sys.argv[1]).read().split('\n'):
    if not name: continue
    try:
        im = Image.open(name)
        im.load()
        rgb = im.convert('RGB')
        print(name, 'OK', rgb.size[0], rgb.size[1], rgb.tobytes().hex())
    except Exception as e:
        print(name, 'ERR')
)";
    int status = 0;
    std::istringstream out(test::runPython(dir, script, test::quoted(dir.file("files.txt")), &status));
    std::map<std::string, Reference> refs;
    std::string name, word;
    while (out >> name >> word) {
        Reference r;
        r.ok = word == "OK";
        if (r.ok) {
            std::string hex;
            out >> r.width >> r.height >> hex;
            r.rgb = fromHex(hex);
        }
        refs[name] = r;
    }
    return refs;
}

// ImageMagick's RGB pixels of one file.
Reference imageMagickDecode(const std::string& path, int width, int height) {
    Reference r;
    int status = 0;
    const std::string bytes = test::capture(test::convertTool() + " " + test::quoted(path) + " -depth 8 rgb:-", &status);
    r.ok = bytes.size() == static_cast<std::size_t>(width) * height * 3;
    r.width = width;
    r.height = height;
    r.rgb.assign(bytes.begin(), bytes.end());
    return r;
}

DecodedPicture decode(const Bytes& file) {
    NullProgress progress;
    return decodeBmpMemory(file.data(), file.size(), progress);
}

void expectSamePixels(const DecodedPicture& p, const Reference& r) {
    ASSERT_TRUE(r.ok);
    ASSERT_TRUE(p.ok);
    EXPECT_FALSE(p.incomplete);
    ASSERT_EQ(p.bitmap.width(), r.width);
    ASSERT_EQ(p.bitmap.height(), r.height);
    for (int y = 0; y < r.height; ++y) {
        for (int x = 0; x < r.width; ++x) {
            const unsigned char* q = &r.rgb[(static_cast<std::size_t>(y) * r.width + x) * 3];
            ASSERT_EQ(p.bitmap.at(x, y), packRgb(q[0], q[1], q[2])) << "pixel " << x << "," << y;
            ASSERT_EQ(p.pixels.at(x, y, 0), q[0] / 256.0f);
            ASSERT_EQ(p.pixels.at(x, y, 2), q[2] / 256.0f);
        }
    }
}

Rows randomRows(int w, int h, std::uint32_t range, unsigned seed, bool runs = false) {
    std::mt19937 rng(seed);
    Rows rows(static_cast<std::size_t>(h), std::vector<std::uint32_t>(static_cast<std::size_t>(w)));
    for (auto& row : rows) {
        for (std::size_t x = 0; x < row.size(); ++x) {
            row[x] = (runs && x > 0 && rng() % 3 != 0) ? row[x - 1] : static_cast<std::uint32_t>(rng() % range);
        }
    }
    return rows;
}

std::vector<std::uint32_t> randomPalette(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> p(n);
    for (auto& c : p) c = rng() & 0xFFFFFF;
    return p;
}

// The variants PIL reads, each built by hand.
std::vector<std::pair<std::string, Bytes>> pilReadableVariants() {
    std::vector<std::pair<std::string, Bytes>> files;
    const int w = 13, h = 5;  // odd width: padded rows, a half-used last byte at 1 and 4 bits
    unsigned seed = 1;
    auto add = [&](const std::string& name, BmpSpec s) { files.emplace_back(name, test::buildBmp(s)); };
    for (std::uint32_t header : {12u, 40u, 64u, 108u, 124u}) {
        std::string hn = "h";
        hn += std::to_string(header);
        for (bool topDown : {false, true}) {
            if (topDown && header == 12) continue;  // OS/2 1.x sizes are unsigned
            const std::string tn = hn + (topDown ? "-topdown" : "");
            for (int bits : {1, 4, 8}) {
                BmpSpec s;
                s.headerSize = header;
                s.width = w;
                s.height = topDown ? -h : h;
                s.bits = bits;
                s.palette = randomPalette(std::size_t(1) << bits, seed++);
                s.pixels = test::packBmpRows(randomRows(w, h, 1u << bits, seed++), bits, topDown);
                add(tn + "-pal" + std::to_string(bits), s);
                if (header != 12 && bits > 1) {
                    // A short palette: indices beyond it.
                    s.palette.resize(3);
                    s.coloursUsed = 3;
                    add(tn + "-short" + std::to_string(bits), s);
                }
            }
            BmpSpec rgb;
            rgb.headerSize = header;
            rgb.width = w;
            rgb.height = topDown ? -h : h;
            rgb.pixels = test::packBmpRows(randomRows(w, h, 1u << 24, seed++), 24, topDown);
            add(tn + "-rgb24", rgb);
            if (header == 12) continue;
            BmpSpec x16 = rgb;
            x16.bits = 16;
            x16.pixels = test::packBmpRows(randomRows(w, h, 1u << 16, seed++), 16, topDown);
            add(tn + "-rgb555", x16);
            BmpSpec x32 = rgb;
            x32.bits = 32;
            x32.pixels = test::packBmpRows(randomRows(w, h, 0xFFFFFFFFu, seed++), 32, topDown);
            add(tn + "-bgrx", x32);
            if (header == 64) continue;  // OS/2 2.x has no bit fields
            struct Fields {
                const char* name;
                int bits;
                std::uint32_t m[4];
            } fields[] = {{"565", 16, {0xF800, 0x07E0, 0x001F, 0}},
                          {"555f", 16, {0x7C00, 0x03E0, 0x001F, 0}},
                          {"bgra", 32, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}},
                          {"xbgr", 32, {0xFF000000, 0xFF0000, 0xFF00, 0}},
                          {"rgba", 32, {0xFF, 0xFF00, 0xFF0000, 0xFF000000}}};
            for (const Fields& f : fields) {
                if (f.m[3] != 0 && header == 40) continue;  // alpha masks live in V4/V5 headers
                BmpSpec b = rgb;
                b.bits = f.bits;
                b.compression = 3;
                std::copy(f.m, f.m + 4, b.masks);
                b.pixels = test::packBmpRows(randomRows(w, h, f.bits == 16 ? 1u << 16 : 0xFFFFFFFFu, seed++), f.bits, topDown);
                add(tn + "-fields-" + f.name, b);
            }
        }
        if (header == 12) continue;
        for (int bits : {4, 8}) {
            BmpSpec s;
            s.headerSize = header;
            s.width = 37;
            s.height = 6;
            s.bits = bits;
            s.compression = bits == 8 ? 1 : 2;
            s.palette = randomPalette(std::size_t(1) << bits, seed++);
            s.pixels = test::encodeBmpRle(randomRows(37, 6, 1u << bits, seed++, true), bits == 4);
            add(hn + "-rle" + std::to_string(bits), s);
        }
    }
    // A colour table in a 24-bit file and a gap before the pixels (stb refused both).
    BmpSpec gap;
    gap.width = 6;
    gap.height = 3;
    gap.palette = randomPalette(4, seed++);
    gap.coloursUsed = 4;
    gap.pixelOffset = 200;
    gap.pixels = test::packBmpRows(randomRows(6, 3, 1u << 24, seed++), 24, false);
    add("gap-rgb24", gap);
    return files;
}

TEST(BmpVariants, EveryHeaderDepthPaletteAndRowOrderDecodesAsPilDoes) {
    if (!test::havePil()) GTEST_SKIP() << "Python PIL is not installed";
    test::TempDir dir;
    const auto variants = pilReadableVariants();
    std::vector<std::string> paths;
    for (const auto& [name, bytes] : variants) {
        paths.push_back(dir.file(name + ".bmp"));
        test::writeBytes(paths.back(), std::string(bytes.begin(), bytes.end()));
    }
    const auto refs = pilDecode(dir, paths);
    ASSERT_EQ(refs.size(), variants.size());
    for (std::size_t i = 0; i < variants.size(); ++i) {
        SCOPED_TRACE(variants[i].first);
        expectSamePixels(decode(variants[i].second), refs.at(paths[i]));
    }
}

TEST(BmpVariants, TopDownRowsAreTheBottomUpPictureTurnedOver) {
    const Rows rows = randomRows(9, 4, 1u << 24, 3);
    BmpSpec up;
    up.width = 9;
    up.height = 4;
    up.pixels = test::packBmpRows(rows, 24, false);
    BmpSpec down = up;
    down.height = -4;
    down.pixels = test::packBmpRows(rows, 24, true);
    const DecodedPicture a = decode(test::buildBmp(up)), b = decode(test::buildBmp(down));
    ASSERT_TRUE(a.ok && b.ok);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 9; ++x) {
            const std::uint32_t v = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
            ASSERT_EQ(a.bitmap.at(x, y), v);
            ASSERT_EQ(b.bitmap.at(x, y), v);
        }
    }
}

// PIL 9 loses pixels after a delta code and in odd RLE4 absolute runs; ImageMagick reads both
// as the format defines them, and so do we.
TEST(BmpVariants, RunLengthEscapesFollowTheFormatAsImageMagickReadsThem) {
    const std::vector<std::uint32_t> palette = {0x0A141E, 0xC80000, 0x00C800, 0x0000C8};
    struct Case {
        const char* name;
        int bits;
        int width, height;
        Bytes data;
        std::vector<std::uint32_t> expected;  // palette indices, top row first
        bool imageMagickAgrees = true;
    } cases[] = {
        // Bottom row: three of 1, end of line. Top row: delta one right, one 2, end of bitmap.
        {"rle8-delta", 8, 4, 2, {3, 1, 0, 0, 0, 2, 1, 0, 1, 2, 0, 1}, {0, 2, 0, 0, 1, 1, 1, 0}},
        // A delta that moves up a row and across.
        {"rle8-delta-up", 8, 5, 3, {2, 3, 0, 2, 2, 1, 1, 1, 0, 1}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 3, 3, 0, 0, 0}},
        // A run past the row's end is cut there, as PIL cuts it (ImageMagick carries it over).
        {"rle8-cut", 8, 5, 2, {0, 0, 3, 1, 9, 2, 0, 1}, {1, 1, 1, 2, 2, 0, 0, 0, 0, 0}, false},
        // Absolute run of three (odd) pixels in RLE4, padded; then alternating nibbles.
        {"rle4-odd", 4, 4, 2, {0, 3, 0x12, 0x30, 0, 0, 4, 0x21, 0, 1}, {2, 1, 2, 1, 1, 2, 3, 0}},
        // RLE8 absolute run of three bytes with its pad byte, then the end of the bitmap at once.
        {"rle8-abs", 8, 4, 2, {0, 3, 1, 2, 3, 0, 0, 1}, {0, 0, 0, 0, 1, 2, 3, 0}},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BmpSpec s;
        s.width = c.width;
        s.height = c.height;
        s.bits = c.bits;
        s.compression = c.bits == 8 ? 1 : 2;
        s.palette = palette;
        s.coloursUsed = 4;
        s.pixels = c.data;
        const Bytes file = test::buildBmp(s);
        const DecodedPicture p = decode(file);
        ASSERT_TRUE(p.ok);
        EXPECT_FALSE(p.incomplete);
        Reference expected{true, c.width, c.height, {}};
        for (std::uint32_t index : c.expected) {
            const std::uint32_t rgb = palette[index];
            expected.rgb.insert(expected.rgb.end(), {static_cast<unsigned char>(rgb >> 16),
                                                     static_cast<unsigned char>(rgb >> 8), static_cast<unsigned char>(rgb)});
        }
        expectSamePixels(p, expected);
        if (c.imageMagickAgrees && test::haveTool(test::convertTool())) {
            const std::string path = dir.file(std::string(c.name) + ".bmp");
            test::writeBytes(path, std::string(file.begin(), file.end()));
            const Reference im = imageMagickDecode(path, c.width, c.height);
            EXPECT_EQ(im.rgb, expected.rgb) << "ImageMagick reads it otherwise";
        }
    }
}

// Header sizes PIL does not take (OS/2 2.x of 16 bytes, Windows V2 and V3) give the pixels of the
// same picture behind a 40-byte header, and ImageMagick agrees where it reads them.
TEST(BmpVariants, ShortOs2AndV2V3HeadersGiveTheSamePixels) {
    const Rows rows = randomRows(7, 3, 1u << 16, 9);
    BmpSpec base;
    base.width = 7;
    base.height = 3;
    base.bits = 16;
    base.compression = 3;
    base.masks[0] = 0xF800, base.masks[1] = 0x07E0, base.masks[2] = 0x001F;
    base.pixels = test::packBmpRows(rows, 16, false);
    const DecodedPicture reference = decode(test::buildBmp(base));
    ASSERT_TRUE(reference.ok);
    for (std::uint32_t header : {52u, 56u}) {
        BmpSpec s = base;
        s.headerSize = header;
        const DecodedPicture p = decode(test::buildBmp(s));
        ASSERT_TRUE(p.ok) << header;
        EXPECT_EQ(std::vector<std::uint32_t>(p.bitmap.data(), p.bitmap.data() + 21),
                  std::vector<std::uint32_t>(reference.bitmap.data(), reference.bitmap.data() + 21));
    }
    BmpSpec os2;
    os2.headerSize = 16;
    os2.width = 5;
    os2.height = 2;
    os2.bits = 8;
    os2.palette = randomPalette(256, 4);
    const Rows indices = randomRows(5, 2, 256, 5);
    os2.pixels = test::packBmpRows(indices, 8, false);
    const DecodedPicture p = decode(test::buildBmp(os2));
    ASSERT_TRUE(p.ok);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 5; ++x) EXPECT_EQ(p.bitmap.at(x, y), os2.palette[indices[y][x]]);
    }
}

TEST(BmpVariants, FilesMadeByImageMagickAndPilDecodeAsPilReadsThem) {
    if (!test::havePil() || !test::haveTool(test::convertTool())) GTEST_SKIP() << "PIL or ImageMagick missing";
    test::TempDir dir;
    const int w = 11, h = 6;
    std::mt19937 rng(21);
    std::vector<unsigned> samples;
    for (int i = 0; i < w * h * 3; ++i) samples.push_back(rng() % 4 * 85);  // few colours: palettes hold them
    test::writePpm(dir.file("in.ppm"), w, h, samples, 255);
    const std::string im = test::convertTool() + " " + test::quoted(dir.file("in.ppm")) + " ";
    const std::vector<std::pair<std::string, std::string>> made = {
        {"im-bmp2.bmp", "BMP2:"},
        {"im-bmp3.bmp", "BMP3:"},
        {"im-v5.bmp", "BMP:"},
        {"im-pal8.bmp", "-type Palette BMP3:"},
        {"im-rle8.bmp", "-type Palette -compress RLE BMP3:"},
        {"im-gray.bmp", "-colorspace Gray -type Grayscale BMP3:"},
        {"im-mono.bmp", "-monochrome BMP3:"},
        {"im-565.bmp", "-define bmp:subtype=RGB565 BMP:"},
        {"im-555.bmp", "-define bmp:subtype=RGB555 BMP:"},
        {"im-alpha.bmp", "-alpha set -channel A -evaluate set 50% BMP:"},
    };
    std::vector<std::string> paths;
    for (const auto& [name, options] : made) {
        ASSERT_EQ(test::run(im + options + test::quoted(dir.file(name))), 0) << options;
        paths.push_back(dir.file(name));
    }
    const std::string script = R"(
import sys
from PIL import Image
im = Image.open(sys.argv[1]).convert('RGB')
im.save(sys.argv[2] + '-rgb.bmp')
im.convert('RGBA').save(sys.argv[2] + '-rgba.bmp')
im.convert('P', palette=Image.ADAPTIVE, colors=16).save(sys.argv[2] + '-p16.bmp')
im.convert('L').save(sys.argv[2] + '-l.bmp')
im.convert('1').save(sys.argv[2] + '-1.bmp')
)";
    int status = 0;
    test::runPython(dir, script, test::quoted(dir.file("in.ppm")) + " " + test::quoted(dir.file("pil")), &status);
    ASSERT_EQ(status, 0);
    for (const char* suffix : {"-rgb.bmp", "-rgba.bmp", "-p16.bmp", "-l.bmp", "-1.bmp"}) paths.push_back(dir.file(std::string("pil") + suffix));
    const auto refs = pilDecode(dir, paths);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const std::string bytes = test::readBytes(path);
        expectSamePixels(decode(Bytes(bytes.begin(), bytes.end())), refs.at(path));
    }
}

}  // namespace
}  // namespace sv
