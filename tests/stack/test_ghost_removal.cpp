// Ghost removal on a real project built from JPEG files: a moving object in one exposure is
// masked and the stack under it is the reference's share; elsewhere the stack is the plain sum;
// the mask is smooth; turning it off gives the plain stack back bit for bit; adding and removing
// while it is on keep the plain stack exactly as without it; the brightness mapping recovers a
// known curve; re-reading a 16-bit TIFF reproduces what was added without asking again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>

#include "imagefiles/file_builders.h"
#include "stack/exposure_stack.h"
#include "stack/ghost_removal.h"
#include "support/bracket_scenes.h"
#include "support/test_support.h"

namespace sv {
namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr int kOriginX = 20;
constexpr int kOriginY = 20;
// The moving object, in scene pixels: present only in the +2 EV exposure.
constexpr int kObjX0 = 150, kObjX1 = 190, kObjY0 = 100, kObjY1 = 140;

struct ShotPlan {
    int ox, oy;
    double ev;
    bool object;
};
const ShotPlan kPlan[] = {{kOriginX, kOriginY, -2.0, false}, {kOriginX + 5, kOriginY - 3, 0.0, false},
                          {kOriginX - 4, kOriginY + 6, 2.0, true}, {kOriginX + 2, kOriginY + 2, 1.0, false}};

std::vector<float> samplesOf(const FloatImage& image) {
    return std::vector<float>(image.data(), image.data() + image.sampleCount());
}

struct Bracket {
    test::TempDir dir;
    std::vector<std::string> paths;
    Bracket() {
        FloatImage scene = test::proceduralScene(kW + 60, kH + 60, 8);
        FloatImage withObject = scene.clone();
        for (int y = kObjY0; y < kObjY1; ++y) {
            for (int x = kObjX0; x < kObjX1; ++x) {
                withObject.at(x, y, 0) = 0.02f;  // a dark red thing walked in
                withObject.at(x, y, 1) = 0.005f;
                withObject.at(x, y, 2) = 0.004f;
            }
        }
        unsigned seed = 1;
        for (const ShotPlan& p : kPlan) {
            const std::vector<unsigned char> rgb =
                test::shootRgb(p.object ? withObject : scene, {p.ox, p.oy, kW, kH, p.ev, 0.0, 1.0, 2.0, 0, seed++});
            paths.push_back(dir.file("shot" + std::to_string(paths.size()) + ".jpg"));
            test::writeJpeg(paths.back(), rgb, kW, kH, 95);
        }
    }
};

Bracket& bracket() {
    static Bracket b;
    return b;
}

// Opens the first `count` shots, each aligned by its true shift, as the window does.
Project openBracket(int count) {
    Project project;
    NullProgress progress;
    const DecodeHooks hooks;
    for (int k = 0; k < count; ++k) {
        project.openInProgress = true;
        const OpenResult r = loadPicture(project, bracket().paths[static_cast<std::size_t>(k)], false, hooks, progress);
        EXPECT_TRUE(r.opened);
        project.newestExposure().shiftX = kPlan[k].ox - kPlan[0].ox;
        project.newestExposure().shiftY = kPlan[k].oy - kPlan[0].oy;
        addExposure(project, progress);
        project.openInProgress = false;
    }
    return project;
}

FloatImage decoded(const std::string& path) {
    NullProgress progress;
    return std::move(decodePicture(path, DecodeHooks{}, progress).pixels);
}

float addTerm(float l, float multiplier, float v) {
    return static_cast<float>(1.0 / (0.7 * l + 1.0)) * multiplier * v;
}

TEST(GhostRemoval, MasksTheMovingObjectAndStacksTheReferenceShareUnderIt) {
    Project project = openBracket(3);
    const std::vector<float> plain = samplesOf(project.stackBuffer);
    GhostRemovalState state;
    NullProgress progress;
    const GhostResult r = removeGhosts(project, state, GhostRemovalParams{1, 50}, 3,
                                       exposureFiles(project, DecodeHooks{}), progress);
    ASSERT_TRUE(r.done);
    ASSERT_TRUE(state.active);
    ASSERT_EQ(state.mask.size(), static_cast<std::size_t>(kW) * kH);

    // Stack pixels of the object's core, and of the picture well away from it.
    const auto maskAt = [&](int x, int y) { return state.mask[static_cast<std::size_t>(y) * kW + x]; };
    const FloatImage reference = decoded(bracket().paths[1]);
    std::vector<FloatImage> shots;
    for (int k = 0; k < 3; ++k) shots.push_back(decoded(bracket().paths[static_cast<std::size_t>(k)]));
    const auto shift = [&](int k) { return std::pair{kPlan[k].ox - kPlan[0].ox, kPlan[k].oy - kPlan[0].oy}; };
    const BrightnessMapping toBright = fitBrightnessMapping(reference, shots[2], shift(2).first - shift(1).first,
                                                            shift(2).second - shift(1).second);
    int core = 0;
    for (int y = kObjY0 + 4 - kPlan[0].oy; y < kObjY1 - 4 - kPlan[0].oy; ++y) {
        for (int x = kObjX0 + 4 - kPlan[0].ox; x < kObjX1 - 4 - kPlan[0].ox; ++x) {
            ASSERT_GE(maskAt(x, y), 0.999f) << x << "," << y;
            // The reference's share: the dark exposure as it is (no object there), the reference,
            // and the bright exposure replaced by the reference mapped to its brightness, summed
            // as adding does.
            const int rx = x - shift(1).first, ry = y - shift(1).second;
            const float* e0 = shots[0].row(y - shift(0).second) + 3 * (x - shift(0).first);
            const float* rv = reference.row(ry) + 3 * rx;
            float stand[3];
            for (int c = 0; c < 3; ++c) stand[c] = toBright.apply(c, rv[c]);
            for (int c = 0; c < 3; ++c) {
                float s = 0.0f;
                s += addTerm(maxOfThree(e0[0], e0[1], e0[2]), 1.0f, e0[c]);
                s += addTerm(maxOfThree(rv[0], rv[1], rv[2]), 1.0f, rv[c]);
                s += addTerm(maxOfThree(stand[0], stand[1], stand[2]), 1.0f, stand[c]);
                EXPECT_NEAR(project.stackBuffer.at(x, y, c), s, 2e-6f * std::max(1.0f, s)) << x << "," << y << "," << c;
            }
            ++core;
        }
    }
    EXPECT_GT(core, 500);

    // Away from the object nothing is masked (allowing a stray block or two of noise), and where
    // the mask is 0 the stack is the plain sum bit for bit.
    int far = 0, quiet = 0, unchanged = 0, zero = 0;
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            const int sx = x + kPlan[0].ox, sy = y + kPlan[0].oy;
            const bool away = sx < kObjX0 - 30 || sx >= kObjX1 + 30 || sy < kObjY0 - 30 || sy >= kObjY1 + 30;
            if (away) {
                ++far;
                quiet += maskAt(x, y) < 0.05f;
            }
            if (maskAt(x, y) == 0.0f) {
                ++zero;
                for (int c = 0; c < 3; ++c) {
                    const std::size_t i = (static_cast<std::size_t>(y) * kW + x) * 3 + c;
                    unchanged += std::memcmp(&project.stackBuffer.data()[i], &plain[i], sizeof(float)) == 0;
                }
            }
        }
    }
    EXPECT_GE(quiet, 0.99 * far);
    EXPECT_GT(zero, kW * kH / 2);
    EXPECT_EQ(unchanged, 3 * zero);

    // No seams: the mask changes by small steps between neighbours.
    float steepest = 0.0f;
    for (int y = 0; y + 1 < kH; ++y) {
        for (int x = 0; x + 1 < kW; ++x) {
            steepest = std::max({steepest, std::fabs(maskAt(x + 1, y) - maskAt(x, y)), std::fabs(maskAt(x, y + 1) - maskAt(x, y))});
        }
    }
    EXPECT_LE(steepest, 0.25f);

    // stackMax: the add's rule for the last exposure merged (its shifted pixels only).
    float touched = 0.0f;
    const auto [lx, ly] = shift(2);
    for (int y = std::max(0, ly); y < std::min(kH, kH + ly); ++y) {
        for (int x = std::max(0, lx); x < std::min(kW, kW + lx); ++x) {
            for (int c = 0; c < 3; ++c) touched = std::max(touched, project.stackBuffer.at(x, y, c));
        }
    }
    EXPECT_EQ(project.stackMax, touched);
}

