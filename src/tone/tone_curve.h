#pragma once

#include <array>
#include <string>
#include <vector>

#include "image/display_bitmap.h"
#include "tone/render.h"

namespace sv {

enum class CurveMode { Smooth, Linear };
// How the curve joins its points, by name in the order of CurveMode (the window's SpeedButton1 and
// SpeedButton2). The points themselves are a list, not a position.
inline constexpr std::string_view kCurveModeNames[] = {"smooth", "linear"};
inline constexpr ParameterDescriptor kCurveModeParameter{.key = "curve", .control = "SpeedButton1", .minimum = 0,
                                                         .maximum = 1, .defaultPosition = 0,
                                                         .label = LabelFormat::Choice, .choices = kCurveModeNames};

// A control point in box pixels: X from the left edge, Y from the bottom edge.
struct CurvePoint {
    int X = 0;
    int Y = 0;
    bool operator==(const CurvePoint&) const = default;
};

inline constexpr int kCurvePointSlots = 10;
inline constexpr int kMinMovablePoints = 1;
inline constexpr int kMaxMovablePoints = 7;
using CurvePoints = std::array<CurvePoint, kCurvePointSlots>;

// Samples the curve through P_0 .. P_(n+1) (n movable points between the two fixed ends) into a
// table of kCurveLevels floats, clamped to 0..32767, entry 0 = 0 and entry 32767 = 32767.
// U is levelsPerPixel (table levels per box pixel). The X of the points in use must be distinct.
// Smooth: the Lagrange polynomial through all points; linear: straight segments, the first one
// through level 0. Intermediate sums and products are carried in double and each entry is
// rounded to float once, so points on the diagonal give exactly entry x = x.
void sampleCurve(const CurvePoints& points, int n, CurveMode mode, float U, float* table);
std::vector<float> sampleCurve(const CurvePoints& points, int n, CurveMode mode, float U);

// The curve editor's state: points, mode, hover and drag, and the table the render reads.
// The window forwards its mouse events and buttons here and shows drawCurveBox's picture.
class ToneCurve {
public:
    explicit ToneCurve(float displayScale = 1.0f);

    float displayScale() const { return displayScale_; }
    // D = 200 x displayScale window pixels; L = D - 1 is the largest box coordinate.
    double boxSize() const { return 200.0 * displayScale_; }
    double largestCoordinate() const { return boxSize() - 1.0; }
    int boxPixels() const { return static_cast<int>(boxSize()); }
    float levelsPerPixel() const { return levelsPerPixel_; }

    int pointCount() const { return pointCount_; }
    CurveMode curveMode() const { return curveMode_; }
    const CurvePoints& controlPoints() const { return points_; }
    int hoverPoint() const { return hoverPoint_; }
    int dragPoint() const { return dragPoint_; }
    const std::vector<float>& curveTable() const { return curveTable_; }

    // Reset: points evenly spaced on the diagonal (identity curve), no hover, no drag.
    void reset();
    // Mode buttons: the points stay, the table is rebuilt.
    void setCurveMode(CurveMode mode);
    // One point more / less (1..7); both reset the curve. Return false at the limit (button disabled).
    bool addPoint();
    bool removePoint();
    bool canAddPoint() const { return pointCount_ < kMaxMovablePoints; }
    bool canRemovePoint() const { return pointCount_ > kMinMovablePoints; }

    // Sets the movable points directly (sorted by X), as a finished drag would leave them.
    // Refuses (returns false, nothing changed) a count outside 1..7, X outside 0..L-1 or repeated,
    // Y outside 0..L.
    bool setMovablePoints(std::vector<CurvePoint> points, std::string& reason);

    // Mouse handling; X, Y are box pixels with Y counted from the top.
    void mouseDown(int X, int Y);
    struct MoveResult {
        bool rebuilt = false;   // the table (and the box picture) changed
        bool dragging = false;  // a point is dragged: the automatic preview may run
        std::string xText;      // "x = X"
        std::string yText;      // "y = 199 - Y"
    };
    MoveResult mouseMove(int X, int Y);
    void mouseUp() { dragPoint_ = 0; }

    // Recomputes curveTable from the points and the mode.
    void rebuildCurve();

private:
    float displayScale_;
    float levelsPerPixel_;
    int pointCount_ = 1;
    CurveMode curveMode_ = CurveMode::Smooth;
    CurvePoints points_{};
    int hoverPoint_ = 0;
    int dragPoint_ = 0;
    std::vector<float> curveTable_;
};

// The curve box as the window shows it: D x D pixels, white, a dotted grey grid every
// 40 x displayScale pixels, the grey diagonal, the movable points as blue dots (the hovered one
// larger) and the sampled curve in blue.
DisplayBitmap drawCurveBox(const ToneCurve& curve);

}  // namespace sv
