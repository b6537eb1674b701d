// Rebuilding the tone curve table (every mouse move of a drag), beside the direct evaluation.
#include <benchmark/benchmark.h>

#include "tone/tone_curve.h"
#include "tone/tone_reference.h"

namespace {

using namespace sv;

CurvePoints sevenPoints() {
    CurvePoints P{};
    P[0] = {-1, -1};
    const int xs[] = {20, 45, 80, 101, 130, 160, 190};
    const int ys[] = {35, 40, 95, 120, 128, 170, 185};
    for (int p = 1; p <= 7; ++p) P[p] = {xs[p - 1], ys[p - 1]};
    P[8] = {199, 199};
    return P;
}

void BM_CurveRebuildSmooth7(benchmark::State& state) {
    const CurvePoints P = sevenPoints();
    std::vector<float> table(kCurveLevels);
    for (auto _ : state) {
        sampleCurve(P, 7, CurveMode::Smooth, 163.84f, table.data());
        benchmark::ClobberMemory();
    }
}

// A drag step as the window runs it: move, rebuild, draw the box picture.
void BM_CurveDragStepSmooth7(benchmark::State& state) {
    ToneCurve curve;
    std::string reason;
    curve.setMovablePoints({{20, 35}, {45, 40}, {80, 95}, {101, 120}, {130, 128}, {160, 170}, {190, 185}}, reason);
    curve.mouseDown(101, 199 - 120);
    int y = 60;
    for (auto _ : state) {
        curve.mouseMove(101, y);
        y = y == 60 ? 90 : 60;
        benchmark::DoNotOptimize(drawCurveBox(curve).data());
    }
}

void BM_CurveRebuildLinear7(benchmark::State& state) {
    const CurvePoints P = sevenPoints();
    std::vector<float> table(kCurveLevels);
    for (auto _ : state) {
        sampleCurve(P, 7, CurveMode::Linear, 163.84f, table.data());
        benchmark::ClobberMemory();
    }
}

void BM_CurveSmooth7Direct(benchmark::State& state) {
    const CurvePoints P = sevenPoints();
    for (auto _ : state) {
        auto table = reference::referenceSample(P, 7, CurveMode::Smooth, 163.84f);
        benchmark::DoNotOptimize(table.data());
    }
}

}  // namespace

BENCHMARK(BM_CurveRebuildSmooth7)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurveDragStepSmooth7)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurveRebuildLinear7)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurveSmooth7Direct)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
