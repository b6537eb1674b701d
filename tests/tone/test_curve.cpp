// The tone curve: sampling against the direct formulas, Reset, the point buttons and the mouse rules.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tone/tone_curve.h"
#include "tone/tone_reference.h"

namespace sv {
namespace {

using reference::referenceSample;

// n movable points with distinct X in 0..last-1 and Y in 0..last, between the fixed ends.
CurvePoints randomPoints(std::mt19937& rng, int n, int last) {
    CurvePoints P{};
    P[0] = {-1, -1};
    std::vector<int> xs;
    while (static_cast<int>(xs.size()) < n) {
        const int x = static_cast<int>(rng() % last);
        if (std::find(xs.begin(), xs.end(), x) == xs.end()) xs.push_back(x);
    }
    std::sort(xs.begin(), xs.end());
    for (int p = 1; p <= n; ++p) P[p] = {xs[static_cast<std::size_t>(p - 1)], static_cast<int>(rng() % (last + 1))};
    P[n + 1] = {last, last};
    return P;
}

TEST(CurveSampling, MatchesDirectFormulasForRandomPoints) {
    // Both the SSE and the AVX2 evaluation of the polynomial (the latter where the processor has it).
    for (const int simd : {1, 2}) {
        detail::limitToneSimd(simd);
        std::mt19937 rng(1234);
        for (const float scale : {1.0f, 1.23f}) {
            const float U = 32768.0f / (200.0f * scale);
            const int last = static_cast<int>(200.0 * scale - 1.0);
            for (int n = 1; n <= 7; ++n) {
                for (int trial = 0; trial < 3; ++trial) {
                    const CurvePoints P = randomPoints(rng, n, last);
                    for (const CurveMode mode : {CurveMode::Smooth, CurveMode::Linear}) {
                        SCOPED_TRACE(testing::Message() << "SIMD " << simd << " scale " << scale << " n " << n
                                                        << (mode == CurveMode::Smooth ? " smooth" : " linear"));
                        EXPECT_EQ(sampleCurve(P, n, mode, U), referenceSample(P, n, mode, U));
                    }
                }
            }
        }
    }
    detail::limitToneSimd(2);
}

TEST(CurveSampling, ValuesStayWithinTheLevelRange) {
    // Wild points make the polynomial overshoot far beyond both ends.
    CurvePoints P{};
    P[0] = {-1, -1};
    P[1] = {20, 199};
    P[2] = {40, 0};
    P[3] = {60, 199};
    P[4] = {80, 0};
    P[5] = {199, 199};
    const std::vector<float> table = sampleCurve(P, 4, CurveMode::Smooth, 163.84f);
    bool clippedHigh = false, clippedLow = false;
    for (int x = 0; x < kCurveLevels; ++x) {
        const float v = table[static_cast<std::size_t>(x)];
        ASSERT_GE(v, 0.0f);
        ASSERT_LE(v, 32767.0f);
        ASSERT_FALSE(std::signbit(v));
        clippedHigh = clippedHigh || (x != 32767 && v == 32767.0f);
        clippedLow = clippedLow || (x != 0 && v == 0.0f);
    }
    EXPECT_TRUE(clippedHigh);
    EXPECT_TRUE(clippedLow);
    EXPECT_EQ(table[0], 0.0f);
    EXPECT_EQ(table[32767], 32767.0f);
}

TEST(ToneCurve, ResetGivesTheIdentityForEveryPointCountInBothModes) {
    for (const float scale : {1.0f, 1.23f}) {
        ToneCurve curve(scale);
        for (int n = 1; n <= 7; ++n) {
            if (n > 1) {
                ASSERT_TRUE(curve.addPoint());
            }
            ASSERT_EQ(curve.pointCount(), n);
            for (const CurveMode mode : {CurveMode::Smooth, CurveMode::Linear}) {
                curve.setCurveMode(mode);
                const std::vector<float>& table = curve.curveTable();
                int mismatches = 0;
                for (int x = 0; x < kCurveLevels; ++x) mismatches += table[static_cast<std::size_t>(x)] != static_cast<float>(x);
                EXPECT_EQ(mismatches, 0) << "scale " << scale << " n " << n;
            }
        }
    }
}

TEST(ToneCurve, ResetSpacesThePointsEvenlyOnTheDiagonal) {
    ToneCurve curve;
    EXPECT_EQ(curve.pointCount(), 1);
    EXPECT_EQ(curve.curveMode(), CurveMode::Smooth);
    EXPECT_FLOAT_EQ(curve.levelsPerPixel(), 163.84f);
    EXPECT_EQ(curve.controlPoints()[0], (CurvePoint{-1, -1}));
    EXPECT_EQ(curve.controlPoints()[1], (CurvePoint{99, 99}));
    EXPECT_EQ(curve.controlPoints()[2], (CurvePoint{199, 199}));
    while (curve.addPoint()) {
    }
    EXPECT_EQ(curve.pointCount(), 7);
    const int expected[] = {-1, 24, 49, 74, 99, 124, 149, 174, 199};
    for (int j = 0; j <= 8; ++j) {
        EXPECT_EQ(curve.controlPoints()[static_cast<std::size_t>(j)], (CurvePoint{expected[j], expected[j]}));
    }
    // At 1.23 the box is 246 pixels and its last coordinate 245.
    ToneCurve scaled(1.23f);
    EXPECT_EQ(scaled.boxPixels(), 246);
    EXPECT_EQ(scaled.controlPoints()[2], (CurvePoint{245, 245}));
    EXPECT_EQ(scaled.controlPoints()[1], (CurvePoint{122, 122}));
}

TEST(ToneCurve, PointButtonsStopAtOneAndSevenAndResetTheCurve) {
    ToneCurve curve;
    EXPECT_FALSE(curve.canRemovePoint());
    EXPECT_FALSE(curve.removePoint());
    EXPECT_EQ(curve.pointCount(), 1);
    std::string reason;
    ASSERT_TRUE(curve.setMovablePoints({{50, 170}}, reason));
    curve.mouseMove(50, 199 - 170);  // hover
    EXPECT_EQ(curve.hoverPoint(), 1);
    ASSERT_TRUE(curve.addPoint());
    EXPECT_EQ(curve.hoverPoint(), 0);
    EXPECT_EQ(curve.curveTable(), identityCurveTable());
    for (int i = 0; i < 10; ++i) curve.addPoint();
    EXPECT_EQ(curve.pointCount(), 7);
    EXPECT_FALSE(curve.canAddPoint());
    EXPECT_TRUE(curve.canRemovePoint());
    ASSERT_TRUE(curve.removePoint());
    EXPECT_EQ(curve.pointCount(), 6);
    EXPECT_TRUE(curve.canAddPoint());
}

TEST(ToneCurve, ModeChangeKeepsThePoints) {
    ToneCurve curve;
    std::string reason;
    ASSERT_TRUE(curve.setMovablePoints({{60, 120}, {140, 100}}, reason));
    const std::vector<float> smooth = curve.curveTable();
    curve.setCurveMode(CurveMode::Linear);
    EXPECT_EQ(curve.controlPoints()[1], (CurvePoint{60, 120}));
    EXPECT_EQ(curve.controlPoints()[2], (CurvePoint{140, 100}));
    EXPECT_NE(curve.curveTable(), smooth);
    curve.setCurveMode(CurveMode::Smooth);
    EXPECT_EQ(curve.curveTable(), smooth);
}

// Drags P_1 from (99, 99) to (99, 150): screen row 199 - 150 = 49.
void dragFirstPointTo150(ToneCurve& curve) {
    curve.mouseDown(99, 199 - 99);
    ASSERT_EQ(curve.dragPoint(), 1);
    const ToneCurve::MoveResult moved = curve.mouseMove(99, 49);
    EXPECT_TRUE(moved.rebuilt);
    EXPECT_TRUE(moved.dragging);
    curve.mouseUp();
    EXPECT_EQ(curve.dragPoint(), 0);
    EXPECT_EQ(curve.hoverPoint(), 1);  // the highlight stays until the next move
    ASSERT_EQ(curve.controlPoints()[1], (CurvePoint{99, 150}));
}

TEST(ToneCurve, LinearDragFollowsTheTwoSegments) {
    ToneCurve curve;
    curve.setCurveMode(CurveMode::Linear);
    dragFirstPointTo150(curve);
    const std::vector<float>& table = curve.curveTable();
    const double U = 163.84f;
    for (int x = 1; x < 32767; ++x) {
        double expected;
        if (x <= 99 * U) {
            expected = x * 1.51;  // through level 0, slope 151/100
        } else {
            expected = U * 150 + (x - 99 * U) * 0.49;  // through (99, 150) and (199, 199), and beyond
        }
        ASSERT_NEAR(table[static_cast<std::size_t>(x)], expected, 0.01) << x;
    }
    EXPECT_EQ(table[32767], 32767.0f);
    EXPECT_EQ(table[0], 0.0f);
}

TEST(ToneCurve, SmoothDragIsTheParabolaThroughThreePoints) {
    ToneCurve curve;
    dragFirstPointTo150(curve);
    const std::vector<float>& table = curve.curveTable();
    const double U = 163.84f;
    const double x0 = -U, y0 = -U, x1 = 99 * U, y1 = 150 * U, x2 = 199 * U, y2 = 199 * U;
    for (int x = 1; x < 32767; ++x) {
        double p = y0 * (x - x1) * (x - x2) / ((x0 - x1) * (x0 - x2)) + y1 * (x - x0) * (x - x2) / ((x1 - x0) * (x1 - x2)) +
                   y2 * (x - x0) * (x - x1) / ((x2 - x0) * (x2 - x1));
        p = std::clamp(p, 0.0, 32767.0);
        ASSERT_NEAR(table[static_cast<std::size_t>(x)], p, 0.01) << x;
    }
    // It rises almost to the fixed end (its top lies at pixel 197) without reaching the clamp.
    EXPECT_GT(table[32400], table[32000]);
    EXPECT_LT(table[32766], 32767.0f);
}

TEST(ToneCurve, APointNeverReachesItsNeighboursX) {
    ToneCurve curve;
    ASSERT_TRUE(curve.addPoint());  // points at 65 and 132
    ASSERT_EQ(curve.controlPoints()[1].X, 65);
    ASSERT_EQ(curve.controlPoints()[2].X, 132);
    curve.mouseDown(132, 199 - 132);
    ASSERT_EQ(curve.dragPoint(), 2);
    curve.mouseMove(198, 50);
    EXPECT_EQ(curve.controlPoints()[2], (CurvePoint{198, 149}));
    curve.mouseMove(199, 60);  // the fixed end's X: X stays, Y follows
    EXPECT_EQ(curve.controlPoints()[2], (CurvePoint{198, 139}));
    curve.mouseMove(65, 60);   // onto the left neighbour
    EXPECT_EQ(curve.controlPoints()[2].X, 198);
    curve.mouseMove(66, 60);
    EXPECT_EQ(curve.controlPoints()[2].X, 66);
    curve.mouseMove(70, -1);   // above the box: nothing moves
    EXPECT_EQ(curve.controlPoints()[2], (CurvePoint{66, 139}));
    curve.mouseMove(70, 200);  // below it
    EXPECT_EQ(curve.controlPoints()[2], (CurvePoint{66, 139}));
    curve.mouseMove(70, 199);  // the bottom row: Y = 0
    EXPECT_EQ(curve.controlPoints()[2], (CurvePoint{70, 0}));
    curve.mouseUp();
    // The first point may go to X = 0 but not to -1.
    curve.mouseDown(65, 199 - 65);
    ASSERT_EQ(curve.dragPoint(), 1);
    curve.mouseMove(0, 100);
    EXPECT_EQ(curve.controlPoints()[1].X, 0);
    curve.mouseMove(-1, 100);
    EXPECT_EQ(curve.controlPoints()[1].X, 0);
}

TEST(ToneCurve, HoverAndGrabDistancesAndTheLastMatchWins) {
    ToneCurve curve;
    const int row = 199 - 99;  // P_1 at (99, 99)
    auto moved = curve.mouseMove(99 + 8, row);
    EXPECT_EQ(curve.hoverPoint(), 0);
    EXPECT_FALSE(moved.rebuilt);  // nothing changed: no rebuild
    moved = curve.mouseMove(99 + 7, row + 7);
    EXPECT_EQ(curve.hoverPoint(), 1);
    EXPECT_TRUE(moved.rebuilt);
    EXPECT_FALSE(moved.dragging);
    moved = curve.mouseMove(99 - 7, row - 7);
    EXPECT_EQ(curve.hoverPoint(), 1);
    EXPECT_FALSE(moved.rebuilt);
    EXPECT_EQ(moved.xText, "x = 92");
    EXPECT_EQ(moved.yText, "y = 106");
    moved = curve.mouseMove(99, row + 8);
    EXPECT_EQ(curve.hoverPoint(), 0);
    EXPECT_TRUE(moved.rebuilt);
    // A press grabs within 6 pixels across, not 7.
    curve.mouseDown(99 + 7, row);
    EXPECT_EQ(curve.dragPoint(), 0);
    curve.mouseDown(99 + 6, row + 7);
    EXPECT_EQ(curve.dragPoint(), 1);
    curve.mouseUp();

    std::string reason;
    ASSERT_TRUE(curve.setMovablePoints({{50, 100}, {56, 100}}, reason));
    curve.mouseDown(53, 99);
    EXPECT_EQ(curve.dragPoint(), 2);
    curve.mouseUp();
    curve.mouseMove(52, 99);
    EXPECT_EQ(curve.hoverPoint(), 2);
}

TEST(ToneCurve, SetMovablePointsChecksWhatADragCouldReach) {
    ToneCurve curve;
    std::string reason;
    EXPECT_FALSE(curve.setMovablePoints({}, reason));
    EXPECT_FALSE(curve.setMovablePoints(std::vector<CurvePoint>(8, CurvePoint{10, 10}), reason));
    EXPECT_FALSE(curve.setMovablePoints({{-1, 10}}, reason));
    EXPECT_FALSE(curve.setMovablePoints({{199, 10}}, reason));
    EXPECT_FALSE(curve.setMovablePoints({{10, 200}}, reason));
    EXPECT_FALSE(curve.setMovablePoints({{10, -1}}, reason));
    EXPECT_FALSE(curve.setMovablePoints({{10, 10}, {10, 20}}, reason));
    EXPECT_EQ(curve.pointCount(), 1);
    EXPECT_EQ(curve.curveTable(), identityCurveTable());
    ASSERT_TRUE(curve.setMovablePoints({{150, 10}, {0, 199}, {198, 0}}, reason)) << reason;
    EXPECT_EQ(curve.pointCount(), 3);
    EXPECT_EQ(curve.controlPoints()[1], (CurvePoint{0, 199}));
    EXPECT_EQ(curve.controlPoints()[2], (CurvePoint{150, 10}));
    EXPECT_EQ(curve.controlPoints()[3], (CurvePoint{198, 0}));
    EXPECT_EQ(curve.controlPoints()[4], (CurvePoint{199, 199}));
}

TEST(CurveBoxPicture, ShowsGridDiagonalPointsAndCurve) {
    ToneCurve curve;
    curve.setCurveMode(CurveMode::Linear);
    std::string reason;
    ASSERT_TRUE(curve.setMovablePoints({{99, 180}}, reason));
    DisplayBitmap box = drawCurveBox(curve);
    ASSERT_EQ(box.width(), 200);
    ASSERT_EQ(box.height(), 200);
    const std::uint32_t white = packRgb(255, 255, 255), grey = packRgb(200, 200, 200), blue = packRgb(0, 0, 255);
    EXPECT_EQ(box.at(20, 100), white);
    // Dotted grid at 40, 80, 120, 160: three on, three off.
    EXPECT_EQ(box.at(40, 1), grey);
    EXPECT_EQ(box.at(40, 4), white);
    EXPECT_EQ(box.at(1, 80), grey);
    EXPECT_EQ(box.at(4, 80), white);
    // The grey diagonal where the curve (above it) does not pass.
    EXPECT_EQ(box.at(150, 49), grey);
    // The point at (99, 180): screen row 19; a 5 x 5 dot without its corners.
    EXPECT_EQ(box.at(99, 19), blue);
    EXPECT_EQ(box.at(97, 18), blue);
    EXPECT_EQ(box.at(97, 17), white);
    EXPECT_EQ(box.at(102, 19), white);
    // The curve: 1.81 levels per level up to the point; at column 50 it stands near row 199 - 90.
    bool curveFound = false;
    for (int y = 105; y <= 112; ++y) curveFound = curveFound || box.at(50, y) == blue;
    EXPECT_TRUE(curveFound);

    // Hovering enlarges the point to 9 x 9.
    curve.mouseMove(99, 19);
    ASSERT_EQ(curve.hoverPoint(), 1);
    box = drawCurveBox(curve);
    EXPECT_EQ(box.at(103, 19), blue);
    EXPECT_EQ(box.at(99, 15), blue);
    EXPECT_EQ(box.at(104, 19), white);
    for (int i = 0; i < box.width() * box.height(); ++i) ASSERT_EQ(box.data()[i] >> 24, 0u);

    EXPECT_EQ(drawCurveBox(ToneCurve(1.23f)).width(), 246);
}

}  // namespace
}  // namespace sv
