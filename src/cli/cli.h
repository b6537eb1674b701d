#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "image/parameters.h"
#include "image/progress.h"
#include "image/messages.h"
#include "operations/recipe.h"
#include "stack/ghost_removal.h"
#include "stack/project.h"
#include "tone/render.h"
#include "tone/tone_curve.h"

namespace sv::cli {

// Exit statuses of sombrel-cli; kSomeFailed: a batch in which some brackets failed.
enum ExitStatus { kOk = 0, kUsage = 1, kBadInput = 2, kBadOutput = 3, kSomeFailed = 4 };

struct CliError : std::runtime_error {
    CliError(int status, const std::string& message) : std::runtime_error(message), status(status) {}
    int status;
};

// Prints a whole-percent progress line on stderr; safe to advance from worker threads.
class StderrProgress final : public AtomicProgress {
public:
    explicit StderrProgress(bool quiet) : quiet_(quiet) {}
    void setMaximum(std::int64_t maximum) override;
    void setPosition(std::int64_t position) override;
    void advance(std::int64_t steps) override;
    void setTextVisible(bool visible) override;
    void setLabel(std::string label) { label_ = std::move(label); }

private:
    void report();
    bool quiet_;
    std::string label_;
    std::atomic<int> lastPercent_{-1};
};

// How an exposure's shift was chosen, for the report.
enum class AlignmentKind { None, Manual, Auto };
struct AlignmentNote {
    AlignmentKind kind = AlignmentKind::None;
    float residual = 0.0f;   // automatic alignment only
    bool doubtful = false;
};

struct CliContext;
// "Process all": renders the whole stack into processedBuffer with the tone settings given so far
// and keeps the histogram for the report (defined with the tone operators).
void renderWholeStack(CliContext& context);

// Everything an operator may read or change. Each subsystem keeps its own section.
struct CliContext {
    explicit CliContext(bool quiet) : progress(quiet) {}

    Project project;
    StderrProgress progress;
    bool tiffGamma = true;

    // One note per exposure record, in record order; the report lists them once any --open has
    // asked for automatic alignment (so reports of runs without it stay as they were).
    std::vector<AlignmentNote> alignments;
    bool alignmentReported = false;
    // Ghost removal (--deghost): the plain stack and the mask while it is on.
    GhostRemovalState ghosts;

    // Processed picture: stale whenever the stack changed since the last render.
    bool processedStale = true;
    // Renders the whole stack with the tone settings given so far (set by the tone operators).
    std::function<void(CliContext&)> process = renderWholeStack;

    // Histogram of the last render, for the report (215 counts).
    std::vector<std::int64_t> histogram;
    std::int64_t histogramPeak = 0;

    // Runs the render first when an operator needs the processed picture and it is stale.
    void ensureProcessed();

    // Tone settings given so far (--gamma, --saturation, --white, --black, --curve, --point), as
    // control positions; the window's defaults until set. Read by every render.
    RenderParams tone;
    CurveMode curveMode = CurveMode::Smooth;
    std::vector<CurvePoint> curvePoints;  // movable points in box pixels; none: the straight curve

    // Colour balance state (--neutral-sample, --balance-sample, --balance-target): sample slot 0
    // is the neutral point, slots 1..3 the Shadows, Midtones and Highlights rows; targets are
    // 8-bit colours; a row is ticked by its sample, as in the window.
    std::array<std::array<float, 3>, 4> colourSamples{};
    std::array<std::array<int, 3>, 3> balanceTargets{};
    std::array<bool, 3> balanceTicked{};

    // What --write-recipe writes: the fusion's weights while fusion is the way of processing, each
    // filter and colour Apply since the last whole render, in order, and the last save's options.
    std::optional<FusionParams> fusion;
    std::vector<RecipeStep> appliedSteps;
    std::optional<RecipeSave> lastSave;
    // The save options of the last --recipe: a later --save of the same format takes those it is
    // not given.
    std::optional<RecipeSave> recipeSave;
};

using Modifiers = std::map<std::string, std::string>;

struct Operator {
    std::string name;                    // "--open"
    std::string valueName;               // "FILE"; empty when the operator takes no value
    std::vector<std::string> modifiers;  // options that may follow it: "--shift"
    std::string help;
    std::function<void(CliContext&, const std::string& value, const Modifiers& modifiers)> run;
    // The value may be left out ("--fuse" alone): the next word is taken as the value only when it
    // is not an option itself (does not begin with "--").
    bool optionalValue = false;
};

// Opens and adds a run of --open files (path and its modifiers) through the engine's open
// sequence, which decodes the next file while the current one is added; stops at the first that
// cannot be used, with its message.
void openFiles(CliContext& context, const std::vector<std::pair<std::string, Modifiers>>& files);

// Refuses save options that --save FILE would refuse (CliError(kUsage)), without saving anything.
void checkSaveOptions(const std::string& path, const Modifiers& modifiers);

void registerStackOperators(std::vector<Operator>& table);
void registerFileOperators(std::vector<Operator>& table);
void registerToneOperators(std::vector<Operator>& table);
void registerFilterOperators(std::vector<Operator>& table);
void registerHdrOperators(std::vector<Operator>& table);
void registerRecipeOperators(std::vector<Operator>& table);

// "Process all" by fusion with these weights (defined with the tone operators).
void fuseWholeBracket(CliContext& context, const FusionParams& params);
// Merges the stack again without ghosts (defined with the stack operators); `what` starts its messages.
void removeGhostsNow(CliContext& context, const GhostRemovalParams& params, const std::string& what);

// An engine message as the CLI prints it: the English text, and for "Not enough memory!" what was
// needed and what was available ("Not enough memory! (needed 12.8 GB, available 9.3 GB)").
std::string messageLine(const Message& message);
// The same figures for a refusal with no message of its own (the allocator said no): the open
// project's need beside what is available now; the bare text while no project is open.
std::string notEnoughMemoryLine(const Project& project);

// "no exposures", "1 exposure", "2 exposures".
std::string countOf(long long count, const std::string& one, const std::string& many);

// Parsing helpers: each throws CliError(kUsage) with a clear reason.
int parseInt(const std::string& text, const std::string& what);
int parseIntInRange(const std::string& text, int low, int high, const std::string& what);
std::vector<std::string> splitList(const std::string& text, char separator);
// "a=1,b=2" into a map; unknown keys are refused.
std::map<std::string, std::string> parseKeyValues(const std::string& text, const std::vector<std::string>& keys,
                                                  const std::string& what);
// "a=1,shape=box" read by the descriptors: unknown keys, numbers out of range and unknown choices
// are refused with the reason; keys left out are not in the result (their defaults apply).
ParameterValues parseParameters(ParameterList parameters, const std::string& text, const std::string& what);
// The value syntax and the ranges the help shows: "sigma=POS,opacity=POS", "sigma 1..80, opacity 1..100".
std::string parameterSyntax(ParameterList parameters);
std::string parameterRanges(ParameterList parameters);
// The same with each default: "contrast 0..200 (default 100), saturation 0..200 (default 100)".
std::string parameterRangesWithDefaults(ParameterList parameters);

}  // namespace sv::cli
