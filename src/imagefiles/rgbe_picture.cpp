#include <climits>
#include <cmath>
#include <new>

#include "image/parallel_rows.h"
#include "imagefiles/input_scales.h"
#include "imagefiles/picture_decoder.h"
#include "imagefiles/rgbe_reader.h"

namespace sv {

DecodedPicture decodeRgbeMemory(const unsigned char* data, std::size_t size, const std::string& name,
                                const DecodeHooks& hooks, ProgressSink& progress) {
    DecodedPicture out;
    out.failure = Message{MessageId::CannotReadFile, 0, name};
    const RgbeProbe probe = probeRgbeMemory(data, size);
    if (!probe.accepted || probe.width <= 0 || probe.height <= 0 || probe.width > INT_MAX ||
        probe.height > INT_MAX) {
        return out;
    }
    PictureClaim claim;
    claim.name = name;
    claim.width = static_cast<int>(probe.width);
    claim.height = static_cast<int>(probe.height);
    claim.scratchBytes = static_cast<std::uint64_t>(probe.width) * 4;
    claim.fileTooShort = size - probe.dataOffset < rgbeMinimumDataBytes(probe.width, probe.height);
    if (!preparePicture(out, claim, hooks)) return out;
    const RgbeReadResult read = readRgbeMemory(data, size, probe, out.pixels, out.bitmap, progress);
    if (read.unsupportedScanlines) {
        out.pixels.release();
        out.bitmap = DisplayBitmap();
        out.failure = Message{MessageId::CannotReadFile, 0,
                              name + " (flat or old run-length Radiance scanlines are not supported)"};
        return out;
    }
    if (!read.complete) {
        out.incomplete = true;
        out.failure = Message{MessageId::IncompleteFile, 0, name};
    }
    // Normalise so that the brightest sample becomes 10^0.4. An all-black file (M = 0) stays black.
    normaliseHdrSamples(out.pixels, read.largest);
    out.ok = true;
    return out;
}

}  // namespace sv