TEST(GhostRemoval, OffGivesThePlainStackBackAndStrengthZeroChangesNothing) {
    Project project = openBracket(3);
    const std::vector<float> plain = samplesOf(project.stackBuffer);
    const float plainMax = project.stackMax;
    GhostRemovalState state;
    NullProgress progress;
    const ExposureSource files = exposureFiles(project, DecodeHooks{});
    ASSERT_TRUE(removeGhosts(project, state, GhostRemovalParams{2, 80}, 3, files, progress).done);
    EXPECT_NE(samplesOf(project.stackBuffer), plain);
    // Another reference and strength: merged again from the plain stack, still on.
    ASSERT_TRUE(removeGhosts(project, state, GhostRemovalParams{0, 30}, 3, files, progress).done);
    EXPECT_EQ(state.params.reference, 0);
    restorePlainStack(project, state);
    EXPECT_FALSE(state.active);
    EXPECT_TRUE(state.mask.empty());
    EXPECT_EQ(samplesOf(project.stackBuffer), plain);
    EXPECT_EQ(project.stackMax, plainMax);

    // Strength 0: nothing is replaced, and a sum of unchanged exposures is the plain one.
    ASSERT_TRUE(removeGhosts(project, state, GhostRemovalParams{1, 0}, 3, files, progress).done);
    EXPECT_TRUE(std::all_of(state.mask.begin(), state.mask.end(), [](float m) { return m == 0.0f; }));
    EXPECT_EQ(samplesOf(project.stackBuffer), plain);
    restorePlainStack(project, state);
}

