#include "imagefiles/png_writer.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <vector>

namespace sv {

namespace {

struct PngOutput {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngOutput() { png_destroy_write_struct(&png, info ? &info : nullptr); }
};

void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

// Everything between setjmp and the last libpng call: no object with a destructor lives in this
// frame, so the longjmp of an error skips nothing.
template <typename FillRow>
bool encode(std::FILE* file, int width, int height, int bits, const OutputMetadata* metadata, png_bytep row,
            FillRow& fillRow, ProgressSink& progress, bool& encoderFailed) {
    PngOutput out;
    out.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!out.png) return false;
    out.info = png_create_info_struct(out.png);
    if (!out.info) return false;
    encoderFailed = true;
    if (setjmp(png_jmpbuf(out.png))) return false;
    png_init_io(out.png, file);
    png_set_IHDR(out.png, out.info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), bits,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (metadata && !metadata->iccProfile.empty()) {
        png_set_iCCP(out.png, out.info, "sRGB", PNG_COMPRESSION_TYPE_BASE, metadata->iccProfile.data(),
                     static_cast<png_uint_32>(metadata->iccProfile.size()));
    }
    encoderFailed = false;
    png_write_info(out.png, out.info);
    // Written by hand: libpng 1.6.39 would repeat an eXIf set through png_set_eXIf_1 after the
    // picture data. Here it stands once, before them, where readers look for it.
    if (metadata && !metadata->exif.empty()) {
        static const png_byte kExif[5] = {'e', 'X', 'I', 'f', '\0'};
        png_write_chunk(out.png, kExif, metadata->exif.data(), metadata->exif.size());
    }
    if (bits == 16) png_set_swap(out.png);
    for (int y = 0; y < height; ++y) {
        fillRow(y, row);
        png_write_row(out.png, row);
        progress.advance(1);
    }
    png_write_end(out.png, out.info);
    return true;
}

template <typename FillRow>
bool writePng(const std::string& path, int width, int height, int bits, const OutputMetadata* metadata,
              FillRow fillRow, ProgressSink& progress, WriteError& error) {
    if (width <= 0 || height <= 0) {
        error = WriteError{WriteFailure::NothingToWrite, 0, {}};
        return false;
    }
    std::vector<unsigned char> row;
    try {
        row.resize(static_cast<std::size_t>(width) * 3 * (bits / 8));
    } catch (const std::bad_alloc&) {
        error = WriteError{WriteFailure::NotEnoughMemory, 0, {}};
        return false;
    }
    beginProgress(progress, height);
    bool encoderFailed = false;
    const bool ok = writeFileAtomically(path, [&](std::FILE* file) {
        errno = 0;
        return encode(file, width, height, bits, metadata, row.data(), fillRow, progress, encoderFailed);
    }, error);
    endProgress(progress, height);
    // libpng refusing what it was given (not the disk) says so instead of an errno.
    if (!ok && encoderFailed) error = WriteError{metadata ? WriteFailure::MetadataNotWritten : WriteFailure::EncodingFailed, 0, {}};
    return ok;
}

}  // namespace

bool writePng8(const DisplayBitmap& bitmap, const std::string& path, const OutputMetadata* metadata,
               ProgressSink& progress, WriteError& error) {
    auto fill = [&](int y, unsigned char* dst) {
        const std::uint32_t* src = bitmap.row(y);
        for (int x = 0; x < bitmap.width(); ++x) {
            dst[3 * x + 0] = static_cast<unsigned char>(redOf(src[x]));
            dst[3 * x + 1] = static_cast<unsigned char>(greenOf(src[x]));
            dst[3 * x + 2] = static_cast<unsigned char>(blueOf(src[x]));
        }
    };
    return writePng(path, bitmap.width(), bitmap.height(), 8, metadata, fill, progress, error);
}

bool writePng16(const FloatImage& picture, const std::string& path, const OutputMetadata* metadata,
                ProgressSink& progress, WriteError& error) {
    auto fill = [&](int y, unsigned char* dst) {
        const float* src = picture.row(y);
        auto* samples = reinterpret_cast<std::uint16_t*>(dst);
        for (std::size_t i = 0; i < picture.rowSamples(); ++i) samples[i] = png16Sample(src[i]);
    };
    return writePng(path, picture.width(), picture.height(), 16, metadata, fill, progress, error);
}

}  // namespace sv
