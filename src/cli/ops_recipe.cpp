// --recipe and --write-recipe: the choices after opening, kept in a file and used again.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "operations/recipe.h"

namespace sv::cli {

namespace {

[[noreturn]] void refuse(int status, const std::string& what, const Message& message) {
    throw CliError(status, what + ": " + englishText(message));
}

// Runs at its place on the command line as the operators it stands for would: the merge settings,
// the tone settings, "Process all" (render or fusion), then each Apply. The file and what it asks
// of this project are checked before anything changes.
void recipeOperator(CliContext& context, const std::string& path, const Modifiers&) {
    const std::string what = "--recipe " + path;
    const Outcome<Recipe> read = readRecipe(path);
    if (!read.ok()) refuse(kBadInput, what, *read.error);
    const Recipe& recipe = read.value;
    Project& project = context.project;
    if (project.exposureCount == 0 || !project.buffersAllocated) refuse(kBadInput, what, Message(MessageId::NoPictureOpen));
    if (recipe.deghost && recipe.ghost.reference >= project.exposureCount) {
        refuse(kBadInput, what,
               Message(MessageId::RecipeOutOfRange, 0,
                       "merge.ghostReference (1.." + std::to_string(project.exposureCount) + ")"));
    }
    if (recipe.autoAlign && !context.alignmentReported) {
        std::fprintf(stderr,
                     "sombrel-cli: warning: the recipe was made with automatic alignment; give --shift auto "
                     "with each --open to have it\n");
    }

    // Ghost removal as the recipe has it (merging again only when it changes).
    const GhostRemovalParams& ghosts = context.ghosts.params;
    if (recipe.deghost && (!context.ghosts.active || ghosts.reference != recipe.ghost.reference ||
                           ghosts.strength != recipe.ghost.strength)) {
        removeGhostsNow(context, recipe.ghost, what);
    } else if (!recipe.deghost && context.ghosts.active) {
        restorePlainStack(project, context.ghosts);
        context.processedStale = true;
    }

    // The tone settings stay for what follows (a later --process, --write-recipe).
    const RenderParams tone = recipeRenderParams(recipe);
    context.tone.gammaPosition = tone.gammaPosition;
    context.tone.saturationPosition = tone.saturationPosition;
    context.tone.whitePosition = tone.whitePosition;
    context.tone.blackPosition = tone.blackPosition;
    context.tone.localContrast = recipe.localContrast;
    context.curveMode = recipe.curveMode;
    context.curvePoints = recipe.curvePoints;
    if (recipe.mode == RecipeMode::Fusion) {
        const FusionParams params = recipe.fusion;
        context.process = [params](CliContext& c) { fuseWholeBracket(c, params); };
        context.fusion = params;
    } else {
        context.process = renderWholeStack;
        context.fusion.reset();
    }

    const Outcome<RecipeResult> applied = applyRecipe(project, recipe, context.ghosts, context.progress);
    if (!applied.ok()) refuse(kBadInput, what, *applied.error);
    context.processedStale = false;
    context.histogram.assign(applied.value.histogram.histogram.begin(), applied.value.histogram.histogram.end());
    context.histogramPeak = applied.value.histogram.histogramPeak;
    context.appliedSteps = recipe.steps;
    context.recipeSave = recipe.save;
}

// What the command line has applied so far.
Recipe recipeOf(const CliContext& context) {
    Recipe r;
    r.autoAlign = context.alignmentReported;
    r.deghost = context.ghosts.active;
    r.ghost = context.ghosts.params;
    r.mode = context.fusion ? RecipeMode::Fusion : RecipeMode::Render;
    if (context.fusion) r.fusion = *context.fusion;
    r.tone = toneValues(context.tone);
    r.curveMode = context.curveMode;
    r.curvePoints = context.curvePoints;
    r.localContrast = context.tone.localContrast;
    r.steps = context.appliedSteps;
    r.save = context.lastSave;
    return r;
}

void writeRecipeOperator(CliContext& context, const std::string& path, const Modifiers&) {
    if (const Failure failed = writeRecipe(path, recipeOf(context))) {
        throw CliError(kBadOutput, "cannot write " + path + ": " + englishText(*failed));
    }
}

}  // namespace

void registerRecipeOperators(std::vector<Operator>& table) {
    table.push_back({"--recipe", "FILE", {},
                     "apply a recipe (JSON, \"sombrel-recipe\": 1) to the open bracket: its ghost removal, tone "
                     "settings, render or fusion, then each filter and colour tool in order; a later --save of its "
                     "format takes its save options",
                     recipeOperator});
    table.push_back({"--write-recipe", "FILE", {},
                     "write what has been applied so far as a recipe: merge and tone settings, each filter and "
                     "colour Apply since the last render, the options of the last --save",
                     writeRecipeOperator});
}

}  // namespace sv::cli
