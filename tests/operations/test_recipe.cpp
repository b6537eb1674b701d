// Recipes: what is written reads back as the same choices (samples to the last bit), every fault
// in a file is refused with its key named before anything is used, and applying a recipe gives
// exactly what the same render and Applies through the registry give.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filters/filter_framework.h"
#include "operations/operation_registry.h"
#include "operations/recipe.h"
#include "support/random_project.h"
#include "support/test_support.h"

namespace sv {
namespace {

bool sameBits(const FloatImage& a, const FloatImage& b) {
    return a.sameSize(b) && std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)) == 0;
}

// Every setting away from its default, and samples that need all of a float's digits.
Recipe fullRecipe() {
    Recipe r;
    r.autoAlign = true;
    r.deghost = true;
    r.ghost = GhostRemovalParams{2, 73};
    r.mode = RecipeMode::Render;
    r.tone = {{"gamma", 163}, {"saturation", -41}, {"white", 230}, {"black", 12}};
    r.curveMode = CurveMode::Linear;
    r.curvePoints = {{40, 60}, {120, 150}};
    r.fusion = FusionParams{35, 170, 90};
    r.localContrast.enabled = true;
    r.localContrast.compressionPosition = 61;
    r.localContrast.detailPosition = 140;
    r.localContrast.radiusPosition = 25;
    RecipeStep sharpen{OperationId::Sharpen, {}, {}, {}};
    sharpen.values = defaultValues(operation(OperationId::Sharpen).parameters);
    for (auto& [key, value] : sharpen.values) {
        const ParameterDescriptor& d = *findParameter(operation(OperationId::Sharpen).parameters, key);
        value = d.maximum;
    }
    RecipeStep neutral{OperationId::Neutral, {}, {0.1f, std::nextafter(0.5f, 1.0f), 1.0f / 3.0f}, {}};
    RecipeStep balance{OperationId::Balance, {}, {}, {}};
    balance.balance.ranges[0] = BalanceRange{true, {0.0123456789f, 0.2f, 0.3f}, {10, 20, 30}};
    balance.balance.ranges[2] = BalanceRange{true, {0.9f, 0.8f, 0.70000001f}, {250, 240, 0}};
    RecipeStep blur{OperationId::Blur, defaultValues(operation(OperationId::Blur).parameters), {}, {}};
    r.steps = {sharpen, neutral, balance, blur};
    r.save = RecipeSave{SaveFormat::Tiff, 16, TiffCompressionChoice::None, kDefaultJpegQuality, true};
    return r;
}

TEST(Recipe, WrittenRecipeReadsBackAsTheSameChoices) {
    const Recipe r = fullRecipe();
    const std::string text = recipeJson(r);
    const Outcome<Recipe> back = parseRecipe(text);
    ASSERT_TRUE(back.ok()) << englishText(*back.error) << "\n" << text;
    EXPECT_TRUE(back.value == r) << text;
    EXPECT_EQ(recipeJson(back.value), text);
    // Every save format keeps its own options.
    for (const RecipeSave save : {RecipeSave{SaveFormat::Jpeg, 8, TiffCompressionChoice::Deflate, 42, false},
                                  RecipeSave{SaveFormat::Png, 16, TiffCompressionChoice::Deflate, 95, true},
                                  RecipeSave{SaveFormat::Bmp, 8, TiffCompressionChoice::Deflate, 95, false}}) {
        Recipe withSave;
        withSave.mode = RecipeMode::Fusion;
        withSave.save = save;
        const Outcome<Recipe> read = parseRecipe(recipeJson(withSave));
        ASSERT_TRUE(read.ok());
        EXPECT_TRUE(read.value == withSave) << recipeJson(withSave);
    }
    // Through a file.
    test::TempDir dir;
    const std::string path = dir.file("look.json");
    ASSERT_FALSE(writeRecipe(path, r));
    const Outcome<Recipe> fromFile = readRecipe(path);
    ASSERT_TRUE(fromFile.ok());
    EXPECT_TRUE(fromFile.value == r);
}

TEST(Recipe, KeysLeftOutTakeTheirDefaults) {
    const Outcome<Recipe> r = parseRecipe(R"({"sombrel-recipe": 1, "operations": [{"operation": "median"}]})");
    ASSERT_TRUE(r.ok());
    Recipe expected;
    expected.steps.push_back(RecipeStep{OperationId::Median, defaultValues(operation(OperationId::Median).parameters), {}, {}});
    EXPECT_TRUE(r.value == expected);
    EXPECT_FALSE(r.value.save.has_value());
}

struct Refusal {
    const char* json;
    MessageId id;
    const char* detail;  // what the message must name
};

