// libFuzzer target: JPEG decoding from memory.
#include <turbojpeg.h>

#include <cstddef>
#include <cstdint>

#include "fuzz_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    const int rc = tjDecompressHeader3(handle, data, static_cast<unsigned long>(size), &width, &height, &subsampling, &colorspace);
    tjDestroy(handle);
    if (rc == 0 && (width < 0 || height < 0 || !sv::fuzz::fits(width, height))) return 0;
    sv::NullProgress progress;
    sv::fuzz::checkPicture(sv::decodeJpegMemory(data, size, progress));
    return 0;
}
