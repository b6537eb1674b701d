#include "tone/tone_curve.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace sv {

namespace {

// Held within 0..32767; a negative or undefined value becomes 0 (before rounding, so no -0).
inline float clampLevel(double value) {
    if (value > 32767.0) value = 32767.0;
    if (!(value >= 0.0)) value = 0.0;
    return static_cast<float>(value);
}

constexpr int kCurveBlock = 512;
using Denominators = std::array<std::array<double, kCurvePointSlots>, kCurvePointSlots>;

// Levels first .. first + kCurveBlock - 1 of the Lagrange polynomial: for each point j, the term
// Y_j U x (x - X_0 U) / ((X_j - X_0) U) x ... over i != j in rising order, added up in rising j.
// Compiled twice: for every x86-64 and with AVX2 (four levels per instruction; no FMA, so every
// product and quotient is rounded as written).
[[gnu::always_inline]] inline void smoothBlockBody(int first, int count, const double* xu, const double* yu,
                                                   const Denominators& denominator, float* table) {
    alignas(64) double diff[kCurvePointSlots][kCurveBlock];
    alignas(64) double term[kCurveBlock];
    alignas(64) double sum[kCurveBlock];
    for (int i = 0; i < count; ++i) {
        for (int t = 0; t < kCurveBlock; ++t) diff[i][t] = static_cast<double>(first + t) - xu[i];
    }
    for (int t = 0; t < kCurveBlock; ++t) sum[t] = 0.0;
    for (int j = 0; j < count; ++j) {
        for (int t = 0; t < kCurveBlock; ++t) term[t] = yu[j];
        for (int i = 0; i < count; ++i) {
            if (i == j) continue;
            const double d = denominator[j][i];
            const double* a = diff[i];
            for (int t = 0; t < kCurveBlock; ++t) term[t] = term[t] * a[t] / d;
        }
        for (int t = 0; t < kCurveBlock; ++t) sum[t] += term[t];
    }
    for (int t = 0; t < kCurveBlock; ++t) table[first + t] = clampLevel(sum[t]);
}

void smoothBlock(int first, int count, const double* xu, const double* yu, const Denominators& denominator,
                 float* table) {
    smoothBlockBody(first, count, xu, yu, denominator, table);
}

__attribute__((target("avx2"))) void smoothBlockAvx2(int first, int count, const double* xu, const double* yu,
                                                     const Denominators& denominator, float* table) {
    smoothBlockBody(first, count, xu, yu, denominator, table);
}

using BlockFunction = void (*)(int, int, const double*, const double*, const Denominators&, float*);

BlockFunction chooseBlockFunction() {
    __builtin_cpu_init();
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && detail::toneSimdLevel() >= 2 ? smoothBlockAvx2 : smoothBlock;
}

void sampleSmooth(const CurvePoints& points, int n, float U, float* table) {
    const int count = n + 2;
    const double u = U;
    std::array<double, kCurvePointSlots> xu{}, yu{};
    Denominators denominator{};
    for (int j = 0; j < count; ++j) {
        xu[j] = points[j].X * u;
        yu[j] = points[j].Y * u;
        for (int i = 0; i < count; ++i) denominator[j][i] = (points[j].X - points[i].X) * u;
    }
    // The polynomial is evaluated level by level exactly as written, but over blocks of levels at
    // once so that the products run side by side; blocks go to all cores.
    const BlockFunction evaluate = chooseBlockFunction();
    tbb::parallel_for(tbb::blocked_range<int>(0, kCurveLevels / kCurveBlock), [&](const tbb::blocked_range<int>& blocks) {
        for (int block = blocks.begin(); block != blocks.end(); ++block) {
            evaluate(block * kCurveBlock, count, xu.data(), yu.data(), denominator, table);
        }
    });
}

void sampleLinear(const CurvePoints& points, int n, float U, float* table) {
    std::array<float, kCurvePointSlots> slope{}, intercept{};
    for (int j = 0; j <= n; ++j) {
        slope[j] = static_cast<float>(points[j + 1].Y - points[j].Y) / static_cast<float>(points[j + 1].X - points[j].X);
        // The first segment runs through level 0, not through P_0.
        intercept[j] = j == 0 ? 0.0f
                              : static_cast<float>(static_cast<double>(U) *
                                                   (points[j].Y - points[j].X * static_cast<double>(slope[j])));
    }
    const double u = U;
    int j = 0;
    for (int x = 0; x < kCurveLevels; ++x) {
        // Levels rise, so the first segment whose end lies at or beyond x only moves forward.
        while (j < n && !(x <= points[j + 1].X * u)) ++j;
        table[x] = clampLevel(x * static_cast<double>(slope[j]) + intercept[j]);
    }
}

}  // namespace

