#include <string>

#include "cli/cli.h"
#include "filters/filter_framework.h"
#include "operations/operation_registry.h"
#include "tone/colour_balance.h"

namespace sv::cli {

namespace {

// Every filter and balance is an Apply on the whole picture: P via N into C, then C back into P.
// Each is kept for --write-recipe.
void applyWhole(CliContext& context, const Operation& op, const OperationParams& params, RecipeStep step) {
    context.ensureProcessed();
    Project& project = context.project;
    const Region whole{0, project.imageWidth, 0, project.imageHeight};
    op.run(OperationTarget{.project = project}, whole, params, context.progress);
    applyFilterOutput(project.processedBuffer, project.processedCopy);
    endProgress(context.progress, project.imageHeight);
    step.operation = op.id;
    context.appliedSteps.push_back(std::move(step));
}

// --blur sigma=POS,opacity=POS and the like: an operation whose settings are all positions.
Operator filterOperator(const Operation& op) {
    const std::string name = "--" + std::string(op.name);
    return {name, parameterSyntax(op.parameters), {}, std::string(op.summary) + " (" + parameterRanges(op.parameters) + ")",
            [&op, name](CliContext& context, const std::string& value, const Modifiers&) {
                const ParameterValues values = parseParameters(op.parameters, value, name);
                RecipeStep step;
                step.values = defaultValues(op.parameters);
                for (const auto& [key, position] : values) step.values[key] = position;
                applyWhole(context, op, op.paramsFrom(values), std::move(step));
            }};
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
    RecipeStep step;
    step.neutralSample = context.colourSamples[0];
    applyWhole(context, operation(OperationId::Neutral), OperationParams(context.colourSamples[0]), std::move(step));
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
    RecipeStep step;
    step.balance = params;
    applyWhole(context, operation(OperationId::Balance), OperationParams(params), std::move(step));
}

}  // namespace

void registerFilterOperators(std::vector<Operator>& table) {
    for (const Operation& op : operationRegistry()) {
        if (op.kind == OperationKind::FilterLike && !op.parameters.empty()) table.push_back(filterOperator(op));
    }
    table.push_back({"--neutral-sample", "X,Y[,RADIUS]", {},
                     "sample the neutral colour at picture pixel X,Y (RADIUS 0..4, default 2 = Gauss 5x5)",
                     neutralSampleOperator});
    table.push_back({"--" + std::string(operation(OperationId::Neutral).name), "", {},
                     std::string(operation(OperationId::Neutral).summary), neutralOperator});
    table.push_back({"--balance-sample", "RANGE,X,Y[,RADIUS]", {},
                     "sample a range (shadows|midtones|highlights), tick it; its target becomes the sample",
                     balanceSampleOperator});
    table.push_back({"--balance-target", "RANGE,R,G,B", {}, "target colour of a range (0..255 each)",
                     balanceTargetOperator});
    table.push_back({"--" + std::string(operation(OperationId::Balance).name), "", {},
                     std::string(operation(OperationId::Balance).summary), balanceOperator});
}

}  // namespace sv::cli
