#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "imagefiles/pfm_writer.h"
#include "operations/fusion_source.h"
#include "operations/operation_registry.h"
#include "tone/exposure_fusion.h"
#include "tone/fused_levels.h"
#include "tone/histogram.h"
#include "tone/local_contrast.h"
#include "tone/render.h"
#include "tone/tone_curve.h"

namespace sv::cli {

namespace {

// The curve as the window's editor would hold it after the given mode and points (standard scale).
std::vector<float> curveTableOf(const CliContext& context) {
    ToneCurve curve(1.0f);
    curve.setCurveMode(context.curveMode);
    if (!context.curvePoints.empty()) {
        std::string reason;
        if (!curve.setMovablePoints(context.curvePoints, reason)) throw CliError(kUsage, "--point: " + reason);
    }
    return curve.curveTable();
}

// Tone settings reach the picture only through a render. Once it is rendered and the stack has
// not changed since (so that nothing renders again by itself), a later setting waits for the next
// --process; say so rather than let the output silently ignore it.
void noteToneAfterRender(const CliContext& context, const char* option) {
    if (context.processedStale) return;
    std::fprintf(stderr,
                 "sombrel-cli: warning: %s has no effect on the picture already rendered until the next --process\n",
                 option);
}

void processOperator(CliContext& context, const std::string&, const Modifiers&) {
    if (context.project.exposureCount == 0) throw CliError(kBadInput, "no picture has been opened");
    // The render from now on, also when a later operator processes again (after a --fuse).
    context.process = renderWholeStack;
    context.fusion.reset();
    context.process(context);
    context.processedStale = false;
}

std::string fusionFailure(const FusionOutcome& outcome, const FileFusionSource& source) {
    switch (outcome.status) {
        case FusionStatus::ExposureUnavailable:
            if (source.failure()) return englishText(*source.failure());
            return "exposure " + std::to_string(outcome.exposure + 1) + " could not be read again";
        case FusionStatus::WrongSize:
            return "exposure " + std::to_string(outcome.exposure + 1) + " no longer has the picture's size";
        case FusionStatus::NotEnoughMemory: return "Not enough memory!";
        case FusionStatus::NoExposures: return "no picture has been opened";
        case FusionStatus::Done: break;
    }
    return "the exposures could not be fused";
}

}  // namespace

// "Process all" by fusion: the exposures read again from their files (as they were opened),
// fused, then the white and black points and the histogram as on a render.
void fuseWholeBracket(CliContext& context, const FusionParams& weights) {
    Project& project = context.project;
    if (project.exposureCount == 0 || !project.buffersAllocated) {
        throw CliError(kBadInput, "no picture has been opened");
    }
    // After --deghost the exposures are corrected as the stack was merged.
    FileFusionSource source = projectFusionSource(project, DecodeHooks{}, context.ghosts);
    beginProgress(context.progress, fusionProgressSteps(project.exposureCount, project.imageHeight) + project.imageHeight);
    const FusionOperationParams params{weights, context.tone.whitePosition, context.tone.blackPosition};
    FusionInput input(source);
    RenderHistogram result;
    operation(OperationId::Fusion).run(OperationTarget{project, &result, nullptr, &input}, project.processedBuffer.bounds(),
                                       params, context.progress);
    if (!input.outcome.ok()) {
        endProgress(context.progress, project.imageHeight);
        throw CliError(kBadInput, "--fuse: " + fusionFailure(input.outcome, source));
    }
    endProgress(context.progress, project.imageHeight);
    context.histogram.assign(result.histogram.begin(), result.histogram.end());
    context.histogramPeak = result.histogramPeak;
    project.wholeImageProcessed = true;
    // A new picture: the Applies before it are gone from it.
    context.appliedSteps.clear();
}

namespace {

void fuseOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const Operation& fusion = operation(OperationId::Fusion);
    const FusionParams params =
        std::any_cast<FusionOperationParams>(fusion.paramsFrom(parseParameters(fusion.parameters, value, "--fuse"))).weights;
    if (context.project.exposureCount == 0) throw CliError(kBadInput, "no picture has been opened");
    if (context.tone.localContrast.enabled) {
        std::fprintf(stderr, "sombrel-cli: warning: --local-contrast has no effect on a fused picture\n");
    }
    // Fusion stays the way of processing: a later operator that needs the picture after the stack
    // changed fuses again (until a --process chooses the render).
    context.process = [params](CliContext& c) { fuseWholeBracket(c, params); };
    context.fusion = params;
    context.process(context);
    context.processedStale = false;
}

const OptionGroup& localContrastGroup() { return *findOption(operation(OperationId::Render), "local-contrast"); }

void localContrastOperator(CliContext& context, const std::string& value, const Modifiers&) {
    LocalContrastParams params;
    if (value == "off") {
        params.enabled = false;
    } else {
        const OptionGroup& group = localContrastGroup();
        OperationParams render = context.tone;
        group.apply(render, parseParameters(group.parameters, value, "--local-contrast"));
        params = std::any_cast<const RenderParams&>(render).localContrast;
    }
    context.tone.localContrast = params;
    noteToneAfterRender(context, "--local-contrast");
}

void pointOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const auto parts = splitList(value, ',');
    if (parts.size() != 2) throw CliError(kUsage, "--point takes X,Y (box pixels, Y from the bottom)");
    const CurvePoint point{parseInt(parts[0], "--point X"), parseInt(parts[1], "--point Y")};
    std::vector<CurvePoint> points = context.curvePoints;
    points.push_back(point);
    // Checked now, so that the mistake is reported at the option that made it.
    ToneCurve trial(1.0f);
    std::string reason;
    if (!trial.setMovablePoints(points, reason)) throw CliError(kUsage, "--point " + value + ": " + reason);
    context.curvePoints = std::move(points);
    noteToneAfterRender(context, "--point");
}

