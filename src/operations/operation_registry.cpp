#include "operations/operation_registry.h"

#include <array>

#include "filters/bilateral_filter.h"
#include "filters/gaussian_blur.h"
#include "filters/median_filter.h"
#include "filters/sharpen.h"
#include "tone/colour_balance.h"

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
                     }};
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
                     }};
}

void runRender(const OperationTarget& target, const Region& region, const OperationParams& params,
               ProgressSink& progress) {
    Project& p = target.project;
    RenderHistogram unused;
    renderRegion(p.stackBuffer, p.stackMax, region, std::any_cast<const RenderParams&>(params), p.processedBuffer,
                 target.histogram ? *target.histogram : unused, progress);
}

const std::array<Operation, kOperationCount> kRegistry = {
    Operation{OperationId::Render, "render", "render the stack with the tone settings", OperationKind::RenderLike,
              kRenderParameters, [](const ParameterValues& v) -> OperationParams { return renderParams(v); },
              runRender},
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
};

}  // namespace

std::span<const Operation> operationRegistry() { return kRegistry; }

const Operation& operation(OperationId id) { return kRegistry.at(static_cast<std::size_t>(id)); }

const Operation* findOperation(std::string_view name) {
    for (const Operation& op : kRegistry)
        if (op.name == name) return &op;
    return nullptr;
}

}  // namespace sv
