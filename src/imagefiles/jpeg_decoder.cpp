#include <turbojpeg.h>

#include <bit>
#include <memory>

#include "imagefiles/picture_decoder.h"

namespace sv {

namespace {
struct TjHandleCloser {
    void operator()(void* handle) const { tjDestroy(handle); }
};
}  // namespace

DecodedPicture decodeJpegMemory(const unsigned char* data, std::size_t size, ProgressSink& progress) {
    DecodedPicture out;
    out.failure = Message{MessageId::CannotReadFile, 0, "(JPEG)"};
    if (size == 0 || size > static_cast<std::size_t>(~0ul)) return out;
    std::unique_ptr<void, TjHandleCloser> handle(tjInitDecompress());
    if (!handle) return out;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle.get(), data, static_cast<unsigned long>(size), &width, &height,
                            &subsampling, &colorspace) != 0) {
        return out;
    }
    if (!preparePicture(out, width, height, "(JPEG)")) return out;
    // BGRX in memory is exactly the display word (blue in the low byte) on a little-endian machine.
    static_assert(std::endian::native == std::endian::little);
    const int rc = tjDecompress2(handle.get(), data, static_cast<unsigned long>(size),
                                 reinterpret_cast<unsigned char*>(out.bitmap.data()), width,
                                 width * 4, height, TJPF_BGRX, TJFLAG_ACCURATEDCT);
    // A warning (e.g. a truncated file that libjpeg pads with grey) still yields a picture, as
    // other viewers show it; a fatal error gives none.
    if (rc != 0 && tjGetErrorCode(handle.get()) == TJERR_FATAL) {
        out.pixels.release();
        out.bitmap = DisplayBitmap();
        return out;
    }
    floatsFromBitmap(out.bitmap, out.pixels, progress);
    out.ok = true;
    return out;
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
