// sombrel-cli's automatic alignment and ghost removal: the same numbers as the engine on the same
// files, the report's alignment fields, the warning on a rotated pair, the ghost mask dump, and
// clear refusals of bad usage.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "stack/auto_align.h"
#include "stack/exposure_stack.h"
#include "stack/ghost_removal.h"
#include "support/bracket_scenes.h"
#include "support/cli_runner.h"
#include "support/test_support.h"

namespace sv {
namespace {

using test::cli;
using test::CliRun;
using test::readPfm;

constexpr int kW = 200;
constexpr int kH = 150;

class CliAlignDeghost : public testing::Test {
protected:
    // Writes one exposure of the scene shot at (ox, oy); `object` paints a dark block that is
    // there in this exposure only.
    std::string shot(const std::string& name, int ox, int oy, double ev, double rotation = 0.0, bool object = false) {
        FloatImage scene = base.clone();
        if (object) {
            for (int y = 90; y < 120; ++y) {
                for (int x = 100; x < 130; ++x) {
                    for (int c = 0; c < 3; ++c) scene.at(x, y, c) = c == 0 ? 0.02f : 0.004f;
                }
            }
        }
        const std::vector<unsigned char> rgb =
            test::shootRgb(scene, {ox, oy, kW, kH, ev, rotation, 1.0, 2.0, 92, seed++});
        const std::string path = dir.file(name);
        EXPECT_TRUE(test::writeJpeg(path, rgb, kW, kH, 95));
        return path;
    }

    // The engine on the same files: each opened, given its shift and added.
    Project engineProject(const std::vector<std::string>& paths, const std::vector<std::pair<int, int>>& shifts) {
        Project p;
        NullProgress progress;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            p.openInProgress = true;
            EXPECT_TRUE(loadPicture(p, paths[i], false, DecodeHooks{}, progress).opened);
            p.openInProgress = false;
            p.newestExposure().shiftX = shifts[i].first;
            p.newestExposure().shiftY = shifts[i].second;
            addExposure(p, progress);
        }
        return p;
    }

    test::TempDir dir;
    FloatImage base = test::proceduralScene(kW + 80, kH + 80, 6);
    unsigned seed = 1;
};

bool sameSamples(const FloatImage& a, const FloatImage& b) {
    return a.sameSize(b) && std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)) == 0;
}

TEST_F(CliAlignDeghost, ShiftAutoFindsTheShiftTheEngineFindsAndReportsHowEachWasChosen) {
    const std::string a = shot("a.jpg", 40, 40, 0.0), b = shot("b.jpg", 40 - 17, 40 + 9, -2.0),
                      c = shot("c.jpg", 40, 40, 1.0);
    const std::string pfm = dir.file("s.pfm");
    const CliRun r = cli({"--open", a, "--shift", "auto", "--open", b, "--shift", "auto", "--open", c, "--shift",
                          "0,0", "--dump-stack", pfm, "--report", "-"},
                         dir);
    ASSERT_EQ(r.status, 0) << r.err;
    // b was shot 17 pixels left of and 9 below a: its pixel (u, v) shows stack pixel (u - 17, v + 9).
    EXPECT_NE(r.out.find("\"shiftX\": -17, \"shiftY\": 9, \"alignment\": \"auto\", \"alignmentResidual\": "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"shiftX\": 0, \"shiftY\": 0, \"alignment\": \"none\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"alignment\": \"manual\"}"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"alignmentDoubtful\": false"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("rotated"), std::string::npos) << r.err;

    // The engine's own suggestion on the same pictures, and its residual as the report prints it.
    Project p = engineProject({a}, {{0, 0}});
    NullProgress progress;
    p.openInProgress = true;
    ASSERT_TRUE(loadPicture(p, b, false, DecodeHooks{}, progress).opened);
    const AutoAlignResult found = autoAlign(p.newImageBuffer, p.stackBuffer, AutoAlignParams{}, progress);
    char residual[64];
    std::snprintf(residual, sizeof residual, "\"alignmentResidual\": %.9g,", found.residual);
    EXPECT_NE(r.out.find(residual), std::string::npos) << r.out;
    const Project merged = engineProject({a, b, c}, {{0, 0}, {found.shiftX, found.shiftY}, {0, 0}});
    EXPECT_TRUE(sameSamples(readPfm(pfm), merged.stackBuffer));

    // Without --shift auto the report is the one it always was.
    const CliRun plain = cli({"--open", a, "--open", b, "--shift", "-17,9", "--report", "-"}, dir);
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out.find("alignment"), std::string::npos) << plain.out;
}

