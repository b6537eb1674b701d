#pragma once
// Every operation that makes or changes the processed picture, described once: its name, its
// parameters, how its params struct comes from values by key, and how it runs on a region. The
// window's Preview and Apply jobs, the command line's operators and recipes all go through here.
//
// Adding an operation: its params struct, descriptors, a params-from-values function and the
// operation itself in its own files; an OperationId and one line in the registry's table; its
// captions in the language tables.

#include <any>
#include <span>
#include <string_view>

#include "image/parameters.h"
#include "image/progress.h"
#include "image/region.h"
#include "operations/operation_id.h"
#include "stack/project.h"
#include "tone/render.h"

namespace sv {

// What a run works on.
struct OperationTarget {
    Project& project;
    RenderHistogram* histogram = nullptr;  // render-like: receives the region's histogram when given
};

// An operation's own params struct (GaussianBlurParams, RenderParams, Rgb, ...).
using OperationParams = std::any;

struct Operation {
    OperationId id;
    std::string_view name;     // "blur": the command line's --blur, a recipe's operation
    std::string_view summary;  // "Gaussian blur": the command line's help
    OperationKind kind;
    ParameterList parameters;
    // The params struct from values by key; a key left out takes its default. Settings that are
    // not positions (the colour tools' samples and targets, the render's curve) are left at their
    // defaults for the caller to fill in.
    OperationParams (*paramsFrom)(const ParameterValues& values);
    // Runs on the region (clipped to the picture). A filter-like run writes N and C; whether C goes
    // back into P (an Apply) is the caller's business.
    void (*run)(const OperationTarget& target, const Region& region, const OperationParams& params,
                ProgressSink& progress);
};

// In the order of OperationId.
std::span<const Operation> operationRegistry();
const Operation& operation(OperationId id);
const Operation* findOperation(std::string_view name);

}  // namespace sv
