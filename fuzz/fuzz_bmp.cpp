// libFuzzer target: BMP decoding from memory.
#include <stb_image.h>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) return 0;
    int width = 0, height = 0, channels = 0;
    if (stbi_info_from_memory(data, static_cast<int>(size), &width, &height, &channels) &&
        (width < 0 || height < 0 || !sv::fuzz::fits(width, height))) {
        return 0;
    }
    sv::NullProgress progress;
    sv::fuzz::checkPicture(sv::decodeBmpMemory(data, size, progress));
    return 0;
}
