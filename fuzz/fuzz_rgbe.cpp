// libFuzzer target: the Radiance probe, reader and normalisation.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"
#include "imagefiles/rgbe_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sv::RgbeProbe probe = sv::probeRgbeMemory(data, size);
    if (probe.width < 0 || probe.height < 0 ||
        !sv::fuzz::fits(static_cast<std::uint64_t>(probe.width), static_cast<std::uint64_t>(probe.height))) {
        return 0;
    }
    sv::NullProgress progress;
    const sv::DecodedPicture picture = sv::decodeRgbeMemory(data, size, "fuzz.hdr", sv::fuzz::hooksFor(data, size), progress);
    sv::fuzz::checkPicture(picture);
    return 0;
}
