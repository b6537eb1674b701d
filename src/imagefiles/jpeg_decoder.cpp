#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
#include <memory>

#include <tbb/task_group.h>

#include "imagefiles/picture_decoder.h"

namespace sv {

namespace {

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void fatalJpegError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

// Warnings (a truncated file, a bad Huffman code) are not printed; the decoder pads what is
// missing with grey and the picture opens, as other viewers show it.
void quietJpegMessage(j_common_ptr) {}

// Everything the decode touches lives here, outside the frame that setjmp saves.
struct JpegDecode {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    tbb::task_group conversions;
    DecodedPicture out;
    bool created = false;
};

constexpr int kBandRows = 32;

// Decodes on this thread while another core turns finished bands of rows into floats.
void decodeInto(JpegDecode& d, const unsigned char* data, std::size_t size, ProgressSink& progress) {
    jpeg_create_decompress(&d.info);
    d.created = true;
    jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK) return;
    // BGRX in memory is exactly the display word (blue in the low byte) on a little-endian machine.
    static_assert(std::endian::native == std::endian::little);
    d.info.out_color_space = JCS_EXT_BGRX;
    jpeg_calc_output_dimensions(&d.info);
    const int width = static_cast<int>(d.info.output_width);
    const int height = static_cast<int>(d.info.output_height);
    if (!preparePicture(d.out, width, height, "(JPEG)")) return;
    jpeg_start_decompress(&d.info);
    int bandStart = 0;
    while (d.info.output_scanline < d.info.output_height) {
        const int first = static_cast<int>(d.info.output_scanline);
        JSAMPROW rows[16];
        const int want = std::min(16, height - first);
        for (int k = 0; k < want; ++k) rows[k] = reinterpret_cast<JSAMPROW>(d.out.bitmap.row(first + k));
        const int got = static_cast<int>(jpeg_read_scanlines(&d.info, rows, static_cast<JDIMENSION>(want)));
        if (got <= 0) break;
        const int done = first + got;
        if (done - bandStart >= kBandRows || done == height) {
            d.conversions.run([&d, &progress, bandStart, done] {
                floatsFromBitmapRows(d.out.bitmap, d.out.pixels, bandStart, done);
                progress.advance(done - bandStart);
            });
            bandStart = done;
        }
    }
    jpeg_finish_decompress(&d.info);
    d.conversions.wait();
    d.out.ok = true;
}

}  // namespace

DecodedPicture decodeJpegMemory(const unsigned char* data, std::size_t size, ProgressSink& progress) {
    auto d = std::make_unique<JpegDecode>();
    d->out.failure = Message{MessageId::CannotReadFile, 0, "(JPEG)"};
    if (size < 4 || size > 0xFFFFFFFFull) return std::move(d->out);
    d->info.err = jpeg_std_error(&d->errors.manager);
    d->errors.manager.error_exit = fatalJpegError;
    d->errors.manager.output_message = quietJpegMessage;
    if (setjmp(d->errors.jump) == 0) {
        decodeInto(*d, data, size, progress);
    } else {
        d->out.ok = false;
    }
    d->conversions.wait();
    if (d->created) jpeg_destroy_decompress(&d->info);
    if (!d->out.ok) {
        d->out.pixels.release();
        d->out.bitmap = DisplayBitmap();
    }
    return std::move(d->out);
}

DecodedPicture decodeJpegFile(const std::string& path, ProgressSink& progress) {
    std::string contents;
    if (!readWholeFile(path, contents)) {
        DecodedPicture out;
        out.failure = Message{MessageId::CannotReadFile, 0, fileNameOf(path)};
        return out;
    }
    DecodedPicture out = decodeJpegMemory(reinterpret_cast<const unsigned char*>(contents.data()),
                                          contents.size(), progress);
    if (!out.ok) out.failure.detail = fileNameOf(path);
    return out;
}

}  // namespace sv
