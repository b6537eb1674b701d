// libFuzzer target: the PNG reader (libpng under our checks), as an opening admits it.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"
#include "imagefiles/png_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sv::NullProgress progress;
    const sv::DecodedPicture picture =
        sv::decodePngMemory(data, size, "fuzz.png", sv::fuzz::hooksFor(data, size), progress);
    sv::fuzz::checkPicture(picture);
    return 0;
}