TEST(Recipe, EveryFaultIsRefusedNamingItsKey) {
    const ParameterDescriptor& gamma = *findParameter(kRenderParameters, "gamma");
    const ParameterDescriptor& sigma = *findParameter(operation(OperationId::Blur).parameters, "sigma");
    const std::string gammaHigh = R"({"sombrel-recipe":1,"tone":{"gamma":)" + std::to_string(gamma.maximum + 1) + "}}";
    const std::string gammaLow = R"({"sombrel-recipe":1,"tone":{"gamma":)" + std::to_string(gamma.minimum - 1) + "}}";
    const std::string sigmaLow = R"({"sombrel-recipe":1,"operations":[{"operation":"blur"},{"operation":"blur","sigma":)" +
                                 std::to_string(sigma.minimum - 1) + "}]}";
    const std::vector<Refusal> refusals = {
        {"{\"sombrel-recipe\": 2}", MessageId::RecipeVersion, "2"},
        {"{\"sombrel-recipe\": \"1\"}", MessageId::RecipeVersion, "\"1\""},
        {"{\"tone\": {}}", MessageId::RecipeMissingKey, "sombrel-recipe"},
        {"[1, 2]", MessageId::RecipeWrongType, "whole file"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"gamma\": 100,}", MessageId::RecipeNotJson, ""},
        {"", MessageId::RecipeNotJson, ""},
        {"{\"sombrel-recipe\": 1, \"colour\": {}}", MessageId::RecipeUnknownKey, "colour"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"gama\": 100}}", MessageId::RecipeUnknownKey, "tone.gama"},
        {"{\"sombrel-recipe\": 1, \"merge\": {\"shift\": 1}}", MessageId::RecipeUnknownKey, "merge.shift"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"fusion\": {\"sharpness\": 1}}}", MessageId::RecipeUnknownKey,
         "tone.fusion.sharpness"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"operation\": \"sharpen\", \"radius\": 3}]}",
         MessageId::RecipeUnknownKey, "operations[0].radius"},
        {"{\"sombrel-recipe\": 1, \"save\": {\"format\": \"tiff\", \"dpi\": 300}}", MessageId::RecipeUnknownKey,
         "save.dpi"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"gamma\": \"high\"}}", MessageId::RecipeWrongType, "tone.gamma"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"gamma\": 1.5}}", MessageId::RecipeWrongType, "tone.gamma"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"gamma\": true}}", MessageId::RecipeWrongType, "tone.gamma"},
        {"{\"sombrel-recipe\": 1, \"tone\": []}", MessageId::RecipeWrongType, "tone"},
        {"{\"sombrel-recipe\": 1, \"operations\": {}}", MessageId::RecipeWrongType, "operations"},
        {"{\"sombrel-recipe\": 1, \"merge\": {\"deghost\": 1}}", MessageId::RecipeWrongType, "merge.deghost"},
        {gammaHigh.c_str(), MessageId::RecipeOutOfRange, "tone.gamma"},
        {gammaLow.c_str(), MessageId::RecipeOutOfRange, "tone.gamma"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"white\": 18446744073709551615}}", MessageId::RecipeOutOfRange,
         "tone.white"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"white\": -9223372036854775808}}", MessageId::RecipeOutOfRange,
         "tone.white"},
        {sigmaLow.c_str(), MessageId::RecipeOutOfRange, "operations[1].sigma"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"mode\": \"hdr\"}}", MessageId::RecipeOutOfRange, "tone.mode"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"curve\": \"spline\"}}", MessageId::RecipeOutOfRange, "tone.curve"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"points\": [[50, 50], [50, 60]]}}", MessageId::RecipeOutOfRange,
         "tone.points"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"points\": [[50, 250]]}}", MessageId::RecipeOutOfRange,
         "tone.points[0]"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"points\": [[1,1],[2,2],[3,3],[4,4],[5,5],[6,6],[7,7],[8,8]]}}",
         MessageId::RecipeOutOfRange, "tone.points"},
        {"{\"sombrel-recipe\": 1, \"merge\": {\"ghostReference\": 0}}", MessageId::RecipeOutOfRange,
         "merge.ghostReference"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"operation\": \"render\"}]}", MessageId::RecipeOutOfRange,
         "operations[0].operation"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"operation\": \"unsharp\"}]}", MessageId::RecipeOutOfRange,
         "operations[0].operation"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"sigma\": 3}]}", MessageId::RecipeMissingKey,
         "operations[0].operation"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"operation\": \"neutral\"}]}", MessageId::RecipeMissingKey,
         "operations[0].sample"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"operation\": \"neutral\", \"sample\": [0.5, 1.5, 0]}]}",
         MessageId::RecipeOutOfRange, "operations[0].sample"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"operation\": \"neutral\", \"sample\": [0.5, 0.5]}]}",
         MessageId::RecipeWrongType, "operations[0].sample"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"operation\": \"balance\", \"midtones\": "
         "{\"sample\": [0.5, 0.5, 0.5], \"target\": [1, 2, 256]}}]}",
         MessageId::RecipeOutOfRange, "operations[0].midtones.target"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"operation\": \"balance\", \"highlights\": "
         "{\"target\": [1, 2, 3]}}]}",
         MessageId::RecipeMissingKey, "operations[0].highlights.sample"},
        {"{\"sombrel-recipe\": 1, \"save\": {\"format\": \"gif\"}}", MessageId::RecipeOutOfRange, "save.format"},
        {"{\"sombrel-recipe\": 1, \"save\": {\"format\": \"tiff\", \"bits\": 12}}", MessageId::RecipeOutOfRange,
         "save.bits"},
        {"{\"sombrel-recipe\": 1, \"save\": {\"format\": \"jpeg\", \"quality\": 5}}", MessageId::RecipeOutOfRange,
         "save.quality"},
        {"{\"sombrel-recipe\": 1, \"save\": {\"bits\": 8}}", MessageId::RecipeMissingKey, "save.format"},
    };
    for (const Refusal& r : refusals) {
        const Outcome<Recipe> read = parseRecipe(r.json);
        ASSERT_FALSE(read.ok()) << r.json;
        EXPECT_EQ(read.error->id, r.id) << r.json << " -> " << englishText(*read.error);
        EXPECT_NE(read.error->detail.find(r.detail), std::string::npos) << r.json << " -> " << englishText(*read.error);
        EXPECT_NE(englishText(*read.error).find(r.detail), std::string::npos);
    }
    // The range is told with the key.
    const Outcome<Recipe> high = parseRecipe(gammaHigh);
    EXPECT_EQ(englishText(*high.error), "Value out of range in the recipe: tone.gamma (" +
                                             std::to_string(gamma.minimum) + ".." + std::to_string(gamma.maximum) + ")");
    // A missing file names itself.
    const Outcome<Recipe> missing = readRecipe("/nonexistent/recipe.json");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error->id, MessageId::RecipeNotReadable);
    EXPECT_EQ(missing.error->detail, "/nonexistent/recipe.json");
}

