// Opening a 24-megapixel TIFF (16-bit, Deflate strips as our writer makes them, and uncompressed):
// the reader on one thread and on all cores, beside the memory pass of the same run.
#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <thread>
#include <vector>

#include "bench_support.h"
#include "image/display_bitmap.h"
#include "image/progress.h"
#include "imagefiles/tiff_reader.h"
#include "imagefiles/tiff_writer.h"

namespace {

using namespace sv;

const std::vector<std::uint8_t>& tiffFile(TiffCompressionChoice compression) {
    static const FloatImage picture = bench::photoLikeImage(bench::kWidth, bench::kHeight, 5);
    static NullProgress progress;
    static const std::vector<std::uint8_t> deflate = encodeTiff(picture, 16, TiffCompressionChoice::Deflate, progress).value;
    static const std::vector<std::uint8_t> none = encodeTiff(picture, 16, TiffCompressionChoice::None, progress).value;
    return compression == TiffCompressionChoice::None ? none : deflate;
}

void readBench(benchmark::State& state, TiffCompressionChoice compression) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(state.range(0)));
    const std::vector<std::uint8_t>& file = tiffFile(compression);
    FloatImage pixels(bench::kWidth, bench::kHeight);
    DisplayBitmap bitmap(bench::kWidth, bench::kHeight);
    NullProgress progress;
    readTiffMemory(file.data(), file.size(), pixels, bitmap, progress);  // pages touched outside the timing
    for (auto _ : state) {
        const int code = readTiffMemory(file.data(), file.size(), pixels, bitmap, progress);
        benchmark::DoNotOptimize(code);
    }
    state.counters["threads"] = static_cast<double>(state.range(0));
}

void BM_ReadTiff16Deflate(benchmark::State& state) { readBench(state, TiffCompressionChoice::Deflate); }
void BM_ReadTiff16None(benchmark::State& state) { readBench(state, TiffCompressionChoice::None); }

void BM_MemoryPass(benchmark::State& state) {
    static const FloatImage source = bench::photoLikeImage(bench::kWidth, bench::kHeight, 5);
    FloatImage target(bench::kWidth, bench::kHeight);
    bench::memoryPass(source, target);
    for (auto _ : state) bench::memoryPass(source, target);
}

const int kAllCores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

}  // namespace

BENCHMARK(BM_MemoryPass)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadTiff16Deflate)->Arg(1)->Arg(kAllCores)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_ReadTiff16None)->Arg(1)->Arg(kAllCores)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK_MAIN();
