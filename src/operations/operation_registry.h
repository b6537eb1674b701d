#pragma once
// Every operation that makes or changes the processed picture, described once: its name, its
// parameters, how its params struct comes from values by key, and how it runs on a region. The
// window's Preview and Apply jobs, the command line's operators and recipes all go through here.
//
// Adding an operation: its params struct, descriptors, a params-from-values function and the
// operation itself in its own files; an OperationId and one line in the registry's table; its
// captions in the language tables.

#include <any>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "image/parameters.h"
#include "image/progress.h"
#include "image/region.h"
#include "operations/operation_id.h"
#include "stack/project.h"
#include "tone/exposure_fusion.h"
#include "tone/local_contrast.h"
#include "tone/render.h"

namespace sv {

// What the fusion reads and keeps: the exposures are not among the project's pictures.
struct FusionInput {
    explicit FusionInput(FusionSource& source, FusionPreviewCache* cache = nullptr, std::string bracketKey = {})
        : source(source), cache(cache), bracketKey(std::move(bracketKey)) {}
    FusionSource& source;                 // the files again (ghost-corrected while ghost removal is on)
    FusionPreviewCache* cache = nullptr;  // kept between runs (the window's); none: fused afresh
    std::string bracketKey;               // names the bracket for the cache (fusionBracketKey)
    FusionOutcome outcome;                // how the last run ended; the levels run only after a fusion
};

// What a run works on.
struct OperationTarget {
    Project& project;
    RenderHistogram* histogram = nullptr;  // render-like: receives the region's histogram when given
    // The render with local contrast: the model of the whole stack, kept here between runs and
    // built again when it was made for another stack or radius. None: built for this run.
    std::shared_ptr<const LocalContrastModel>* localContrastModel = nullptr;
    FusionInput* fusion = nullptr;  // the fusion's exposures (required by it)
};

// An operation's own params struct (GaussianBlurParams, RenderParams, Rgb, ...).
using OperationParams = std::any;

// Settings an operation takes as one group, switched on when given (the render's local contrast):
// the command line's --name key=POS,... and a recipe's group of values by key.
struct OptionGroup {
    std::string_view name;     // "local-contrast"
    std::string_view summary;  // the command line's help
    ParameterList parameters;
    // Switches the group on in the operation's params with these values (a key left out: its default).
    void (*apply)(OperationParams& params, const ParameterValues& values);
};

struct Operation {
    OperationId id;
    std::string_view name;     // "blur": the command line's --blur, a recipe's operation
    std::string_view summary;  // "Gaussian blur": the command line's help
    OperationKind kind;
    ParameterList parameters;
    // The params struct from values by key; a key left out takes its default. Settings that are
    // not its own positions (the colour tools' samples and targets, the render's curve, the white
    // and black points after a fusion) are left at their defaults for the caller to fill in.
    OperationParams (*paramsFrom)(const ParameterValues& values);
    // Runs on the region (clipped to the picture). A filter-like run writes N and C; whether C goes
    // back into P (an Apply) is the caller's business.
    void (*run)(const OperationTarget& target, const Region& region, const OperationParams& params,
                ProgressSink& progress);
    std::span<const OptionGroup> options{};
};

// The fusion's params: its weights, then the render's white and black points on the fused samples.
struct FusionOperationParams {
    FusionParams weights;
    int whitePosition = 255;
    int blackPosition = 0;
};

// Whether a kept local contrast model serves the project's stack at this radius; otherwise a
// render with local contrast builds one first (one more pass of the stack's rows).
bool localContrastModelFits(const LocalContrastModel* model, const Project& project, int radiusPosition);

// In the order of OperationId.
std::span<const Operation> operationRegistry();
const Operation& operation(OperationId id);
const Operation* findOperation(std::string_view name);
const OptionGroup* findOption(const Operation& op, std::string_view name);

}  // namespace sv
