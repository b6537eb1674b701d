// libFuzzer target: the Radiance probe, reader and normalisation, as an opening admits them.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"
#include "imagefiles/rgbe_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sv::NullProgress progress;
    const sv::DecodedPicture picture = sv::decodeRgbeMemory(data, size, "fuzz.hdr", sv::fuzz::hooksFor(data, size), progress);
    sv::fuzz::checkPicture(picture);
    return 0;
}
