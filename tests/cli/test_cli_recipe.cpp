// sombrel-cli's --write-recipe and --recipe: a command line's look written as a recipe and run
// again on the same bracket gives byte-identical files; every kind of bad recipe stops the run
// with the key named and nothing written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/test_support.h"

namespace sv {
namespace {

class CliRecipe : public testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(SV_CLI_PATH)) GTEST_SKIP() << "sombrel-cli is not built";
    }
    static std::string sample(const char* name) { return std::string(SV_SOURCE_DIR) + "/samples/" + name; }
    static std::vector<std::string> bracket() {
        return {"--open", sample("bracket_minus2.jpg"), "--open", sample("bracket_0.jpg"), "--shift", "1,-2",
                "--open", sample("bracket_plus2.jpg")};
    }
    test::CliRun run(std::vector<std::string> tail) const {
        std::vector<std::string> args = bracket();
        args.insert(args.end(), tail.begin(), tail.end());
        return test::cli(args, dir);
    }
    std::string bytes(const std::string& name) const { return test::readBytes(dir.file(name)); }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir.file(name)); }

    test::TempDir dir;
};

TEST_F(CliRecipe, RecipeOfACommandLineGivesTheSameFilesAgain) {
    // Render with a curve, a filter of every kind of parameter, the neutral point and a balance.
    const test::CliRun made = run({"--gamma", "160", "--saturation", "40", "--white", "240", "--curve", "linear",
                                   "--point", "60,90", "--process", "--sharpen", "amount=80,sigma=15",
                                   "--median", "size=1,threshold=20", "--neutral-sample", "20,20", "--neutral",
                                   "--balance-sample", "midtones,300,200", "--balance-target", "midtones,130,110,100",
                                   "--balance", "--save", dir.file("a.bmp"), "--save", dir.file("a.tif"), "--bits", "16",
                                   "--compression", "none", "--write-recipe", dir.file("r.json")});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string recipe = bytes("r.json");
    for (const char* expected : {"\"sombrel-recipe\": 1", "\"operation\": \"sharpen\"", "\"operation\": \"median\"",
                                 "\"operation\": \"neutral\"", "\"operation\": \"balance\"", "\"midtones\"",
                                 "\"compression\": \"none\"", "\"bits\": 16", "\"curve\": \"linear\""}) {
        EXPECT_NE(recipe.find(expected), std::string::npos) << expected << "\n" << recipe;
    }
    EXPECT_LT(recipe.find("sharpen"), recipe.find("median"));
    EXPECT_LT(recipe.find("neutral"), recipe.find("balance"));

    // The TIFF takes the recipe's save options (16 bits, no compression) without being told.
    const test::CliRun again = run({"--recipe", dir.file("r.json"), "--save", dir.file("b.tif"), "--save",
                                    dir.file("b.bmp"), "--write-recipe", dir.file("r2.json")});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(bytes("a.tif"), bytes("b.tif"));
    EXPECT_EQ(bytes("a.bmp"), bytes("b.bmp"));
    EXPECT_FALSE(bytes("a.tif").empty());
    // What the recipe applied is what is written again, save options aside (the last save was BMP).
    const std::string second = bytes("r2.json");
    EXPECT_EQ(recipe.substr(0, recipe.find("\"save\"")), second.substr(0, second.find("\"save\"")));

    // An explicit option still wins over the recipe's.
    ASSERT_EQ(run({"--recipe", dir.file("r.json"), "--save", dir.file("c.tif"), "--bits", "8"}).status, 0);
    EXPECT_NE(bytes("a.tif"), bytes("c.tif"));
}

