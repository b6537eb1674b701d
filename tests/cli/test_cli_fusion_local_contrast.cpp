// sombrel-cli's --fuse and --local-contrast: their settings parsed against the controls'
// descriptions, mistakes refused with a clear reason, and results bit for bit those of the engine
// called directly on the same files and stack.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "stack/project.h"
#include "support/cli_runner.h"
#include "support/test_support.h"
#include "tone/exposure_fusion.h"
#include "tone/fused_levels.h"
#include "tone/fusion_source.h"
#include "tone/local_contrast.h"
#include "tone/render.h"

namespace sv {
namespace {

constexpr int kW = 52, kH = 37;

// One scene at three brightnesses: smooth light, a bright patch and fine texture.
std::vector<unsigned char> exposure(float gain, unsigned seed) {
    const std::vector<unsigned char> noise = test::randomRgb(kW, kH, seed);
    std::vector<unsigned char> rgb(noise.size());
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            for (int c = 0; c < 3; ++c) {
                const std::size_t i = (static_cast<std::size_t>(y) * kW + x) * 3 + c;
                const float scene = (x > 30 && y < 15 ? 600.0f : 30.0f + 2.0f * x + y * (c + 1)) + noise[i] / 12.0f;
                rgb[i] = static_cast<unsigned char>(std::min(gain * scene, 255.0f));
            }
    return rgb;
}

bool sameBits(const FloatImage& a, const FloatImage& b) {
    return !a.empty() && a.sameSize(b) && std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)) == 0;
}

class CliFusionLocalContrast : public testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(SV_CLI_PATH)) GTEST_SKIP() << "sombrel-cli is not built";
        const float gains[3] = {0.25f, 0.7f, 2.0f};
        for (int k = 0; k < 3; ++k) {
            files.push_back(dir.file("e" + std::to_string(k) + ".jpg"));
            ASSERT_TRUE(test::writeJpeg(files.back(), exposure(gains[k], 10u + k), kW, kH, 92));
        }
    }

    // --open of each file, the last one shifted by (2, -1).
    std::vector<std::string> opens() const {
        return {"--open", files[0], "--open", files[1], "--open", files[2], "--shift", "2,-1"};
    }
    test::CliRun run(std::vector<std::string> tail) const {
        std::vector<std::string> args = opens();
        args.insert(args.end(), tail.begin(), tail.end());
        return test::cli(args, dir);
    }

    // The engine on the same files: the fusion, then the white and black points.
    FloatImage fusedByTheEngine(const FusionParams& params, int white, int black, RenderHistogram& levels) const {
        Project project;
        project.imageWidth = kW;
        project.imageHeight = kH;
        project.exposureCount = 3;
        for (int k = 0; k < 3; ++k) project.exposures[static_cast<std::size_t>(k)].path = files[static_cast<std::size_t>(k)];
        project.exposures[2].shiftX = 2;
        project.exposures[2].shiftY = -1;
        FileFusionSource source = projectFusionSource(project, DecodeHooks{});
        FloatImage out(kW, kH);
        NullProgress quiet;
        EXPECT_TRUE(fusePicture(source, params, out, quiet).ok());
        fusedLevels(out, 0, 0, out.bounds(), white, black, out, levels, quiet);
        return out;
    }

    // The engine's render of the stack the CLI dumped.
    FloatImage renderedByTheEngine(const RenderParams& params) const {
        const FloatImage stack = test::readPfm(dir.file("stack.pfm"));
        const std::string json = test::readBytes(dir.file("report.json"));
        const std::size_t at = json.find("\"stackMax\":");
        const float stackMax = std::stof(json.substr(at + 11));
        FloatImage out(stack.width(), stack.height());
        RenderHistogram result;
        NullProgress quiet;
        renderRegion(stack, stackMax, stack.bounds(), params, out, result, quiet);
        return out;
    }

    test::TempDir dir;
    std::vector<std::string> files;
};

TEST_F(CliFusionLocalContrast, FuseGivesTheEnginesFusionWithThePointsAndHistogram) {
    const std::string fused = dir.file("fused.pfm"), report = dir.file("report.json");
    test::CliRun r = run({"--fuse", "--dump-processed", fused, "--report", report});
    ASSERT_EQ(r.status, 0) << r.err;
    RenderHistogram levels;
    EXPECT_TRUE(sameBits(test::readPfm(fused), fusedByTheEngine(FusionParams{}, 255, 0, levels)));
    const std::string json = test::readBytes(report);
    EXPECT_NE(json.find("\"histogramPeak\": " + std::to_string(levels.histogramPeak)), std::string::npos) << json;

    // Weights given, keys in any order, one left out; the points set before it apply to the fusion.
    r = run({"--white", "210", "--black", "12", "--fuse", "exposure=150,contrast=40", "--dump-processed", fused});
    ASSERT_EQ(r.status, 0) << r.err;
    FusionParams params;
    params.contrastPosition = 40;
    params.exposurePosition = 150;
    const FloatImage expected = fusedByTheEngine(params, 210, 12, levels);
    EXPECT_TRUE(sameBits(test::readPfm(fused), expected));
    EXPECT_FALSE(sameBits(expected, fusedByTheEngine(FusionParams{}, 210, 12, levels)));
}

