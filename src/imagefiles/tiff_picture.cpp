#include "imagefiles/picture_decoder.h"

namespace sv {

// Placeholder until the TIFF reader lands: the file is refused cleanly.
DecodedPicture decodeTiffPicture(const std::string& path, const DecodeHooks&, ProgressSink&) {
    DecodedPicture out;
    out.failure = Message{MessageId::UnsupportedFileType, 0, fileNameOf(path)};
    return out;
}

}  // namespace sv
