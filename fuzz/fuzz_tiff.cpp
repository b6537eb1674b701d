// libFuzzer target: the TIFF probe, reader and the whole TIFF opening, as an opening admits it.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"
#include "imagefiles/tiff_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sv::NullProgress progress;
    const sv::DecodedPicture picture = sv::decodeTiffMemory(data, size, "fuzz.tif", sv::fuzz::hooksFor(data, size), progress);
    sv::fuzz::checkPicture(picture);
    return 0;
}
