#pragma once
// A recipe: every choice a user makes after opening a bracket, kept in a small JSON file so that
// the same look can be had again for another bracket, from the window or the command line.
//
// It holds the merge settings (automatic alignment, ghost removal), the Step 2 settings (render
// or fusion, the tone controls, the curve, local contrast), the Step 3 operations in the order
// they were applied with their parameters (the colour tools with their samples and targets), and
// the save options. Keys and ranges are those of the operations' descriptors.
//
// Reading checks the whole file before anything is used: a wrong version, an unknown key, a
// value of the wrong type or out of its range gives a message naming the key.

#include <any>
#include <optional>
#include <string>
#include <vector>

#include "image/outcome.h"
#include "image/parameters.h"
#include "image/progress.h"
#include "imagefiles/save_format.h"
#include "operations/operation_id.h"
#include "stack/auto_align.h"
#include "stack/ghost_removal.h"
#include "stack/ghost_removal.h"
#include "stack/project.h"
#include "tone/colour_balance.h"
#include "tone/exposure_fusion.h"
#include "tone/local_contrast.h"
#include "tone/render.h"
#include "tone/tone_curve.h"

namespace sv {

inline constexpr int kRecipeVersion = 1;
inline constexpr const char* kRecipeVersionKey = "sombrel-recipe";

enum class RecipeMode { Render, Fusion };

// One Apply of Step 3.
struct RecipeStep {
    OperationId operation = OperationId::Blur;
    ParameterValues values;   // an operation of positions: every key of its descriptors
    Rgb neutralSample{};      // Neutral: the sampled colour
    BalanceParams balance;    // Balance: the three rows
    bool operator==(const RecipeStep&) const;
};

struct RecipeSave {
    SaveFormat format = SaveFormat::Tiff;
    int bits = 8;                                                   // TIFF and PNG
    TiffCompressionChoice compression = TiffCompressionChoice::Deflate;  // TIFF
    int quality = kDefaultJpegQuality;                              // JPEG
    bool metadata = false;
    bool operator==(const RecipeSave&) const = default;
};

struct Recipe {
    // Merge (Step 1).
    bool autoAlign = false;
    bool deghost = false;
    GhostRemovalParams ghost;  // reference 0-based

    // Step 2.
    RecipeMode mode = RecipeMode::Render;
    ParameterValues tone = defaultValues(kRenderParameters);  // gamma, saturation, white, black
    CurveMode curveMode = CurveMode::Smooth;
    std::vector<CurvePoint> curvePoints;  // movable points in the 200-pixel box; none: the straight curve
    FusionParams fusion;
    LocalContrastParams localContrast;

    // Step 3, in the order applied.
    std::vector<RecipeStep> steps;

    // The options of the last save, if there was one.
    std::optional<RecipeSave> save;

    bool operator==(const Recipe&) const;
};

// The recipe as JSON text (two-space indent, a newline at the end). Samples are written so that
// reading them back gives the same floats.
std::string recipeJson(const Recipe& recipe);
// Reads and checks a whole recipe; nothing of it is returned unless all of it is sound.
Outcome<Recipe> parseRecipe(const std::string& text);
Outcome<Recipe> readRecipe(const std::string& path);
Failure writeRecipe(const std::string& path, const Recipe& recipe);

// The tone positions of render params by their keys (the curve and local contrast apart).
ParameterValues toneValues(const RenderParams& params);
// The render's params of a recipe (tone positions, curve table, local contrast).
RenderParams recipeRenderParams(const Recipe& recipe);
// The params struct of a Step 3 operation, through the registry.
std::any recipeStepParams(const RecipeStep& step);

struct RecipeResult {
    RenderHistogram histogram;  // of the render (or the fusion's levels) of the whole picture
};

// Applies the recipe's Step 2 and Step 3 to an open project as a user would: "Process all" (the
// render, or the fusion of the exposures read again from their files), then each operation as
// an Apply on the whole picture, in order. Merge settings and save options are the caller's.
// A fusion reads the exposures corrected as `ghosts` corrected the stack, when it is on.
// On failure the processed picture is left part-way and the message says why.
Outcome<RecipeResult> applyRecipe(Project& project, const Recipe& recipe, const GhostRemovalState& ghosts,
                                  ProgressSink& progress);

}  // namespace sv