TEST(GhostRemoval, AddingAndRemovingWhileOnKeepItOnAndThePlainStackExact) {
    Project project = openBracket(3);
    Project twin = openBracket(3);
    GhostRemovalState state;
    NullProgress progress;
    const DecodeHooks hooks;
    const ExposureSource files = exposureFiles(project, hooks);
    ASSERT_TRUE(removeGhosts(project, state, GhostRemovalParams{1, 50}, 3, files, progress).done);

    for (Project* p : {&project, &twin}) {
        p->openInProgress = true;
        ASSERT_TRUE(loadPicture(*p, bracket().paths[3], false, hooks, progress).opened);
        p->newestExposure().shiftX = kPlan[3].ox - kPlan[0].ox;
        p->newestExposure().shiftY = kPlan[3].oy - kPlan[0].oy;
        p->openInProgress = false;
    }
    addExposure(twin, progress);
    ASSERT_TRUE(addExposureWithoutGhosts(project, state, files, progress).done);
    EXPECT_TRUE(state.active);
    EXPECT_EQ(samplesOf(state.plainStack), samplesOf(twin.stackBuffer));
    EXPECT_EQ(state.plainStackMax, twin.stackMax);
    EXPECT_EQ(project.exposureCount, 4);

    // Removing an exposure before the reference: the reference follows its record.
    ASSERT_TRUE(removeExposure(twin, 0, hooks, progress).removed);
    ASSERT_TRUE(removeExposureWithoutGhosts(project, state, 0, hooks, files, progress).done);
    EXPECT_TRUE(state.active);
    EXPECT_EQ(state.params.reference, 0);
    EXPECT_EQ(project.exposures[0].path, bracket().paths[1]);
    EXPECT_EQ(samplesOf(state.plainStack), samplesOf(twin.stackBuffer));
    // Removing the reference hands over to the record that takes its place.
    ASSERT_TRUE(removeExposure(twin, 0, hooks, progress).removed);
    ASSERT_TRUE(removeExposureWithoutGhosts(project, state, 0, hooks, files, progress).done);
    EXPECT_EQ(state.params.reference, 0);
    EXPECT_EQ(project.exposures[0].path, bracket().paths[2]);
    restorePlainStack(project, state);
    EXPECT_EQ(samplesOf(project.stackBuffer), samplesOf(twin.stackBuffer));
    EXPECT_EQ(project.stackMax, twin.stackMax);
}

TEST(GhostRemoval, AFileThatIsGoneLeavesThePlainStackAndTurnsItOff) {
    test::TempDir dir;
    Project project = openBracket(3);
    const std::vector<float> plain = samplesOf(project.stackBuffer);
    const float plainMax = project.stackMax;
    // The record now points at a copy that disappears before the merge.
    const std::string copy = dir.file("gone.jpg");
    std::filesystem::copy_file(bracket().paths[2], copy);
    project.exposures[2].path = copy;
    std::filesystem::remove(copy);
    GhostRemovalState state;
    NullProgress progress;
    const GhostResult r = removeGhosts(project, state, GhostRemovalParams{1, 50}, 3,
                                       exposureFiles(project, DecodeHooks{}), progress);
    EXPECT_FALSE(r.done);
    ASSERT_TRUE(r.error.has_value());
    EXPECT_EQ(r.error->id, MessageId::CannotReadFile);
    EXPECT_FALSE(state.active);
    EXPECT_EQ(samplesOf(project.stackBuffer), plain);
    EXPECT_EQ(project.stackMax, plainMax);
}

TEST(GhostRemoval, GaugeRunsOverEveryStageAndComesToRest) {
    Project project = openBracket(3);
    GhostRemovalState state;
    struct Spy : AtomicProgress {
        std::int64_t topSeen = 0, most = 0;
        void setMaximum(std::int64_t m) override { AtomicProgress::setMaximum(m); topSeen = std::max(topSeen, m); }
        void setPosition(std::int64_t p) override { AtomicProgress::setPosition(p); most = std::max(most, p); }
    } spy;
    ASSERT_TRUE(removeGhosts(project, state, GhostRemovalParams{1, 50}, 3, exposureFiles(project, DecodeHooks{}), spy).done);
    EXPECT_EQ(spy.topSeen, kH * (2 + 3 * 2));
    EXPECT_EQ(spy.most, kH * (2 + 3 * 2));
    EXPECT_EQ(spy.position(), 0);
    EXPECT_EQ(spy.maximum(), kH);
    EXPECT_FALSE(spy.textVisible());
}

