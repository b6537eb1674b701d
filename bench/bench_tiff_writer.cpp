// writeTiff's in-memory file of a 24-megapixel picture at 16 bits with Deflate strips, on one thread
// and on all cores, beside the direct one-strip-buffer writer and the memory pass of the same run.
#include <benchmark/benchmark.h>
#include <tbb/global_control.h>
#include <zlib.h>

#include <thread>
#include <vector>

#include "bench_support.h"
#include "image/progress.h"
#include "imagefiles/tiff_writer.h"

namespace {

using namespace sv;

const FloatImage& picture() {
    static const FloatImage image = bench::photoLikeImage(bench::kWidth, bench::kHeight, 3, 0.0f, 1.05f);
    return image;
}

// The strips as the writer's description builds them: one strip buffer filled row by row and
// compressed when full, on one thread (header and tables left out: they are a few bytes).
std::size_t directDeflateStrips(const FloatImage& src) {
    const int W = src.width(), H = src.height();
    const std::size_t bytesPerRow = static_cast<std::size_t>(W) * 6;
    const std::size_t rps = std::max<std::size_t>(1, 500000 / bytesPerRow);
    std::vector<std::uint8_t> strip(rps * bytesPerRow), out(compressBound(static_cast<uLong>(strip.size())));
    std::size_t total = 0;
    auto emit = [&](std::size_t rows) {
        uLongf size = static_cast<uLongf>(out.size());
        compress(out.data(), &size, strip.data(), static_cast<uLong>(rows * bytesPerRow));
        total += size;
    };
    for (int y = 0; y < H; ++y) {
        std::uint8_t* row = strip.data() + (static_cast<std::size_t>(y) % rps) * bytesPerRow;
        const float* s = src.row(y);
        for (int i = 0; i < W * 3; ++i) {
            float v = s[i];
            if (v > 1.0f) v = 1.0f;
            const float t = v * 65280.0f;
            const unsigned q = t > 0.0f ? static_cast<unsigned>(t) : 0u;
            row[2 * i] = static_cast<std::uint8_t>(q);
            row[2 * i + 1] = static_cast<std::uint8_t>(q >> 8);
        }
        if (static_cast<std::size_t>(y) % rps == rps - 1) emit(rps);
    }
    if (H % rps) emit(H % rps);
    return total;
}

void BM_WriteTiff16Deflate(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    NullProgress progress;
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::vector<std::uint8_t> file = encodeTiff(picture(), 16, TiffCompressionChoice::Deflate, progress).value;
        bytes = file.size();
        benchmark::DoNotOptimize(file.data());
    }
    state.counters["threads"] = threads;
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_WriteTiff16None(benchmark::State& state) {
    NullProgress progress;
    for (auto _ : state) {
        std::vector<std::uint8_t> file = encodeTiff(picture(), 16, TiffCompressionChoice::None, progress).value;
        benchmark::DoNotOptimize(file.data());
    }
}

void BM_DirectWriter16Deflate(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(directDeflateStrips(picture()));
}

void BM_MemoryPass(benchmark::State& state) {
    FloatImage target(bench::kWidth, bench::kHeight);
    bench::memoryPass(picture(), target);  // first touch of the pages outside the timing
    for (auto _ : state) bench::memoryPass(picture(), target);
}

const int kAllCores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

}  // namespace

BENCHMARK(BM_MemoryPass)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DirectWriter16Deflate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_WriteTiff16Deflate)->Arg(1)->Arg(kAllCores)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_WriteTiff16None)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