TEST_F(CliRecipe, FusionLocalContrastAndGhostRemovalComeBackFromTheRecipe) {
    const test::CliRun fused = run({"--deghost", "2,strength=70", "--fuse", "contrast=140,exposure=60", "--blur",
                                    "sigma=12,opacity=70", "--save", dir.file("f1.tif"), "--write-recipe",
                                    dir.file("f.json")});
    ASSERT_EQ(fused.status, 0) << fused.err;
    const std::string recipe = bytes("f.json");
    EXPECT_NE(recipe.find("\"mode\": \"fusion\""), std::string::npos) << recipe;
    EXPECT_NE(recipe.find("\"ghostStrength\": 70"), std::string::npos) << recipe;
    const test::CliRun again = run({"--recipe", dir.file("f.json"), "--save", dir.file("f2.tif")});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(bytes("f1.tif"), bytes("f2.tif"));

    const test::CliRun local = run({"--local-contrast", "compression=60,radius=30", "--gamma", "120", "--process",
                                    "--save", dir.file("l1.tif"), "--write-recipe", dir.file("l.json")});
    ASSERT_EQ(local.status, 0) << local.err;
    const test::CliRun localAgain = run({"--recipe", dir.file("l.json"), "--save", dir.file("l2.tif")});
    ASSERT_EQ(localAgain.status, 0) << localAgain.err;
    EXPECT_EQ(bytes("l1.tif"), bytes("l2.tif"));
    // Without it, the plain render differs: the recipe did carry the setting.
    ASSERT_EQ(run({"--gamma", "120", "--process", "--save", dir.file("l3.tif")}).status, 0);
    EXPECT_NE(bytes("l1.tif"), bytes("l3.tif"));
}

TEST_F(CliRecipe, ARenderAfterTheFiltersStartsTheRecordAgain) {
    const test::CliRun r = run({"--process", "--blur", "sigma=10", "--process", "--sharpen", "amount=50",
                                "--write-recipe", dir.file("r.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string recipe = bytes("r.json");
    EXPECT_EQ(recipe.find("blur"), std::string::npos) << recipe;
    EXPECT_NE(recipe.find("sharpen"), std::string::npos) << recipe;
    EXPECT_EQ(recipe.find("\"save\""), std::string::npos) << recipe;
}

TEST_F(CliRecipe, EveryBadRecipeStopsTheRunWithTheKeyNamedAndNothingWritten) {
    struct Case {
        const char* json;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"{\"sombrel-recipe\": 7}", "Unknown recipe version: 7"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"gamma\": 0}}", "Value out of range in the recipe: tone.gamma (1..400)"},
        {"{\"sombrel-recipe\": 1, \"tone\": {\"contrast\": 3}}", "Unknown key in the recipe: tone.contrast"},
        {"{\"sombrel-recipe\": 1, \"operations\": [{\"operation\": \"blur\"}, {\"operation\": \"blur\", "
         "\"sigma\": \"wide\"}]}",
         "Wrong type of value in the recipe: operations[1].sigma"},
        {"{\"sombrel-recipe\": 1, \"merge\": {\"deghost\": true, \"ghostReference\": 4}}",
         "Value out of range in the recipe: merge.ghostReference (1..3)"},
        {"not json", "The recipe is not a valid JSON file"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string recipe = dir.file("bad" + std::to_string(n) + ".json");
        const std::string out = "out" + std::to_string(n++) + ".tif";
        test::writeBytes(recipe, c.json);
        const test::CliRun r = run({"--recipe", recipe, "--save", dir.file(out)});
        EXPECT_EQ(r.status, 2) << c.json;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--recipe " + recipe), std::string::npos) << r.err;
        EXPECT_FALSE(exists(out)) << c.json;
    }
    // A missing file, and a recipe before any picture.
    test::writeBytes(dir.file("good.json"), "{\"sombrel-recipe\": 1}");
    const test::CliRun missing = run({"--recipe", dir.file("none.json")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("Cannot read the recipe"), std::string::npos) << missing.err;
    const test::CliRun early = test::cli({"--recipe", dir.file("good.json")}, dir);
    EXPECT_EQ(early.status, 2);
    EXPECT_NE(early.err.find("No picture has been opened."), std::string::npos) << early.err;
    // A recipe that cannot be written: 3, as for any output.
    const test::CliRun unwritable = run({"--process", "--write-recipe", dir.file("no/such/folder/r.json")});
    EXPECT_EQ(unwritable.status, 3);
    EXPECT_NE(unwritable.err.find("cannot write"), std::string::npos) << unwritable.err;
    // --recipe needs its file.
    EXPECT_EQ(run({"--recipe"}).status, 1);
}

}  // namespace
}  // namespace sv