TEST(BrightnessMapping, RecoversAKnownCurveDespiteOutliers) {
    // Target = a clipped power curve of the source, with noise and 10 % of pixels unrelated.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::normal_distribution<float> noise(0.0f, 0.004f);
    const auto curve = [](float s) { return std::min(0.99f, 1.8f * std::pow(s, 0.7f)); };
    FloatImage source(200, 150), target(200, 150);
    for (std::size_t i = 0; i < source.sampleCount(); ++i) {
        const float s = unit(rng) * 0.8f;
        source.data()[i] = s;
        target.data()[i] = unit(rng) < 0.1f ? unit(rng) : std::clamp(curve(s) + noise(rng), 0.0f, 0.99f);
    }
    const BrightnessMapping m = fitBrightnessMapping(source, target, 0, 0);
    for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < BrightnessMapping::kBins; ++k) EXPECT_LE(m.value[c][k], m.value[c][k + 1]);
        for (float s = 0.02f; s < 0.78f; s += 0.04f) EXPECT_NEAR(m.apply(c, s), curve(s), 0.02f) << s;
        EXPECT_LT(m.spreadAt(c, 0.4f), 0.02f);
        EXPECT_EQ(m.apply(c, 0.0f), 0.0f);
        EXPECT_EQ(m.apply(c, 5.0f), m.apply(c, m.sourceMax[c]));  // level above the range
        // Samples a float file may hold: no bin out of range is read for them.
        EXPECT_TRUE(std::isnan(m.apply(c, std::nanf(""))));
        EXPECT_TRUE(std::isnan(m.spreadAt(c, std::nanf(""))));
        EXPECT_EQ(m.apply(c, std::numeric_limits<float>::infinity()), m.apply(c, m.sourceMax[c]));
        EXPECT_EQ(m.apply(c, -std::numeric_limits<float>::infinity()), 0.0f);
    }
    // A shifted pair is matched through the shift: target (u, v) shows source (u + 3, v - 2).
    FloatImage shifted(200, 150);
    for (int y = 0; y < 150; ++y) {
        for (int x = 0; x < 200; ++x) {
            const int sx = std::clamp(x + 3, 0, 199), sy = std::clamp(y - 2, 0, 149);
            for (int c = 0; c < 3; ++c) shifted.at(x, y, c) = curve(source.at(sx, sy, c));
        }
    }
    const BrightnessMapping ms = fitBrightnessMapping(source, shifted, 3, -2);
    for (float s = 0.05f; s < 0.75f; s += 0.1f) EXPECT_NEAR(ms.apply(1, s), curve(s), 0.01f);
}

TEST(GhostRemoval, ReadingA16BitTiffAgainUsesTheAnswerGivenAtOpen) {
    test::TempDir dir;
    test::TiffSpec spec;
    spec.width = 24;
    spec.height = 16;
    spec.bits = 16;
    std::mt19937 rng(5);
    for (std::size_t i = 0; i < 24u * 16 * 3; ++i) spec.samples.push_back(rng() % 65536);
    const test::Bytes bytes = test::buildTiff(spec);
    const std::string path = dir.file("hdr.tif");
    test::writeBytes(path, std::string(bytes.begin(), bytes.end()));

    for (bool answer : {false, true}) {
        Project project;
        NullProgress progress;
        DecodeHooks hooks;
        int asked = 0;
        hooks.askGamma = [&] { ++asked; return answer; };
        const std::vector<OpenResult> opened = openPictures(project, {path}, hooks, progress);
        ASSERT_TRUE(opened.front().opened);
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(project.exposures[0].tiffGamma, answer);
        const std::vector<float> added = samplesOf(project.newImageBuffer);
        FloatImage again;
        EXPECT_FALSE(exposureFiles(project, hooks)(0, again, progress).has_value());
        EXPECT_EQ(asked, 1);  // not asked again
        EXPECT_EQ(samplesOf(again), added);
    }
    // In a batch the correction is applied unasked, and recorded so.
    Project batch;
    NullProgress progress;
    DecodeHooks hooks;
    hooks.askGamma = [] { ADD_FAILURE() << "a batch must not ask"; return false; };
    const std::vector<OpenResult> opened = openPictures(batch, {path, path}, hooks, progress);
    ASSERT_EQ(batch.exposureCount, 2);
    EXPECT_TRUE(batch.exposures[0].tiffGamma);
    EXPECT_TRUE(batch.exposures[1].tiffGamma);
}

}  // namespace
}  // namespace sv
