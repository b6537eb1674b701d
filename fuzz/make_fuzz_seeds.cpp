// Writes the seed corpus of the fuzz targets: small valid files of every kind the readers take,
// made by our writers and by the same builders the reader tests use.
#include <turbojpeg.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "imagefiles/bmp_writer.h"
#include "imagefiles/pfm_writer.h"
#include "imagefiles/png_writer.h"
#include "imagefiles/tiff_writer.h"
#include "imagefiles/file_builders.h"

namespace {

using sv::test::Bytes;

void save(const std::filesystem::path& dir, const std::string& name, const Bytes& bytes) {
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

sv::FloatImage picture(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    sv::FloatImage image(w, h);
    for (std::size_t i = 0; i < image.sampleCount(); ++i) image.data()[i] = static_cast<float>(rng() % 1000) / 900.0f;
    return image;
}

void tiffSeeds(const std::filesystem::path& dir) {
    sv::NullProgress progress;
    int k = 0;
    for (int bits : {8, 16}) {
        for (auto c : {sv::TiffCompressionChoice::None, sv::TiffCompressionChoice::Deflate}) {
            const Bytes file = sv::encodeTiff(picture(9, 5, static_cast<unsigned>(k)), bits, c, progress);
            save(dir, "ours" + std::to_string(k) + ".tif", file);
            ++k;
        }
    }
    std::mt19937 rng(1);
    int n = 0;
    for (bool little : {true, false}) {
        for (int bits : {8, 16, 32}) {
            for (int compression : {1, 8}) {
                sv::test::TiffSpec s;
                s.little = little;
                s.width = 6;
                s.height = 4;
                s.bits = bits;
                s.compression = compression;
                s.rowsPerStrip = bits == 8 ? 0 : 2;
                s.sizeType = little ? 3 : 4;
                s.stripType = bits == 16 ? 3 : 4;
                s.predictor = (n % 5 == 4) ? 2 : 0;
                for (int i = 0; i < 6 * 4 * 3; ++i) s.samples.push_back(bits == 32 ? 0x3F000000u + (rng() & 0xFFFF) : rng() & 0xFF);
                save(dir, "built" + std::to_string(n++) + ".tif", sv::test::buildTiff(s));
            }
        }
    }
}

void rgbeSeeds(const std::filesystem::path& dir) {
    std::mt19937 rng(2);
    for (int k = 0; k < 4; ++k) {
        const int w = 3 + 7 * k, h = 2 + k;
        std::vector<std::uint8_t> rgbe(static_cast<std::size_t>(w) * h * 4);
        for (std::size_t i = 0; i < rgbe.size(); ++i) rgbe[i] = (i % 4 == 3) ? 120 + rng() % 16 : (rng() % 3 ? rng() : 7);
        const std::string header = k % 2 ? "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=1\n\n" : "# c\n#?RADIANCE\n\n";
        save(dir, "seed" + std::to_string(k) + ".hdr", sv::test::buildRgbe(w, h, rgbe, k < 2, header));
    }
}

void jpegSeeds(const std::filesystem::path& dir) {
    tjhandle h = tjInitCompress();
    std::mt19937 rng(3);
    int k = 0;
    for (int flags : {0, TJFLAG_PROGRESSIVE}) {
        for (int sub : {TJSAMP_444, TJSAMP_420, TJSAMP_GRAY}) {
            std::vector<unsigned char> rgb(static_cast<std::size_t>(13) * 9 * 3);
            for (auto& v : rgb) v = static_cast<unsigned char>(rng());
            unsigned char* jpeg = nullptr;
            unsigned long size = 0;
            if (tjCompress2(h, rgb.data(), 13, 0, 9, TJPF_RGB, &jpeg, &size, sub, 80, flags) == 0) {
                save(dir, "seed" + std::to_string(k++) + ".jpg", Bytes(jpeg, jpeg + size));
            }
            tjFree(jpeg);
        }
    }
    tjDestroy(h);
}

void bmpSeeds(const std::filesystem::path& dir) {
    std::mt19937 rng(4);
    for (int k = 0; k < 3; ++k) {
        sv::DisplayBitmap b(5 + k, 3 + k);
        for (int y = 0; y < b.height(); ++y) {
            for (int x = 0; x < b.width(); ++x) b.at(x, y) = rng() & 0xFFFFFF;
        }
        save(dir, "seed" + std::to_string(k) + ".bmp", sv::encodeBmp24(b));
    }
    // The other variants: palettes, run-length data, bit fields, OS/2 headers, rows top-down.
    const int w = 7, h = 3;
    std::vector<std::vector<std::uint32_t>> rows(h, std::vector<std::uint32_t>(w));
    for (auto& row : rows) {
        for (auto& v : row) v = rng() % 3 ? rng() : 0;
    }
    auto indices = [&](unsigned bits) {
        auto r = rows;
        for (auto& row : r) {
            for (auto& v : row) v &= (1u << bits) - 1;
        }
        return r;
    };
    int n = 0;
    auto add = [&](sv::test::BmpSpec s) { save(dir, "variant" + std::to_string(n++) + ".bmp", sv::test::buildBmp(s)); };
    for (std::uint32_t header : {12u, 40u, 64u, 124u}) {
        for (int bits : {1, 4, 8, 16, 24, 32}) {
            if (header == 12 && (bits == 16 || bits == 32)) continue;
            sv::test::BmpSpec s;
            s.headerSize = header;
            s.width = w;
            s.height = header == 124 ? -h : h;
            s.bits = bits;
            if (bits <= 8) {
                for (int i = 0; i < (1 << bits) && i < 16; ++i) s.palette.push_back(rng() & 0xFFFFFF);
                s.coloursUsed = header == 12 ? 0 : static_cast<std::uint32_t>(s.palette.size());
            }
            s.pixels = sv::test::packBmpRows(bits <= 8 ? indices(static_cast<unsigned>(bits)) : rows, bits, s.height < 0);
            add(s);
            if ((bits == 4 || bits == 8) && header != 12) {
                s.height = h;
                s.compression = bits == 8 ? 1 : 2;
                s.pixels = sv::test::encodeBmpRle(indices(static_cast<unsigned>(bits)), bits == 4);
                add(s);
            }
            if ((bits == 16 || bits == 32) && header != 64) {
                s.compression = 3;
                s.masks[0] = bits == 16 ? 0xF800 : 0xFF000000;
                s.masks[1] = bits == 16 ? 0x07E0 : 0xFF0000;
                s.masks[2] = bits == 16 ? 0x001F : 0xFF00;
                add(s);
            }
        }
    }
}

}  // namespace

// PNG at 8 and 16 bits (libpng's own encoder) and PFM, small.
void pngAndPfmSeeds(const std::filesystem::path& png, const std::filesystem::path& pfm) {
    sv::NullProgress progress;
    for (int k = 0; k < 3; ++k) {
        const int w = 3 + 5 * k, h = 2 + 3 * k;
        const sv::FloatImage image = picture(w, h, 40u + static_cast<unsigned>(k));
        sv::WriteError error;
        sv::writePng16(image, (png / ("seed" + std::to_string(k) + ".png")).string(), nullptr, progress, error);
        sv::DisplayBitmap bitmap(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) bitmap.at(x, y) = static_cast<std::uint32_t>(x * 40 + y * 9000 + k);
        sv::writePng8(bitmap, (png / ("seed8_" + std::to_string(k) + ".png")).string(), nullptr, progress, error);
        sv::writePfm((pfm / ("seed" + std::to_string(k) + ".pfm")).string(), image, error);
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds FOLDER\n");
        return 1;
    }
    const std::filesystem::path root(argv[1]);
    for (const char* kind : {"tiff", "rgbe", "jpeg", "bmp", "png", "pfm"}) std::filesystem::create_directories(root / kind);
    tiffSeeds(root / "tiff");
    rgbeSeeds(root / "rgbe");
    jpegSeeds(root / "jpeg");
    bmpSeeds(root / "bmp");
    pngAndPfmSeeds(root / "png", root / "pfm");
    return 0;
}
