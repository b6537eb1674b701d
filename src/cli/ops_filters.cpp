#include <string>

#include "cli/cli.h"
#include "filters/bilateral_filter.h"
#include "filters/gaussian_blur.h"
#include "filters/median_filter.h"
#include "filters/sharpen.h"
#include "tone/colour_balance.h"

namespace sv::cli {

namespace {

int keyValue(const std::map<std::string, std::string>& values, const std::string& key, int fallback, int low,
             int high, const std::string& what) {
    const auto it = values.find(key);
    if (it == values.end()) return fallback;
    return parseIntInRange(it->second, low, high, what + " " + key);
}

// Every filter and balance is an Apply on the whole picture: P via N into C, then C back into P.
template <typename Run>
void applyWhole(CliContext& context, Run&& run) {
    context.ensureProcessed();
    Project& project = context.project;
    const Region whole{0, project.imageWidth, 0, project.imageHeight};
    run(project.processedBuffer, project.newImageBuffer, project.processedCopy, whole);
    applyFilterOutput(project.processedBuffer, project.processedCopy);
    endProgress(context.progress, project.imageHeight);
}

void blurOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const auto kv = parseKeyValues(value, {"sigma", "opacity"}, "--blur");
    const GaussianBlurParams params{keyValue(kv, "sigma", 10, 1, 80, "--blur"),
                                    keyValue(kv, "opacity", 100, 1, 100, "--blur")};
    applyWhole(context, [&](FloatImage& P, FloatImage& N, FloatImage& C, const Region& r) {
        gaussianBlur(FilterBuffers{P, N, C}, r, params, context.progress);
    });
}

void sharpenOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const auto kv = parseKeyValues(value, {"amount", "sigma"}, "--sharpen");
    const SharpenParams params{keyValue(kv, "amount", 100, 10, 200, "--sharpen"),
                               keyValue(kv, "sigma", 10, 1, 50, "--sharpen")};
    applyWhole(context, [&](FloatImage& P, FloatImage& N, FloatImage& C, const Region& r) {
        sharpen(FilterBuffers{P, N, C}, r, params, context.progress);
    });
}

void medianOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const auto kv = parseKeyValues(value, {"shape", "size", "threshold", "opacity"}, "--median");
    MedianParams params;
    if (const auto it = kv.find("shape"); it != kv.end()) {
        const std::string& s = it->second;
        if (s == "hbar") params.shape = MedianShape::HorizontalBar;
        else if (s == "vbar") params.shape = MedianShape::VerticalBar;
        else if (s == "plus") params.shape = MedianShape::Plus;
        else if (s == "box") params.shape = MedianShape::Box;
        else throw CliError(kUsage, "--median shape must be hbar, vbar, plus or box, not " + s);
    }
    params.sizePosition = keyValue(kv, "size", 2, 1, 3, "--median");
    params.thresholdPosition = keyValue(kv, "threshold", 80, 0, 100, "--median");
    params.opacityPosition = keyValue(kv, "opacity", 100, 1, 100, "--median");
    applyWhole(context, [&](FloatImage& P, FloatImage& N, FloatImage& C, const Region& r) {
        medianFilter(FilterBuffers{P, N, C}, r, params, context.progress);
    });
}

void bilateralOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const auto kv = parseKeyValues(value, {"sigma", "threshold", "opacity"}, "--bilateral");
    const BilateralParams params{keyValue(kv, "sigma", 10, 1, 80, "--bilateral"),
                                 keyValue(kv, "threshold", 10, 1, 30, "--bilateral"),
                                 keyValue(kv, "opacity", 100, 1, 100, "--bilateral")};
    applyWhole(context, [&](FloatImage& P, FloatImage& N, FloatImage& C, const Region& r) {
        bilateralFilter(FilterBuffers{P, N, C}, r, params, context.progress);
    });
}

int rangeIndex(const std::string& name, const std::string& what) {
    if (name == "shadows") return 0;
    if (name == "midtones") return 1;
    if (name == "highlights") return 2;
    throw CliError(kUsage, what + ": the range must be shadows, midtones or highlights, not '" + name + "'");
}

