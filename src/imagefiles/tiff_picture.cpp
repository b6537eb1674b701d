#include <climits>
#include <cmath>
#include <new>

#include "image/parallel_rows.h"
#include "imagefiles/input_scales.h"
#include "imagefiles/picture_decoder.h"
#include "imagefiles/tiff_reader.h"

namespace sv {

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

    PictureClaim claim;
    claim.name = name;
    claim.width = static_cast<int>(probe.width);
    claim.height = static_cast<int>(probe.height);
    // One strip buffer for each strip decoded at a time.
    claim.scratchBytes = probe.stripBufferBytes * tiffStripWorkers(probe.stripCount);
    claim.fileTooShort = probe.stripsMissing;
    if (!preparePicture(out, claim, hooks)) return out;
    TiffReadOutcome read;
    try {
        read = readTiffStrips(data, size, out.pixels, out.bitmap, progress);
    } catch (const std::bad_alloc&) {
        refuseOutOfMemory(out, name);
        return out;
    }
    const int code = read.code;
    if (read.incomplete && code == kTiffDamagedStrips) {
        // Strips that are not in the file: said once, as an incomplete picture, not as error 8.
        out.incomplete = true;
        out.failure = Message{MessageId::IncompleteFile, 0, name};
    } else if (code == kTiffCompressionNotAccepted) {
        notifyUser(hooks, Message{MessageId::TiffCompression});
    } else if (code != 0) {
        notifyUser(hooks, Message{MessageId::TiffError, code});
    }
    // The picture holds what the reader left; whoever opens it decides. Rows left undecoded
    // (a predictor) make it as unusable as an error does.
    out.readerError = code != 0 || (probe.predictor != 0 && probe.predictor != 1);
    // A picture that will not be used is left as the reader left it.
    if (gamma && !out.readerError && !out.incomplete) applyGammaCorrection(out.pixels);
    out.ok = true;
    return out;
}

}  // namespace sv