void dumpProcessedOperator(CliContext& context, const std::string& path, const Modifiers&) {
    context.ensureProcessed();
    if (const Failure failed = writePfm(path, context.project.processedBuffer)) {
        throw CliError(kBadOutput, "cannot write " + path + ": " + englishText(*failed));
    }
}

}  // namespace

void renderWholeStack(CliContext& context) {
    Project& project = context.project;
    if (project.exposureCount == 0 || !project.buffersAllocated) {
        throw CliError(kBadInput, "no picture has been opened");
    }
    RenderParams params = context.tone;
    params.curveTable = curveTableOf(context);
    RenderHistogram result;
    // No display in the CLI: the render is the job's only pass (BMP and JPEG draw when they save),
    // after the local contrast model of the whole stack when there is one to build.
    beginProgress(context.progress, (params.localContrast.enabled ? 2ll : 1ll) * project.imageHeight);
    operation(OperationId::Render).run(OperationTarget{.project = project, .histogram = &result},
                                       project.stackBuffer.bounds(), params, context.progress);
    endProgress(context.progress, project.imageHeight);
    context.histogram.assign(result.histogram.begin(), result.histogram.end());
    context.histogramPeak = result.histogramPeak;
    project.wholeImageProcessed = true;
    context.appliedSteps.clear();
}

namespace {

const ParameterDescriptor& toneParameter(std::string_view key) { return *findParameter(kRenderParameters, key); }

// A tone setting's position from the command line, in its descriptor's range.
int tonePosition(const std::string& value, std::string_view key) {
    const ParameterDescriptor& d = toneParameter(key);
    return parseIntInRange(value, d.minimum, d.maximum, "--" + std::string(key));
}

std::string rangeOf(std::string_view key) {
    const ParameterDescriptor& d = toneParameter(key);
    return std::to_string(d.minimum) + ".." + std::to_string(d.maximum);
}

std::string defaultOf(std::string_view key) { return std::to_string(toneParameter(key).defaultPosition); }

}  // namespace

void registerToneOperators(std::vector<Operator>& table) {
    table.push_back({"--gamma", "POS", {}, "gamma control position " + rangeOf("gamma") + " (gamma = POS / 100, default " + defaultOf("gamma") + ")",
                     [](CliContext& c, const std::string& v, const Modifiers&) {
                         c.tone.gammaPosition = tonePosition(v, "gamma");
                         noteToneAfterRender(c, "--gamma");
                     }});
    table.push_back({"--saturation", "POS", {}, "saturation control position " + rangeOf("saturation") + " (default " + defaultOf("saturation") + ")",
                     [](CliContext& c, const std::string& v, const Modifiers&) {
                         c.tone.saturationPosition = tonePosition(v, "saturation");
                         noteToneAfterRender(c, "--saturation");
                     }});
    // The two points never cross: as in the window, moving one past the other drags it along.
    table.push_back({"--white", "POS", {}, "white point " + rangeOf("white") + " (default " + defaultOf("white") + "); a black point above it follows",
                     [](CliContext& c, const std::string& v, const Modifiers&) {
                         const PointPositions p =
                             whitePointMoved(tonePosition(v, "white"), c.tone.blackPosition);
                         noteToneAfterRender(c, "--white");
                         c.tone.whitePosition = p.white;
                         c.tone.blackPosition = p.black;
                     }});
    table.push_back({"--black", "POS", {}, "black point " + rangeOf("black") + " (default " + defaultOf("black") + "); a white point below it follows",
                     [](CliContext& c, const std::string& v, const Modifiers&) {
                         const PointPositions p =
                             blackPointMoved(c.tone.whitePosition, tonePosition(v, "black"));
                         noteToneAfterRender(c, "--black");
                         c.tone.whitePosition = p.white;
                         c.tone.blackPosition = p.black;
                     }});
    table.push_back({"--curve", "smooth|linear", {}, "how the curve joins its points (default smooth)",
                     [](CliContext& c, const std::string& v, const Modifiers&) {
                         const int mode = choiceIndex(kCurveModeParameter, v);
                         if (mode < 0) throw CliError(kUsage, "--curve takes smooth or linear");
                         c.curveMode = static_cast<CurveMode>(mode);
                         noteToneAfterRender(c, "--curve");
                     }});
    table.push_back({"--point", "X,Y", {},
                     "a movable curve point in box pixels of the 200 x 200 box, Y from the bottom "
                     "(0 <= X < 199, 0 <= Y <= 199); give 1 to 7, one --point each",
                     pointOperator});
    table.push_back({"--" + std::string(localContrastGroup().name), "[compression=POS,detail=POS,radius=POS|off]", {},
                     std::string(localContrastGroup().summary) + ": " +
                         parameterRangesWithDefaults(localContrastGroup().parameters) +
                         "; detail in percent, radius in tenths of a percent of the diagonal; keys left out take "
                         "their defaults",
                     localContrastOperator, true});
    table.push_back({"--process", "", {}, "render the whole stack with the tone settings so far (\"Process all\")",
                     processOperator});
    table.push_back({"--" + std::string(operation(OperationId::Fusion).name), "[contrast=POS,saturation=POS,exposure=POS]", {},
                     "instead of --process: fuse the exposures with the weights " +
                         parameterRangesWithDefaults(operation(OperationId::Fusion).parameters) +
                         " (exponent = POS / 100), then the white and black points as on a render",
                     fuseOperator, true});
    table.push_back({"--dump-processed", "FILE.pfm", {}, "write the processed picture as PFM", dumpProcessedOperator});
}

}  // namespace sv::cli
