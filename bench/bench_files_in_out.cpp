// Opening a 24-megapixel camera raw file and a 24-megapixel 16-bit PNG beside the bare library
// decode (LibRaw with the same settings; libpng to 16-bit rows), and saving the merged HDR of that
// size as OpenEXR (float and half) beside the plain memory pass.
#include <libraw/libraw.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "imagefiles/dng_builder.h"
#include "imagefiles/hdr_save.h"
#include "imagefiles/png_reader.h"
#include "imagefiles/png_writer.h"
#include "imagefiles/raw_reader.h"

namespace {

const std::vector<std::uint8_t>& rawBytes() {
    static const std::vector<std::uint8_t> bytes = [] {
        sv::test::DngSpec spec;
        spec.width = sv::bench::kWidth;
        spec.height = sv::bench::kHeight;
        spec.cfa.resize(static_cast<std::size_t>(spec.width) * spec.height);
        for (int y = 0; y < spec.height; ++y)
            for (int x = 0; x < spec.width; ++x)
                spec.cfa[static_cast<std::size_t>(y) * spec.width + x] =
                    static_cast<std::uint16_t>(2000 + ((x * 13 + y * 7) % 4000) * 12 + (x ^ y) % 97);
        return sv::test::buildDng(spec);
    }();
    return bytes;
}

std::string tempPath(const char* name) { return "/tmp/sv_bench_" + std::to_string(getpid()) + "_" + name; }

const std::string& pngBytes() {
    static const std::string bytes = [] {
        const sv::FloatImage picture = sv::bench::photoLikeImage(sv::bench::kWidth, sv::bench::kHeight, 5);
        const std::string path = tempPath("in.png");
        sv::NullProgress progress;
        sv::WriteError error;
        sv::writePng16(picture, path, nullptr, progress, error);
        std::string contents;
        sv::readWholeFile(path, contents);
        std::remove(path.c_str());
        return contents;
    }();
    return bytes;
}

void BM_BareLibRawDecode(benchmark::State& state) {
    const auto& bytes = rawBytes();
    for (auto _ : state) {
        LibRaw raw(LIBRAW_OPTIONS_NONE);
        libraw_output_params_t& params = raw.imgdata.params;
        params.output_bps = 16;
        params.gamm[0] = params.gamm[1] = 1.0;
        params.no_auto_bright = 1;
        params.output_color = 1;
        params.use_camera_wb = 1;
        raw.open_buffer(const_cast<std::uint8_t*>(bytes.data()), bytes.size());
        raw.unpack();
        raw.dcraw_process();
        int rc = 0;
        libraw_processed_image_t* image = raw.dcraw_make_mem_image(&rc);
        benchmark::DoNotOptimize(image);
        LibRaw::dcraw_clear_mem(image);
    }
}

void BM_OpenRaw(benchmark::State& state) {
    const auto& bytes = rawBytes();
    sv::NullProgress progress;
    sv::DecodeHooks hooks;
    hooks.askGamma = [] { return false; };
    for (auto _ : state) {
        sv::DecodedPicture pic = sv::decodeRawMemory(bytes.data(), bytes.size(), "bench.dng", hooks, progress);
        if (!pic.ok) state.SkipWithError("the raw file did not open");
        benchmark::DoNotOptimize(pic.pixels.data());
    }
}

struct PngSource {
    const std::string* bytes;
    std::size_t at;
};

void BM_BareLibpngDecode16(benchmark::State& state) {
    const std::string& bytes = pngBytes();
    std::vector<png_byte> pixels(static_cast<std::size_t>(sv::bench::kWidth) * sv::bench::kHeight * 6);
    std::vector<png_bytep> rows(sv::bench::kHeight);
    for (int y = 0; y < sv::bench::kHeight; ++y) rows[y] = pixels.data() + static_cast<std::size_t>(y) * sv::bench::kWidth * 6;
    for (auto _ : state) {
        png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        PngSource source{&bytes, 0};
        png_set_read_fn(png, &source, [](png_structp p, png_bytep out, png_size_t n) {
            auto* s = static_cast<PngSource*>(png_get_io_ptr(p));
            std::memcpy(out, s->bytes->data() + s->at, n);
            s->at += n;
        });
        png_read_info(png, info);
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        png_destroy_read_struct(&png, &info, nullptr);
        benchmark::ClobberMemory();
    }
}

void BM_OpenPng16(benchmark::State& state) {
    const std::string& bytes = pngBytes();
    sv::NullProgress progress;
    sv::DecodeHooks hooks;
    for (auto _ : state) {
        sv::DecodedPicture pic = sv::decodePngMemory(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                     bytes.size(), "bench.png", hooks, progress);
        if (!pic.ok) state.SkipWithError("the PNG did not open");
        benchmark::DoNotOptimize(pic.pixels.data());
    }
}

void BM_MemoryPass(benchmark::State& state) {
    const sv::FloatImage source = sv::bench::photoLikeImage(sv::bench::kWidth, sv::bench::kHeight, 3);
    sv::FloatImage target(source.width(), source.height());
    for (auto _ : state) sv::bench::memoryPass(source, target);
}

void BM_SaveExr(benchmark::State& state) {
    const bool half = state.range(0) != 0;
    const sv::FloatImage stack = sv::bench::photoLikeImage(sv::bench::kWidth, sv::bench::kHeight, 7, 0.0f, 40.0f);
    const std::string path = tempPath(half ? "half.exr" : "float.exr");
    sv::NullProgress progress;
    sv::HdrSaveOptions options;
    options.exrHalf = half;
    for (auto _ : state) {
        sv::WriteError error;
        if (!sv::saveHdr(path, stack, 40.0f, options, progress, error)) state.SkipWithError("the save failed");
    }
    std::remove(path.c_str());
}

BENCHMARK(BM_BareLibRawDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenRaw)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BareLibpngDecode16)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenPng16)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_MemoryPass)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SaveExr)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
