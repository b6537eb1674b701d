#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "image/progress.h"
#include "imagefiles/picture_decoder.h"

namespace sv {

// The lower-cased extensions opened as camera raw: the usual ones of every maker LibRaw reads.
const std::vector<std::string>& rawExtensions();
// `extension` with its dot, lower-cased (".cr2").
bool isRawExtension(std::string_view extension);

// Opens a camera raw file held in memory through LibRaw: demosaiced with the camera's white
// balance into linear 16-bit sRGB (no automatic brightening), then the road of a 48-bit TIFF:
// v / 65536 and the gamma question. The memory LibRaw will hold is admitted with the picture
// before anything is unpacked. A file LibRaw cannot read is refused with a message that names the
// camera when the file says which; one whose data end early is incomplete. The exposure's
// values come from LibRaw (shutter, aperture, ISO, time) and the bias from the file's EXIF.
DecodedPicture decodeRawMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress);

}  // namespace sv
