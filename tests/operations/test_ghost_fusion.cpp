// Fusion after ghost removal: an object that walked into one exposure and is not in the reference
// must not come back through the fusion (engine and command line), while away from it the fused
// picture is the one without ghost removal.
#include <gtest/gtest.h>

#include <cmath>

#include "operations/fusion_source.h"
#include "stack/exposure_stack.h"
#include "stack/ghost_removal.h"
#include "support/bracket_scenes.h"
#include "support/cli_runner.h"
#include "support/test_support.h"

namespace sv {
namespace {

constexpr int kW = 192, kH = 144;
// The object, in scene pixels: only in the +2 EV exposure.
constexpr int kObjX0 = 90, kObjX1 = 130, kObjY0 = 60, kObjY1 = 96;

struct Plan {
    int ox, oy;
    double ev;
};
const Plan kPlan[] = {{20, 20, -2.0}, {24, 17, 0.0}, {17, 25, 2.0}};

struct Bracket {
    test::TempDir dir;
    std::vector<std::string> moving;  // the third shot with the object
    std::vector<std::string> still;   // the same shots without it
    Bracket() {
        const FloatImage scene = test::proceduralScene(kW + 60, kH + 60, 5);
        FloatImage withObject = scene.clone();
        for (int y = kObjY0; y < kObjY1; ++y)
            for (int x = kObjX0; x < kObjX1; ++x) {
                withObject.at(x, y, 0) = 0.02f;
                withObject.at(x, y, 1) = 0.005f;
                withObject.at(x, y, 2) = 0.004f;
            }
        for (int k = 0; k < 3; ++k) {
            const Plan& p = kPlan[k];
            const test::Shot shot{p.ox, p.oy, kW, kH, p.ev, 0.0, 1.0, 2.0, 0, static_cast<unsigned>(k + 1)};
            const std::string plain = dir.file("shot" + std::to_string(k) + ".jpg");
            test::writeJpeg(plain, test::shootRgb(scene, shot), kW, kH, 95);
            still.push_back(plain);
            if (k == 2) {
                moving.push_back(dir.file("moving.jpg"));
                test::writeJpeg(moving.back(), test::shootRgb(withObject, shot), kW, kH, 95);
            } else {
                moving.push_back(plain);
            }
        }
    }
};

Project openShots(const std::vector<std::string>& paths) {
    Project project;
    NullProgress progress;
    for (int k = 0; k < 3; ++k) {
        project.openInProgress = true;
        const OpenResult r = loadPicture(project, paths[static_cast<std::size_t>(k)], false, DecodeHooks{}, progress);
        EXPECT_TRUE(r.opened);
        project.newestExposure().shiftX = kPlan[k].ox - kPlan[0].ox;
        project.newestExposure().shiftY = kPlan[k].oy - kPlan[0].oy;
        addExposure(project, progress);
        project.openInProgress = false;
    }
    return project;
}

// Mean absolute difference over a rectangle of stack pixels.
double meanDifference(const FloatImage& a, const FloatImage& b, const Region& r) {
    double sum = 0.0;
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x)
            for (int c = 0; c < 3; ++c) sum += std::fabs(a.at(x, y, c) - b.at(x, y, c));
    return sum / (3.0 * r.width * r.height);
}

// The object's core in stack pixels (stack pixel x shows scene pixel x + the first shot's origin),
// and a stretch of the picture well away from it.
const Region kCore{kObjX0 - kPlan[0].ox + 4, kObjX1 - kObjX0 - 8, kObjY0 - kPlan[0].oy + 4, kObjY1 - kObjY0 - 8};
const Region kFar{4, 40, 4, 30};

FloatImage fused(FusionSource& source) {
    FloatImage out(kW, kH);
    NullProgress progress;
    EXPECT_TRUE(fusePicture(source, FusionParams{}, out, progress).ok());
    return out;
}

TEST(GhostFusion, TheObjectRemovedFromTheStackStaysOutOfTheFusion) {
    Bracket bracket;
    Project project = openShots(bracket.moving);
    const Project still = openShots(bracket.still);
    GhostRemovalState ghosts;
    NullProgress progress;
    ASSERT_TRUE(removeGhosts(project, ghosts, GhostRemovalParams{1, 50}, 3, exposureFiles(project, DecodeHooks{}), progress)
                    .done);
    FileFusionSource corrected = projectFusionSource(project, DecodeHooks{}, ghosts);
    FileFusionSource plain = projectFusionSource(project, DecodeHooks{});
    FileFusionSource clean = projectFusionSource(still, DecodeHooks{});
    const FloatImage withGhostRemoval = fused(corrected), without = fused(plain), reference = fused(clean);

    // Without the correction the object shows; with it the core is the scene without the object.
    const double ghost = meanDifference(without, reference, kCore);
    const double left = meanDifference(withGhostRemoval, reference, kCore);
    EXPECT_GT(ghost, 0.03) << "the scene should make the object visible in a plain fusion";
    EXPECT_LT(left, 0.2 * ghost) << "ghost " << ghost << ", left " << left;
    // Away from it the correction changes next to nothing.
    EXPECT_LT(meanDifference(withGhostRemoval, without, kFar), 0.004);

    // Turned off, the plain exposures again; the key tells the two brackets apart for the cache.
    EXPECT_NE(fusionBracketKey(project, ghosts), fusionBracketKey(project));
    GhostRemovalState off;
    EXPECT_EQ(fusionBracketKey(project, off), fusionBracketKey(project));
    FileFusionSource offSource = projectFusionSource(project, DecodeHooks{}, off);
    EXPECT_EQ(meanDifference(fused(offSource), without, Region{0, kW, 0, kH}), 0.0);
}

TEST(GhostFusion, CommandLineFusesTheCorrectedExposuresAfterDeghost) {
    Bracket bracket;
    const auto run = [&](const std::vector<std::string>& paths, bool deghost, const std::string& out) {
        std::vector<std::string> args;
        for (int k = 0; k < 3; ++k) {
            args.insert(args.end(), {"--open", paths[static_cast<std::size_t>(k)]});
            if (k > 0) {
                args.insert(args.end(), {"--shift", std::to_string(kPlan[k].ox - kPlan[0].ox) + "," +
                                                        std::to_string(kPlan[k].oy - kPlan[0].oy)});
            }
        }
        if (deghost) args.insert(args.end(), {"--deghost", "2"});
        args.insert(args.end(), {"--fuse", "--dump-processed", bracket.dir.file(out)});
        const test::CliRun r = test::cli(args, bracket.dir);
        EXPECT_EQ(r.status, 0) << r.err;
        return test::readPfm(bracket.dir.file(out));
    };
    const FloatImage corrected = run(bracket.moving, true, "corrected.pfm");
    const FloatImage plain = run(bracket.moving, false, "plain.pfm");
    const FloatImage reference = run(bracket.still, false, "reference.pfm");
    ASSERT_EQ(corrected.width(), kW);
    ASSERT_EQ(plain.width(), kW);
    ASSERT_EQ(reference.width(), kW);
    const double ghost = meanDifference(plain, reference, kCore);
    EXPECT_GT(ghost, 0.03);
    EXPECT_LT(meanDifference(corrected, reference, kCore), 0.2 * ghost);
}

}  // namespace
}  // namespace sv
