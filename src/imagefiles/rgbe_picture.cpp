#include "imagefiles/picture_decoder.h"

namespace sv {

// Placeholder until the Radiance reader lands: the file is refused cleanly.
DecodedPicture decodeRgbePicture(const std::string& path, const DecodeHooks&, ProgressSink&) {
    DecodedPicture out;
    out.failure = Message{MessageId::UnsupportedFileType, 0, fileNameOf(path)};
    return out;
}

}  // namespace sv
