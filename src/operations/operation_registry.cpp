#include "operations/operation_registry.h"

#include <array>
#include <stdexcept>

#include "filters/bilateral_filter.h"
#include "filters/gaussian_blur.h"
#include "filters/median_filter.h"
#include "filters/sharpen.h"
#include "tone/colour_balance.h"
#include "tone/fused_levels.h"

namespace sv {

namespace {

FilterBuffers filterBuffers(Project& p) { return FilterBuffers{p.processedBuffer, p.newImageBuffer, p.processedCopy}; }

// A filter of the P/N/C framework whose params come from its descriptors alone.
template <class Params, Params (*from)(const ParameterValues&),
          void (*filter)(const FilterBuffers&, const Region&, const Params&, ProgressSink&)>
constexpr Operation filterOperation(OperationId id, std::string_view name, std::string_view summary,
                                    ParameterList parameters) {
    return Operation{id, name, summary, OperationKind::FilterLike, parameters,
                     [](const ParameterValues& values) -> OperationParams { return from(values); },
                     [](const OperationTarget& target, const Region& region, const OperationParams& params,
                        ProgressSink& progress) {
                         filter(filterBuffers(target.project), region, std::any_cast<const Params&>(params), progress);
                     },
                     {}};
}

// A colour tool: its params are its samples and targets, taken from the picture, not positions.
template <class Params, void (*tool)(const FloatImage&, FloatImage&, FloatImage&, const Region&, const Params&,
                                     ProgressSink&)>
constexpr Operation colourOperation(OperationId id, std::string_view name, std::string_view summary) {
    return Operation{id, name, summary, OperationKind::FilterLike, {},
                     [](const ParameterValues&) -> OperationParams { return Params{}; },
                     [](const OperationTarget& target, const Region& region, const OperationParams& params,
                        ProgressSink& progress) {
                         Project& p = target.project;
                         tool(p.processedBuffer, p.newImageBuffer, p.processedCopy, region,
                              std::any_cast<const Params&>(params), progress);
                     },
                     {}};
}

void runRender(const OperationTarget& target, const Region& region, const OperationParams& params,
               ProgressSink& progress) {
    Project& p = target.project;
    const RenderParams& render = std::any_cast<const RenderParams&>(params);
    RenderHistogram unused;
    RenderHistogram& histogram = target.histogram ? *target.histogram : unused;
    if (!render.localContrast.enabled) {
        renderRegion(p.stackBuffer, p.stackMax, region, render, p.processedBuffer, histogram, progress);
        return;
    }
    // The model depends on the whole stack: built once (one pass of rows on the gauge) and kept.
    std::shared_ptr<const LocalContrastModel> own;
    std::shared_ptr<const LocalContrastModel>& model = target.localContrastModel ? *target.localContrastModel : own;
    const int radius = render.localContrast.radiusPosition;
    if (!localContrastModelFits(model.get(), p, radius)) {
        model = buildLocalContrastModel(p.stackBuffer, p.stackMax, radius, progress);
    }
    renderRegion(p.stackBuffer, p.stackMax, region, render, model, p.processedBuffer, histogram, progress);
}

void applyLocalContrast(OperationParams& params, const ParameterValues& values) {
    std::any_cast<RenderParams&>(params).localContrast = localContrastParams(values);
}

const OptionGroup kRenderOptions[] = {
    {"local-contrast", "local contrast before the render", kLocalContrastParameters, applyLocalContrast},
};

// The whole picture fused into P, or a region of it (through the cache's kept preview when there
// is one); then the white and black points and the histogram as on a render.
void runFusion(const OperationTarget& target, const Region& region, const OperationParams& params,
               ProgressSink& progress) {
    if (!target.fusion) throw std::invalid_argument("the fusion runs on its exposures");
    Project& p = target.project;
    FusionInput& in = *target.fusion;
    const FusionOperationParams& fusion = std::any_cast<const FusionOperationParams&>(params);
    const bool whole = region == Region{0, p.imageWidth, 0, p.imageHeight};
    const Region r = clippedRegion(region, p.imageWidth, p.imageHeight);
    RenderHistogram unused;
    RenderHistogram& histogram = target.histogram ? *target.histogram : unused;
    if (whole) {
        in.outcome = in.cache ? in.cache->fuseWhole(in.source, fusion.weights, in.bracketKey, p.processedBuffer, progress)
                              : fusePicture(in.source, fusion.weights, p.processedBuffer, progress);
        if (!in.outcome.ok()) return;
        fusedLevels(p.processedBuffer, 0, 0, r, fusion.whitePosition, fusion.blackPosition, p.processedBuffer,
                    histogram, progress);
        return;
    }
    if (in.cache) {
        in.outcome = in.cache->update(in.source, fusion.weights, r, in.bracketKey, progress);
        if (!in.outcome.ok()) return;
        fusedLevels(in.cache->fused(), in.cache->region().x, in.cache->region().y, r, fusion.whitePosition,
                    fusion.blackPosition, p.processedBuffer, histogram, progress);
        return;
    }
    FloatImage crop;
    in.outcome = fuseRegion(in.source, fusion.weights, r, crop, progress);
    if (!in.outcome.ok()) return;
    fusedLevels(crop, r.x, r.y, r, fusion.whitePosition, fusion.blackPosition, p.processedBuffer, histogram, progress);
}

const std::array<Operation, kOperationCount> kRegistry = {
    Operation{OperationId::Render, "render", "render the stack with the tone settings", OperationKind::RenderLike,
              kRenderParameters, [](const ParameterValues& v) -> OperationParams { return renderParams(v); },
              runRender, kRenderOptions},
    filterOperation<GaussianBlurParams, gaussianBlurParams, gaussianBlur>(OperationId::Blur, "blur", "Gaussian blur",
                                                                          kGaussianBlurParameters),
    filterOperation<SharpenParams, sharpenParams, sharpen>(OperationId::Sharpen, "sharpen", "sharpen",
                                                           kSharpenParameters),
    filterOperation<MedianParams, medianParams, medianFilter>(OperationId::Median, "median", "median filter",
                                                              kMedianParameters),
    filterOperation<BilateralParams, bilateralParams, bilateralFilter>(OperationId::Bilateral, "bilateral",
                                                                       "bilateral filter", kBilateralParameters),
    colourOperation<Rgb, neutralPoint>(OperationId::Neutral, "neutral", "apply the neutral point (white balance)"),
    colourOperation<BalanceParams, sampleTargetBalance>(OperationId::Balance, "balance",
                                                        "apply the sample/target balance"),
    Operation{OperationId::Fusion, "fuse", "fuse the exposures", OperationKind::RenderLike, kFusionParameters,
              [](const ParameterValues& v) -> OperationParams { return FusionOperationParams{fusionParams(v)}; },
              runFusion, {}},
};

}  // namespace

bool localContrastModelFits(const LocalContrastModel* model, const Project& project, int radiusPosition) {
    return model && model->builtFor(project.stackBuffer, project.stackMax, radiusPosition);
}

std::span<const Operation> operationRegistry() { return kRegistry; }

const Operation& operation(OperationId id) { return kRegistry.at(static_cast<std::size_t>(id)); }

const OptionGroup* findOption(const Operation& op, std::string_view name) {
    for (const OptionGroup& group : op.options)
        if (group.name == name) return &group;
    return nullptr;
}

const Operation* findOperation(std::string_view name) {
    for (const Operation& op : kRegistry)
        if (op.name == name) return &op;
    return nullptr;
}

}  // namespace sv
