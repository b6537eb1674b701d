// libFuzzer target: JPEG decoding from memory, as an opening admits it.
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sv::NullProgress progress;
    sv::fuzz::checkPicture(sv::decodeJpegMemory(data, size, "fuzz.jpg", sv::fuzz::hooksFor(data, size), progress));
    return 0;
}
