// libFuzzer target: the TIFF probe, reader and the whole TIFF opening.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"
#include "imagefiles/tiff_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sv::TiffProbe probe = sv::probeTiffMemory(data, size);
    if (!sv::fuzz::fits(probe.width, probe.height)) return 0;
    sv::NullProgress progress;
    const sv::DecodedPicture picture = sv::decodeTiffMemory(data, size, "fuzz.tif", sv::fuzz::hooksFor(data, size), progress);
    sv::fuzz::checkPicture(picture);
    return 0;
}