TEST(Recipe, WritingWhereItCannotBeWrittenFailsWithTheReason) {
    const Failure failed = writeRecipe("/nonexistent/folder/recipe.json", fullRecipe());
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->id, MessageId::CannotWrite);
    EXPECT_EQ(failed->write.reason, WriteFailure::NoSuchFolder);
}

struct Scene {
    Project project;
    explicit Scene(unsigned seed) : project(test::randomProject(37, 23, seed)) { project.exposureCount = 1; }
};

// Records the outer gauge a recipe drives.
class RecordingProgress final : public ProgressSink {
public:
    void setMaximum(std::int64_t m) override { maximums.push_back(m); }
    void setPosition(std::int64_t p) override { positions.push_back(p); }
    void advance(std::int64_t) override { ++advances; }
    void setTextVisible(bool) override {}
    std::vector<std::int64_t> maximums, positions;
    int advances = 0;
};

TEST(Recipe, ApplyingEqualsTheRenderAndEachApplyThroughTheRegistry) {
    for (const bool localContrast : {false, true}) {
        Recipe r = fullRecipe();
        r.localContrast.enabled = localContrast;
        Scene byRecipe(11), byHand(11);
        RecordingProgress gauge;
        const Outcome<RecipeResult> applied = applyRecipe(byRecipe.project, r, GhostRemovalState{}, gauge);
        ASSERT_TRUE(applied.ok());

        Project& p = byHand.project;
        NullProgress none;
        RenderHistogram histogram;
        const RenderParams params = recipeRenderParams(r);
        EXPECT_EQ(params.gammaPosition, 163);
        EXPECT_EQ(params.blackPosition, 12);
        renderRegion(p.stackBuffer, p.stackMax, p.stackBuffer.bounds(), params, nullptr, p.processedBuffer, histogram,
                     none);
        for (const RecipeStep& s : r.steps) {
            operation(s.operation).run(OperationTarget{p}, p.processedBuffer.bounds(), recipeStepParams(s), none);
            applyFilterOutput(p.processedBuffer, p.processedCopy);
        }
        EXPECT_TRUE(sameBits(byRecipe.project.processedBuffer, p.processedBuffer)) << localContrast;
        EXPECT_TRUE(sameBits(byRecipe.project.newImageBuffer, p.newImageBuffer)) << localContrast;
        EXPECT_EQ(applied.value.histogram.histogram, histogram.histogram);
        EXPECT_TRUE(byRecipe.project.wholeImageProcessed);

        // One gauge for the whole recipe: it never runs backwards within its maximum, and it
        // ends at rest.
        ASSERT_GE(gauge.maximums.size(), 2u);
        const std::int64_t total = gauge.maximums.front();
        EXPECT_EQ(total, (1 + static_cast<std::int64_t>(r.steps.size())) * p.imageHeight);
        std::int64_t last = 0;
        for (std::size_t i = 1; i + 1 < gauge.positions.size(); ++i) {
            EXPECT_GE(gauge.positions[i], last);
            EXPECT_LE(gauge.positions[i], total);
            last = gauge.positions[i];
        }
        EXPECT_GE(last, total - p.imageHeight);
        EXPECT_EQ(gauge.positions.back(), 0);
        EXPECT_EQ(gauge.maximums.back(), p.imageHeight);
    }
}

TEST(Recipe, ApplyingToNoProjectIsRefused) {
    Project empty;
    NullProgress none;
    const Outcome<RecipeResult> applied = applyRecipe(empty, fullRecipe(), GhostRemovalState{}, none);
    ASSERT_FALSE(applied.ok());
    EXPECT_EQ(applied.error->id, MessageId::NoPictureOpen);
}

}  // namespace
}  // namespace sv
