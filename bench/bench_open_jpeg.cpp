// Opening a 24-megapixel JPEG (decode, floats, display bitmap) beside the bare libjpeg-turbo decode.
#include <turbojpeg.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "imagefiles/picture_decoder.h"

namespace {

std::string& jpegBytes() {
    static std::string bytes = [] {
        const int w = sv::bench::kWidth, h = sv::bench::kHeight;
        std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                unsigned char* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
                p[0] = static_cast<unsigned char>((x / 7 + y / 5) & 255);
                p[1] = static_cast<unsigned char>((x * y / 97) & 255);
                p[2] = static_cast<unsigned char>(((x ^ y) / 3) & 255);
            }
        }
        tjhandle h2 = tjInitCompress();
        unsigned char* out = nullptr;
        unsigned long size = 0;
        tjCompress2(h2, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0);
        std::string s(reinterpret_cast<char*>(out), size);
        tjFree(out);
        tjDestroy(h2);
        return s;
    }();
    return bytes;
}

void BM_BareTurboJpegDecode(benchmark::State& state) {
    const std::string& bytes = jpegBytes();
    std::vector<unsigned char> rgbx(static_cast<std::size_t>(sv::bench::kWidth) * sv::bench::kHeight * 4);
    tjhandle h = tjInitDecompress();
    for (auto _ : state) {
        tjDecompress2(h, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), rgbx.data(),
                      sv::bench::kWidth, 0, sv::bench::kHeight, TJPF_BGRX, TJFLAG_ACCURATEDCT);
        benchmark::ClobberMemory();
    }
    tjDestroy(h);
}

void BM_OpenJpeg(benchmark::State& state) {
    const std::string& bytes = jpegBytes();
    sv::NullProgress progress;
    for (auto _ : state) {
        sv::DecodedPicture pic =
            sv::decodeJpegMemory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), progress);
        benchmark::DoNotOptimize(pic.pixels.data());
    }
}

BENCHMARK(BM_BareTurboJpegDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenJpeg)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