void sampleCurve(const CurvePoints& points, int n, CurveMode mode, float U, float* table) {
    n = std::clamp(n, kMinMovablePoints, kMaxMovablePoints);
    if (mode == CurveMode::Smooth) {
        sampleSmooth(points, n, U, table);
    } else {
        sampleLinear(points, n, U, table);
    }
    table[kCurveLevels - 1] = 32767.0f;
    table[0] = 0.0f;
}

std::vector<float> sampleCurve(const CurvePoints& points, int n, CurveMode mode, float U) {
    std::vector<float> table(kCurveLevels);
    sampleCurve(points, n, mode, U, table.data());
    return table;
}

ToneCurve::ToneCurve(float displayScale)
    : displayScale_(displayScale > 0.0f ? displayScale : 1.0f),
      levelsPerPixel_(32768.0f / (200.0f * displayScale_)),
      curveTable_(kCurveLevels) {
    reset();
}

void ToneCurve::reset() {
    levelsPerPixel_ = 32768.0f / (200.0f * displayScale_);
    hoverPoint_ = dragPoint_ = 0;
    const double D = boxSize();
    for (int j = 0; j <= pointCount_ + 1; ++j) {
        const int c = static_cast<int>(D * j / (pointCount_ + 1) - 1.0);
        points_[static_cast<std::size_t>(j)] = {c, c};
    }
    rebuildCurve();
}

void ToneCurve::setCurveMode(CurveMode mode) {
    curveMode_ = mode;
    rebuildCurve();
}

bool ToneCurve::addPoint() {
    if (!canAddPoint()) return false;
    ++pointCount_;
    reset();
    return true;
}

bool ToneCurve::removePoint() {
    if (!canRemovePoint()) return false;
    --pointCount_;
    reset();
    return true;
}

bool ToneCurve::setMovablePoints(std::vector<CurvePoint> points, std::string& reason) {
    const int n = static_cast<int>(points.size());
    if (n < kMinMovablePoints || n > kMaxMovablePoints) {
        reason = "the curve takes 1 to 7 points, not " + std::to_string(n);
        return false;
    }
    std::sort(points.begin(), points.end(), [](const CurvePoint& a, const CurvePoint& b) { return a.X < b.X; });
    const int last = static_cast<int>(largestCoordinate());
    for (int p = 0; p < n; ++p) {
        const CurvePoint& q = points[static_cast<std::size_t>(p)];
        // The same places a drag can reach: strictly between the fixed ends, X never shared.
        if (q.X < 0 || q.X >= last) {
            reason = "point X " + std::to_string(q.X) + " must lie in 0.." + std::to_string(last - 1);
            return false;
        }
        if (q.Y < 0 || q.Y > last) {
            reason = "point Y " + std::to_string(q.Y) + " must lie in 0.." + std::to_string(last);
            return false;
        }
        if (p > 0 && points[static_cast<std::size_t>(p - 1)].X == q.X) {
            reason = "two points share X " + std::to_string(q.X);
            return false;
        }
    }
    pointCount_ = n;
    reset();
    for (int p = 0; p < n; ++p) points_[static_cast<std::size_t>(p + 1)] = points[static_cast<std::size_t>(p)];
    rebuildCurve();
    return true;
}

void ToneCurve::mouseDown(int X, int Y) {
    dragPoint_ = 0;
    const double L = largestCoordinate();
    for (int p = 1; p <= pointCount_; ++p) {
        const CurvePoint& q = points_[static_cast<std::size_t>(p)];
        if (q.X - 6 <= X && X <= q.X + 6 && q.Y - 7 <= L - Y && L - Y <= q.Y + 7) dragPoint_ = hoverPoint_ = p;
    }
}

