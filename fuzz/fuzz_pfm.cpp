// libFuzzer target: the PFM header parser and reader, as an opening admits it.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"
#include "imagefiles/pfm_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sv::NullProgress progress;
    const sv::DecodedPicture picture =
        sv::decodePfmMemory(data, size, "fuzz.pfm", sv::fuzz::hooksFor(data, size), progress);
    sv::fuzz::checkPicture(picture);
    return 0;
}