// X,Y[,RADIUS] at parts[first..]: the eyedropper on processedBuffer.
Rgb sampleAt(CliContext& context, const std::vector<std::string>& parts, std::size_t first, const std::string& what) {
    context.ensureProcessed();
    const Project& project = context.project;
    const int x = parseIntInRange(parts[first], 0, project.imageWidth - 1, what + " X");
    const int y = parseIntInRange(parts[first + 1], 0, project.imageHeight - 1, what + " Y");
    const int radius = parts.size() > first + 2 ? parseIntInRange(parts[first + 2], 0, 4, what + " RADIUS") : 2;
    return takeSample(project.processedBuffer, x, y, radius);
}

void neutralSampleOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const auto parts = splitList(value, ',');
    if (parts.size() != 2 && parts.size() != 3) throw CliError(kUsage, "--neutral-sample takes X,Y[,RADIUS]");
    context.colourSamples[0] = sampleAt(context, parts, 0, "--neutral-sample");
}

void neutralOperator(CliContext& context, const std::string&, const Modifiers&) {
    const Rgb sample = context.colourSamples[0];
    applyWhole(context, [&](FloatImage& P, FloatImage& N, FloatImage& C, const Region& r) {
        neutralPoint(P, N, C, r, sample, context.progress);
    });
}

void balanceSampleOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const auto parts = splitList(value, ',');
    if (parts.size() != 3 && parts.size() != 4) {
        throw CliError(kUsage, "--balance-sample takes shadows|midtones|highlights,X,Y[,RADIUS]");
    }
    const int k = rangeIndex(parts[0], "--balance-sample");
    const Rgb sample = sampleAt(context, parts, 1, "--balance-sample");
    context.colourSamples[static_cast<std::size_t>(k + 1)] = sample;
    context.balanceTicked[static_cast<std::size_t>(k)] = true;
    // As in the window, the target starts as the sampled colour.
    context.balanceTargets[static_cast<std::size_t>(k)] = sampleBytes(sample);
}

void balanceTargetOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const auto parts = splitList(value, ',');
    if (parts.size() != 4) throw CliError(kUsage, "--balance-target takes RANGE,R,G,B");
    const int k = rangeIndex(parts[0], "--balance-target");
    for (int ch = 0; ch < 3; ++ch) {
        context.balanceTargets[static_cast<std::size_t>(k)][static_cast<std::size_t>(ch)] =
            parseIntInRange(parts[static_cast<std::size_t>(ch) + 1], 0, 255, "--balance-target " + std::string("RGB").substr(ch, 1));
    }
}

void balanceOperator(CliContext& context, const std::string&, const Modifiers&) {
    BalanceParams params;
    for (std::size_t k = 0; k < 3; ++k) {
        params.ranges[k].ticked = context.balanceTicked[k];
        params.ranges[k].sample = context.colourSamples[k + 1];
        params.ranges[k].target = context.balanceTargets[k];
    }
    applyWhole(context, [&](FloatImage& P, FloatImage& N, FloatImage& C, const Region& r) {
        sampleTargetBalance(P, N, C, r, params, context.progress);
    });
}

}  // namespace

void registerFilterOperators(std::vector<Operator>& table) {
    table.push_back({"--blur", "sigma=POS,opacity=POS", {}, "Gaussian blur (sigma 1..80, opacity 1..100)", blurOperator});
    table.push_back({"--sharpen", "amount=POS,sigma=POS", {}, "sharpen (amount 10..200, sigma 1..50)", sharpenOperator});
    table.push_back({"--median", "shape=hbar|vbar|plus|box,size=POS,threshold=POS,opacity=POS", {},
                     "median filter (size 1..3, threshold 0..100, opacity 1..100)", medianOperator});
    table.push_back({"--bilateral", "sigma=POS,threshold=POS,opacity=POS", {},
                     "bilateral filter (sigma 1..80, threshold 1..30, opacity 1..100)", bilateralOperator});
    table.push_back({"--neutral-sample", "X,Y[,RADIUS]", {},
                     "sample the neutral colour at picture pixel X,Y (RADIUS 0..4, default 2 = Gauss 5x5)",
                     neutralSampleOperator});
    table.push_back({"--neutral", "", {}, "apply the neutral point (white balance)", neutralOperator});
    table.push_back({"--balance-sample", "RANGE,X,Y[,RADIUS]", {},
                     "sample a range (shadows|midtones|highlights), tick it; its target becomes the sample",
                     balanceSampleOperator});
    table.push_back({"--balance-target", "RANGE,R,G,B", {}, "target colour of a range (0..255 each)",
                     balanceTargetOperator});
    table.push_back({"--balance", "", {}, "apply the sample/target balance", balanceOperator});
}

}  // namespace sv::cli