ToneCurve::MoveResult ToneCurve::mouseMove(int X, int Y) {
    const int before = hoverPoint_;
    const double L = largestCoordinate();
    if (dragPoint_ == 0) {
        hoverPoint_ = 0;
        for (int p = 1; p <= pointCount_; ++p) {
            const CurvePoint& q = points_[static_cast<std::size_t>(p)];
            if (q.X - 7 <= X && X <= q.X + 7 && q.Y - 7 <= L - Y && L - Y <= q.Y + 7) hoverPoint_ = p;
        }
    }
    if (hoverPoint_ != 0 && Y >= 0 && Y <= L && dragPoint_ == hoverPoint_) {
        const int p = dragPoint_;
        CurvePoint& q = points_[static_cast<std::size_t>(p)];
        const bool aboveLeft = p == 1 ? X >= 0 : X > points_[static_cast<std::size_t>(p - 1)].X;
        const bool belowRight = X < points_[static_cast<std::size_t>(p + 1)].X;
        if (aboveLeft && belowRight) q.X = X;
        q.Y = static_cast<int>(L - Y);
    }
    MoveResult result;
    result.xText = "x = " + std::to_string(X);
    result.yText = "y = " + std::to_string(199 - Y);
    if (hoverPoint_ != before || dragPoint_ != 0) {
        rebuildCurve();
        result.rebuilt = true;
    }
    result.dragging = dragPoint_ != 0;
    return result;
}

void ToneCurve::rebuildCurve() {
    sampleCurve(points_, pointCount_, curveMode_, levelsPerPixel_, curveTable_.data());
}

// ---- the box picture ----

namespace {

constexpr std::uint32_t kGridGrey = packRgb(200, 200, 200);
constexpr std::uint32_t kBlue = packRgb(0, 0, 255);
constexpr std::uint32_t kWhite = packRgb(255, 255, 255);

struct Canvas {
    DisplayBitmap& bitmap;
    void plot(int x, int y, std::uint32_t colour) {
        if (x >= 0 && y >= 0 && x < bitmap.width() && y < bitmap.height()) bitmap.at(x, y) = colour;
    }
    // A one-pixel line from (x0, y0) to (x1, y1), the end point left out as a pen's line-to does.
    // A dotted line shows three pixels and skips three, counted along the line.
    void line(int x0, int y0, int x1, int y1, std::uint32_t colour, bool dotted = false) {
        const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
        const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
        int error = dx + dy;
        int step = 0;
        while (x0 != x1 || y0 != y1) {
            if (!dotted || (step % 6) < 3) plot(x0, y0, colour);
            ++step;
            const int e2 = 2 * error;
            if (e2 >= dy) {
                error += dy;
                x0 += sx;
            }
            if (e2 <= dx) {
                error += dx;
                y0 += sy;
            }
        }
    }
    // A filled ellipse in the box [left, right) x [top, bottom): pixels whose centres lie inside.
    void disc(int left, int top, int right, int bottom, std::uint32_t colour) {
        const double cx = (left + right) / 2.0, cy = (top + bottom) / 2.0;
        const double rx = (right - left) / 2.0, ry = (bottom - top) / 2.0;
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) {
                const double u = (x + 0.5 - cx) / rx, v = (y + 0.5 - cy) / ry;
                if (u * u + v * v <= 1.0) plot(x, y, colour);
            }
        }
    }
};

}  // namespace

DisplayBitmap drawCurveBox(const ToneCurve& curve) {
    const int size = curve.boxPixels();
    DisplayBitmap bitmap(size, size);
    std::fill(bitmap.data(), bitmap.data() + static_cast<std::size_t>(size) * size, kWhite);
    Canvas canvas{bitmap};
    const double L = curve.largestCoordinate();
    const int last = static_cast<int>(L);
    const float scale = curve.displayScale();
    for (int i = 1; i <= 4; ++i) {
        const int c = static_cast<int>(40.0 * i * scale);
        canvas.line(c, 0, c, last, kGridGrey, true);
        canvas.line(0, c, last, c, kGridGrey, true);
    }
    canvas.line(0, last, last, 0, kGridGrey);

    const CurvePoints& points = curve.controlPoints();
    for (int p = 1; p <= curve.pointCount(); ++p) {
        const CurvePoint& q = points[static_cast<std::size_t>(p)];
        const double r = L - q.Y;
        if (p == curve.hoverPoint()) {
            canvas.disc(q.X - 4, static_cast<int>(r - 4), q.X + 5, static_cast<int>(r + 5), kBlue);
        }
        canvas.disc(q.X - 2, static_cast<int>(r - 2), q.X + 3, static_cast<int>(r + 3), kBlue);
    }

    const std::vector<float>& table = curve.curveTable();
    const double U = curve.levelsPerPixel();
    int px = 0;
    int py = static_cast<int>(L - table[0] / U);
    for (int c = 1; c < L; ++c) {
        const int index = static_cast<int>(c * 32767.0 / L);
        const int nx = static_cast<int>(index / U);
        const int ny = static_cast<int>(L - table[static_cast<std::size_t>(index)] / U);
        canvas.line(px, py, nx, ny, kBlue);
        px = nx;
        py = ny;
    }
    return bitmap;
}

}  // namespace sv
