#include <algorithm>
#include <climits>
#include <bit>
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>
#include <memory>

#include <tbb/task_group.h>

#include "imagefiles/picture_decoder.h"

namespace sv {

namespace {

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    bool fileEnded = false;   // the data ran out and libjpeg went on with a made-up end marker
    bool scanEnded = false;   // a scan's coded data stopped before all of its blocks
};

[[noreturn]] void fatalJpegError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

// Nothing is printed. Two warnings mean that pixels are missing (libjpeg fills them with grey):
// the premature end of the file, and the premature end of a scan's data.
void noteJpegWarning(j_common_ptr info, int level) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    if (level >= 0) return;  // trace messages
    ++errors->manager.num_warnings;
    if (errors->manager.msg_code == JWRN_JPEG_EOF) errors->fileEnded = true;
    if (errors->manager.msg_code == JWRN_HIT_MARKER) errors->scanEnded = true;
}

// Everything the decode touches lives here, outside the frame that setjmp saves.
struct JpegDecode {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    tbb::task_group conversions;
    DecodedPicture out;
    bool created = false;
};

constexpr int kBandRows = 32;

// What a file of this frame needs at the least, and what libjpeg holds while decoding it.
void fillClaim(const jpeg_decompress_struct& info, std::size_t fileBytes, PictureClaim& claim) {
    std::uint64_t fewestBlocks = UINT64_MAX;
    std::uint64_t coefficients = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& comp = info.comp_info[c];
        const std::uint64_t blocks = std::uint64_t(comp.width_in_blocks) * comp.height_in_blocks;
        fewestBlocks = std::min(fewestBlocks, blocks);
        // Whole-picture coefficient arrays (64 coefficients of 2 bytes a block), rows rounded up
        // to the sampling factor.
        const std::uint64_t rows = (std::uint64_t(comp.height_in_blocks) + comp.v_samp_factor) / comp.v_samp_factor *
                                   comp.v_samp_factor;
        coefficients += (std::uint64_t(comp.width_in_blocks) + comp.h_samp_factor) * rows * 64 * sizeof(JCOEF);
    }
    // Files whose scans are not all interleaved in one (progressive ones, for a start) are
    // absorbed whole before the first row comes out. Otherwise libjpeg keeps a few rows.
    const bool wholePicture = jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&info));
    claim.scratchBytes = (wholePicture ? coefficients : 0) + std::uint64_t(info.image_width) * 256 + (1u << 20);
    // Huffman-coded frames spend at least one bit on every block of every component: each block's
    // DC difference has its own code (at least one bit long) in a sequential scan or in the DC
    // scan that opens a progressive component, while the AC scans of progressive files may code
    // thousands of blocks in one end-of-band run and are not counted. Arithmetic coding has no
    // such floor and gets no bound.
    if (!info.arith_code && info.num_components > 0) claim.fileTooShort = std::uint64_t(fileBytes) * 8 < fewestBlocks;
}

// Decodes on this thread while another core turns finished bands of rows into floats.
void decodeInto(JpegDecode& d, const unsigned char* data, std::size_t size, const std::string& name,
                const DecodeHooks& hooks, ProgressSink& progress) {
    jpeg_create_decompress(&d.info);
    d.created = true;
    jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK) return;
    // BGRX in memory is exactly the display word (blue in the low byte) on a little-endian machine.
    static_assert(std::endian::native == std::endian::little);
    d.info.out_color_space = JCS_EXT_BGRX;
    jpeg_calc_output_dimensions(&d.info);
    PictureClaim claim;
    claim.name = name;
    claim.width = d.info.output_width > INT_MAX ? 0 : static_cast<int>(d.info.output_width);
    claim.height = d.info.output_height > INT_MAX ? 0 : static_cast<int>(d.info.output_height);
    fillClaim(d.info, size, claim);
    const int height = claim.height;
    if (!preparePicture(d.out, claim, hooks)) return;
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
    // Only warnings up to the last row count: a file that lacks nothing but its end marker makes
    // libjpeg look past the end once all the rows are out.
    const bool arithmetic = d.info.arith_code;
    const bool wholePicture = jpeg_has_multiple_scans(&d.info);
    const bool rowsMissing = d.info.output_scanline < d.info.output_height;
    // A Huffman decoder that ends the file early while looking ahead has not lost a bit until it
    // also reports the scan's end; arithmetic and multi-scan files cannot tell, so their end counts.
    d.out.incomplete = rowsMissing || d.errors.scanEnded || (d.errors.fileEnded && (arithmetic || wholePicture));
    if (d.out.incomplete) d.out.failure = Message{MessageId::IncompleteFile, 0, name};
    jpeg_finish_decompress(&d.info);
    d.conversions.wait();
    d.out.ok = true;
}

}  // namespace

DecodedPicture decodeJpegMemory(const unsigned char* data, std::size_t size, const std::string& name,
                                const DecodeHooks& hooks, ProgressSink& progress) {
    auto d = std::make_unique<JpegDecode>();
    d->out.failure = Message{MessageId::CannotReadFile, 0, name};
    if (size < 4 || size > 0xFFFFFFFFull) return std::move(d->out);
    d->info.err = jpeg_std_error(&d->errors.manager);
    d->errors.manager.error_exit = fatalJpegError;
    d->errors.manager.emit_message = noteJpegWarning;
    if (setjmp(d->errors.jump) == 0) {
        decodeInto(*d, data, size, name, hooks, progress);
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

DecodedPicture decodeJpegMemory(const unsigned char* data, std::size_t size, ProgressSink& progress) {
    return decodeJpegMemory(data, size, "(JPEG)", DecodeHooks{}, progress);
}

}  // namespace sv
