#include <climits>
#include <cmath>
#include <new>

#include "image/parallel_rows.h"
#include "imagefiles/picture_decoder.h"
#include "imagefiles/tiff_reader.h"

namespace sv {

namespace {

// The gamma correction offered for 16/32-bit TIFFs, which usually hold linear HDR values.
void applyTiffGamma(FloatImage& pixels) {
    parallelRows(0, pixels.height(), [&](int y) {
        float* row = pixels.row(y);
        for (std::size_t i = 0; i < pixels.rowSamples(); ++i) {
            row[i] = static_cast<float>(std::pow(0.04 * static_cast<double>(row[i]), 0.4));
        }
    });
}

}  // namespace

DecodedPicture decodeTiffMemory(const unsigned char* data, std::size_t size, const std::string& name,
                                const DecodeHooks& hooks, ProgressSink& progress) {
    DecodedPicture out;
    out.failure = Message{MessageId::CannotReadFile, 0, name};
    const TiffProbe probe = probeTiffMemory(data, size);
    // Without a usable size there is no picture to open (and no question worth asking).
    if (probe.width == 0 || probe.height == 0 || probe.width > INT_MAX || probe.height > INT_MAX) return out;

    // Any predictor leaves the rows undecoded, so say so for every one, not only for 2.
    if (probe.predictor != 0 && probe.predictor != 1) notifyUser(hooks, Message{MessageId::TiffPredictor});
    const bool gamma = (probe.bitsPerSample == 16 || probe.bitsPerSample == 32) && chooseGammaCorrection(hooks);

    if (!preparePicture(out, static_cast<int>(probe.width), static_cast<int>(probe.height), name)) return out;
    int code = 0;
    try {
        code = readTiffMemory(data, size, out.pixels, out.bitmap, progress);
    } catch (const std::bad_alloc&) {
        out.pixels.release();
        out.bitmap = DisplayBitmap();
        out.failure = Message{MessageId::NotEnoughMemory, 0, name};
        out.outOfMemory = true;
        return out;
    }
    if (code == kTiffCompressionNotAccepted) {
        notifyUser(hooks, Message{MessageId::TiffCompression});
    } else if (code != 0) {
        notifyUser(hooks, Message{MessageId::TiffError, code});
    }
    // The open goes on whatever the reader said: the exposure holds what it left.
    out.readerError = code != 0;
    if (gamma) applyTiffGamma(out.pixels);
    out.ok = true;
    return out;
}

DecodedPicture decodeTiffPicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress) {
    std::string contents;
    if (!readWholeFile(path, contents)) {
        DecodedPicture out;
        out.failure = Message{MessageId::CannotReadFile, 0, fileNameOf(path)};
        return out;
    }
    return decodeTiffMemory(reinterpret_cast<const unsigned char*>(contents.data()), contents.size(),
                            fileNameOf(path), hooks, progress);
}

}  // namespace sv