TEST_F(CliFusionLocalContrast, LaterOperatorsWorkOnTheFusedPictureAndFusionStaysChosen) {
    const std::string fused = dir.file("fused.pfm"), again = dir.file("again.pfm"), rendered = dir.file("render.pfm");
    // A removal after --fuse: the picture is needed again and is fused again, from two exposures.
    test::CliRun r = run({"--fuse", "saturation=0", "--dump-processed", fused, "--remove", "3", "--dump-processed",
                          again, "--process", "--dump-processed", rendered, "--dump-stack", dir.file("stack.pfm"),
                          "--report", dir.file("report.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    FusionParams params;
    params.saturationPosition = 0;
    RenderHistogram levels;
    EXPECT_TRUE(sameBits(test::readPfm(fused), fusedByTheEngine(params, 255, 0, levels)));
    Project two;
    two.imageWidth = kW;
    two.imageHeight = kH;
    two.exposureCount = 2;
    two.exposures[0].path = files[0];
    two.exposures[1].path = files[1];
    FileFusionSource source = projectFusionSource(two, DecodeHooks{});
    FloatImage expected(kW, kH);
    NullProgress quiet;
    ASSERT_TRUE(fusePicture(source, params, expected, quiet).ok());
    EXPECT_TRUE(sameBits(test::readPfm(again), expected));
    // --process chooses the render again.
    EXPECT_TRUE(sameBits(test::readPfm(rendered), renderedByTheEngine(RenderParams{})));

    // A filter after --fuse reads the fused picture: blurred, it differs from the blurred render.
    ASSERT_EQ(run({"--fuse", "--blur", "sigma=20", "--dump-processed", fused}).status, 0);
    ASSERT_EQ(run({"--process", "--blur", "sigma=20", "--dump-processed", rendered}).status, 0);
    EXPECT_FALSE(sameBits(test::readPfm(fused), test::readPfm(rendered)));
}

TEST_F(CliFusionLocalContrast, LocalContrastReachesTheRenderAndKeysLeftOutTakeDefaults) {
    const std::string out = dir.file("out.pfm");
    test::CliRun r = run({"--dump-stack", dir.file("stack.pfm"), "--report", dir.file("report.json"), "--gamma", "140",
                          "--local-contrast", "compression=80,radius=35", "--process", "--dump-processed", out});
    ASSERT_EQ(r.status, 0) << r.err;
    RenderParams params;
    params.gammaPosition = 140;
    params.localContrast.enabled = true;
    params.localContrast.compressionPosition = 80;
    params.localContrast.radiusPosition = 35;
    const FloatImage expected = renderedByTheEngine(params);
    EXPECT_TRUE(sameBits(test::readPfm(out), expected));
    params.localContrast.enabled = false;
    EXPECT_FALSE(sameBits(expected, renderedByTheEngine(params)));

    // Alone it takes every default; "off" is the plain render; no --process: the dump renders.
    ASSERT_EQ(run({"--local-contrast", "--dump-processed", out}).status, 0);
    RenderParams defaults;
    defaults.localContrast.enabled = true;
    EXPECT_TRUE(sameBits(test::readPfm(out), renderedByTheEngine(defaults)));
    ASSERT_EQ(run({"--local-contrast", "detail=150", "--local-contrast", "off", "--dump-processed", out}).status, 0);
    EXPECT_TRUE(sameBits(test::readPfm(out), renderedByTheEngine(RenderParams{})));
}

TEST_F(CliFusionLocalContrast, SettingsOutsideTheirDescriptionsAreRefused) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--fuse", "contrast=201"}, "--fuse contrast must lie in 0..200, not 201"},
        {{"--fuse", "exposure=-1"}, "--fuse exposure must lie in 0..200, not -1"},
        {{"--fuse", "gamma=1"}, "--fuse: unknown setting 'gamma'"},
        {{"--fuse", "contrast"}, "--fuse: expected key=value, got 'contrast'"},
        {{"--fuse", "saturation=x"}, "--fuse saturation: 'x' is not a whole number"},
        {{"--local-contrast", "radius=4"}, "--local-contrast radius must lie in 5..100, not 4"},
        {{"--local-contrast", "compression=101"}, "--local-contrast compression must lie in 0..100, not 101"},
        {{"--local-contrast", "detail=201"}, "--local-contrast detail must lie in 0..200, not 201"},
        {{"--local-contrast", "strength=3"}, "--local-contrast: unknown setting 'strength'"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("--save");
        args.push_back(dir.file("never.tif"));
        const test::CliRun r = run(args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("never.tif")));
    }
    // Ends of the ranges are taken.
    EXPECT_EQ(run({"--fuse", "contrast=0,saturation=200,exposure=0"}).status, 0);
    EXPECT_EQ(run({"--local-contrast", "compression=0,detail=200,radius=100", "--process"}).status, 0);
    // Without a picture there is nothing to fuse.
    const test::CliRun none = test::cli({"--fuse"}, dir);
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("no picture has been opened"), std::string::npos) << none.err;
}

TEST_F(CliFusionLocalContrast, AnExposureThatCannotBeReadAgainStopsTheRun) {
    // The fusion reads the files again. Here an earlier output overwrites one of them with a PFM,
    // which its ".jpg" name can no longer be decoded as: the run stops before anything is saved.
    std::filesystem::copy_file(files[1], dir.file("second.jpg"));
    const test::CliRun r = test::cli({"--open", files[0], "--open", dir.file("second.jpg"), "--dump-stack",
                                      dir.file("second.jpg"), "--fuse", "--save", dir.file("never.tif")},
                                     dir);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("--fuse: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("second.jpg"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("never.tif")));
}

}  // namespace
}  // namespace sv
