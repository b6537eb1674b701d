#include "imagefiles/png_reader.h"

#include <png.h>

#include <climits>
#include <csetjmp>
#include <cstring>
#include <new>
#include <vector>

#include "imagefiles/input_scales.h"
#include "imagefiles/tiff_reader.h"

namespace sv {

namespace {

// Deflate never packs more than 1032 bytes into one, so a file shorter than its pixel rows over
// that cannot hold them.
constexpr std::uint64_t kDeflateLargestRatio = 1032;

// Everything libpng's callbacks and the longjmp out of them touch: plain data only, so that
// jumping over a frame never skips a destructor.
struct PngJob {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    bool ranOut = false;         // a read asked for bytes past the end of the file
    bool readingRows = false;    // the header was read; the error came from the picture's data
    char error[160] = {};
};

void readBytes(png_structp png, png_bytep out, png_size_t length) {
    auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
    if (length > job->size - job->pos) {
        job->ranOut = true;
        png_error(png, "the file ends early");
    }
    std::memcpy(out, job->data + job->pos, length);
    job->pos += length;
}

void onError(png_structp png, png_const_charp message) {
    auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
    std::strncpy(job->error, message ? message : "", sizeof job->error - 1);
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

struct PngInfo {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colourType = 0;
    int interlace = 0;
    bool linear = false;  // gAMA says the samples are linear
    std::size_t rowBytes = 0;
};

// The header and the transformations to 8- or 16-bit RGB; false on a libpng error.
bool readHeader(png_structp png, png_infop info, PngInfo& header) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    png_get_IHDR(png, info, &header.width, &header.height, &header.bitDepth, &header.colourType, &header.interlace,
                 nullptr, nullptr);
    double gamma = 0.0;
    header.linear = png_get_gAMA(png, info, &gamma) != 0 && gamma > 0.99 && gamma < 1.01;
    if (header.colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (header.colourType == PNG_COLOR_TYPE_GRAY && header.bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (header.colourType == PNG_COLOR_TYPE_GRAY || header.colourType == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_gray_to_rgb(png);
    }
    // Alpha is dropped, and a transparent colour (tRNS) is not turned into alpha.
    png_set_strip_alpha(png);
    if (header.bitDepth == 16) png_set_swap(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    header.rowBytes = png_get_rowbytes(png, info);
    return true;
}

// Reads every row into `rows` (interlaced pictures need them all at once) or one row at a time
// into `rows[0]`, handing each finished row to `convert`. False on a libpng error.
template <typename Convert>
bool readRows(png_structp png, png_infop info, PngJob& job, const PngInfo& header, png_bytepp rows, bool whole,
              Convert& convert) {
    if (setjmp(png_jmpbuf(png))) return false;
    job.readingRows = true;
    if (whole) {
        png_read_image(png, rows);
        for (png_uint_32 y = 0; y < header.height; ++y) convert(static_cast<int>(y), rows[y]);
    } else {
        for (png_uint_32 y = 0; y < header.height; ++y) {
            png_read_row(png, rows[0], nullptr);
            convert(static_cast<int>(y), rows[0]);
        }
    }
    job.readingRows = false;
    // The chunks after the picture: their faults no longer matter to the pixels.
    png_read_end(png, nullptr);
    (void)info;
    return true;
}

struct PngHandles {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngHandles() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

}  // namespace

DecodedPicture decodePngMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress) {
    DecodedPicture out;
    out.failure = Message{MessageId::CannotReadFile, 0, name};
    if (size < 8 || png_sig_cmp(data, 0, 8) != 0) return out;

    PngJob job;
    job.data = data;
    job.size = size;
    PngHandles handles;
    handles.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, onError, onWarning);
    if (!handles.png) return out;
    handles.info = png_create_info_struct(handles.png);
    if (!handles.info) return out;
    png_set_read_fn(handles.png, &job, readBytes);
    // Our own admission decides what size may be opened.
    png_set_user_limits(handles.png, 0x7fffffff, 0x7fffffff);

    PngInfo header;
    if (!readHeader(handles.png, handles.info, header)) {
        if (job.ranOut) {
            out.failure = Message{MessageId::IncompleteFile, 0, name};
            out.incomplete = true;
        }
        return out;
    }
    if (header.width == 0 || header.height == 0 || header.width > INT_MAX || header.height > INT_MAX) return out;
    const int width = static_cast<int>(header.width);
    const int height = static_cast<int>(header.height);
    const bool sixteen = header.bitDepth == 16;
    if (header.rowBytes != static_cast<std::size_t>(width) * 3 * (sixteen ? 2 : 1)) return out;
    const bool interlaced = header.interlace != PNG_INTERLACE_NONE;
    const bool gamma = sixteen && header.linear && chooseGammaCorrection(hooks);

    PictureClaim claim;
    claim.name = name;
    claim.width = width;
    claim.height = height;
    claim.scratchBytes = static_cast<std::uint64_t>(header.rowBytes) * (interlaced ? header.height : 1) +
                         (interlaced ? sizeof(png_bytep) * static_cast<std::uint64_t>(header.height) : 0);
    // Each stored row also holds its filter byte, at the file's own bit depth and channels.
    const std::uint64_t storedRowBits =
        static_cast<std::uint64_t>(header.width) * static_cast<std::uint64_t>(header.bitDepth) *
        static_cast<std::uint64_t>(png_get_channels(handles.png, handles.info));
    const std::uint64_t storedBytes = header.height * ((storedRowBits + 7) / 8 + 1);
    claim.fileTooShort = static_cast<std::uint64_t>(size) < storedBytes / kDeflateLargestRatio;
    if (!preparePicture(out, claim, hooks)) return out;

    std::vector<unsigned char> buffer;
    std::vector<png_bytep> rows;
    try {
        buffer.resize(header.rowBytes * (interlaced ? header.height : 1));
        rows.resize(interlaced ? header.height : 1);
    } catch (const std::bad_alloc&) {
        refuseOutOfMemory(out, name);
        return out;
    }
    for (std::size_t y = 0; y < rows.size(); ++y) rows[y] = buffer.data() + y * header.rowBytes;

    beginProgress(progress, height);
    auto convert = [&](int y, const unsigned char* src) {
        float* dst = out.pixels.row(y);
        std::uint32_t* display = out.bitmap.row(y);
        for (int x = 0; x < width; ++x) {
            std::uint32_t bytes[3];
            for (int c = 0; c < 3; ++c) {
                const std::size_t i = static_cast<std::size_t>(x) * 3 + c;
                float v;
                if (sixteen) {
                    std::uint16_t s;
                    std::memcpy(&s, src + 2 * i, 2);
                    v = static_cast<float>(s) / 65536.0f;
                    bytes[c] = tiffDisplayChannel(v);
                } else {
                    v = static_cast<float>(src[i]) / 256.0f;
                    bytes[c] = src[i];
                }
                dst[i] = v;
            }
            display[x] = packRgb(bytes[0], bytes[1], bytes[2]);
        }
        progress.setPosition(y + 1);
    };
    const bool read = readRows(handles.png, handles.info, job, header, rows.data(), interlaced, convert);
    endProgress(progress, height);
    if (!read && job.readingRows) {
        // Data that stop before the last row (the file is cut, or its picture data end early)
        // make an incomplete picture; any other fault a damaged one.
        const bool endsEarly = job.ranOut || std::strstr(job.error, "Not enough image data") ||
                               std::strstr(job.error, "Read Error");
        out.pixels.release();
        out.bitmap = DisplayBitmap();
        out.incomplete = endsEarly;
        out.failure = Message{endsEarly ? MessageId::IncompleteFile : MessageId::DamagedFile, 0, name};
        return out;
    }
    if (gamma) applyGammaCorrection(out.pixels);
    out.ok = true;
    return out;
}

}  // namespace sv