TEST_F(CliAlignDeghost, ARotatedPairIsMergedWithAWarning) {
    const std::string a = shot("a.jpg", 40, 40, 0.0), b = shot("b.jpg", 45, 35, 1.0, 4.0);
    const CliRun r = cli({"--open", a, "--open", b, "--shift", "auto", "--report", "-"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(b + ": The images may be rotated or the camera moved: check the difference view."),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("\"alignmentDoubtful\": true"), std::string::npos) << r.out;
}

TEST_F(CliAlignDeghost, DeghostMergesAsTheEngineDoesAndDumpsTheMask) {
    const std::vector<std::string> paths = {shot("a.jpg", 40, 40, -1.0), shot("b.jpg", 40, 40, 0.0),
                                            shot("c.jpg", 40, 40, 1.0, 0.0, true), shot("d.jpg", 40, 40, 0.5)};
    const std::string stack = dir.file("s.pfm"), mask = dir.file("m.pfm"), later = dir.file("later.pfm");
    const CliRun r = cli({"--open", paths[0], "--open", paths[1], "--open", paths[2], "--deghost", "2,strength=70",
                          "--dump-stack", stack, "--dump-ghost-mask", mask, "--open", paths[3], "--dump-stack", later,
                          "--report", "-"},
                         dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"deghost\": {\"reference\": 2, \"strength\": 70}"), std::string::npos) << r.out;

    Project p = engineProject({paths[0], paths[1], paths[2]}, {{0, 0}, {0, 0}, {0, 0}});
    GhostRemovalState state;
    NullProgress progress;
    const ExposureSource files = exposureFiles(p, DecodeHooks{});
    ASSERT_TRUE(removeGhosts(p, state, GhostRemovalParams{1, 70}, 3, files, progress).done);
    EXPECT_TRUE(sameSamples(readPfm(stack), p.stackBuffer));

    const FloatImage dumped = readPfm(mask);
    ASSERT_EQ(dumped.width(), kW);
    ASSERT_EQ(dumped.height(), kH);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            const float m = state.mask[static_cast<std::size_t>(y) * kW + x];
            for (int c = 0; c < 3; ++c) ASSERT_EQ(dumped.at(x, y, c), m) << x << "," << y;
        }
    }
    // The object (scene 100..130 x 90..120, shot from 40, 40) is masked; a far corner is not.
    EXPECT_GT(dumped.at(75, 65, 0), 0.9f);
    EXPECT_LT(dumped.at(5, 5, 0), 0.05f);

    // A later --open keeps ghost removal on: merged again with the new exposure.
    p.openInProgress = true;
    ASSERT_TRUE(loadPicture(p, paths[3], false, DecodeHooks{}, progress).opened);
    p.openInProgress = false;
    ASSERT_TRUE(addExposureWithoutGhosts(p, state, files, progress).done);
    EXPECT_TRUE(sameSamples(readPfm(later), p.stackBuffer));
}

TEST_F(CliAlignDeghost, BadUsageIsRefusedClearly) {
    const std::string a = shot("a.jpg", 40, 40, 0.0), b = shot("b.jpg", 40, 40, 1.0);
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--open", a, "--open", b, "--deghost", "3"}, "--deghost 3: there are 2 exposures"},
        {{"--open", a, "--deghost", "1,strength=101"}, "--deghost strength must lie in 0..100"},
        {{"--open", a, "--deghost", "1,force=3"}, "unknown setting 'force'"},
        {{"--open", a, "--dump-ghost-mask", dir.file("m.pfm")}, "--dump-ghost-mask needs --deghost first"},
        {{"--open", a, "--shift", "automatic"}, "--shift takes DX,DY or auto"},
    };
    for (const auto& c : cases) {
        const CliRun r = cli(c.args, dir);
        EXPECT_EQ(r.status, 1) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_FALSE(test::haveFile(dir.file("m.pfm")));
    // Removing the reference while on hands over, and removing every exposure turns it off.
    const CliRun r = cli({"--open", a, "--open", b, "--deghost", "1", "--remove", "1", "--report", "-", "--remove",
                          "1", "--report", "-"},
                         dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t second = r.out.find("}\n{");
    ASSERT_NE(second, std::string::npos) << r.out;
    EXPECT_NE(r.out.substr(0, second).find("\"deghost\": {\"reference\": 1,"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(second).find("deghost"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace sv
