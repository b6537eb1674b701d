// The alignment views and the geometry of the marker, against short direct versions written from
// the description of the alignment (per pixel, with explicit clamping and packing).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "stack/alignment_view.h"

namespace sv {
namespace {

FloatImage randomImage(int w, int h, std::mt19937& rng, float scale) {
    FloatImage img(w, h);
    std::uniform_real_distribution<float> d(0.0f, scale);
    for (std::size_t i = 0; i < img.sampleCount(); ++i) img.data()[i] = d(rng);
    return img;
}

int clampRef(int v, int size) {
    if (v < 0) return 0;
    if (v > size - 1) return size - 1;
    return v;
}

int toChannel(float scaled) {
    int v = static_cast<int>(std::trunc(scaled));
    if (v >= 256) v = 255;
    if (v < 0) v = 0;
    return v;
}

// "New image": pixel (j + shiftX, i + shiftY) clamped; trunc(v * 255), 255 from 256 up.
std::uint32_t refNewPixel(const FloatImage& n, const Region& r, int sx, int sy, int vx, int vy) {
    const int j = r.x + vx, i = r.y + vy;
    const int x = clampRef(j + sx, n.width()), y = clampRef(i + sy, n.height());
    return (toChannel(n.at(x, y, 0) * 255.0f) << 16) | (toChannel(n.at(x, y, 1) * 255.0f) << 8) |
           toChannel(n.at(x, y, 2) * 255.0f);
}

std::uint32_t refStackPixel(const FloatImage& s, float m, const Region& r, int sx, int sy, int vx, int vy) {
    const int j = r.x + vx, i = r.y + vy;
    const int x = clampRef(j + sx, s.width()), y = clampRef(i + sy, s.height());
    return (toChannel(s.at(x, y, 0) * 255.0f / m) << 16) | (toChannel(s.at(x, y, 1) * 255.0f / m) << 8) |
           toChannel(s.at(x, y, 2) * 255.0f / m);
}

struct RefDifference {
    std::vector<std::uint32_t> pixels;
    float mean = 0.0f;
};

RefDifference refDifference(const FloatImage& n, const FloatImage& s, float m, const Region& r, int sx, int sy) {
    RefDifference out;
    float sum = 0.0f;
    for (int i = r.y; i < r.y + r.height; ++i) {
        for (int j = r.x; j < r.x + r.width; ++j) {
            int ch[3];
            for (int c = 0; c < 3; ++c) {
                const int nv = static_cast<int>(n.at(j, i, c) * 255.0f);
                const float sv = s.at(clampRef(j + sx, s.width()), clampRef(i + sy, s.height()), c) * 255.0f / m;
                int d = static_cast<int>(std::trunc(static_cast<float>(nv) - sv));
                d = std::abs(d);
                ch[c] = d >= 256 ? 255 : d;
            }
            const std::uint32_t packed = static_cast<std::uint32_t>(ch[0] * 65536 + ch[1] * 256 + ch[2]);
            out.pixels.push_back(packed);
            sum += static_cast<float>(packed);
        }
    }
    out.mean = sum / static_cast<float>(r.width * r.height);
    return out;
}

Region randomRegion(int w, int h, std::mt19937& rng) {
    std::uniform_int_distribution<int> pick(0, 5);
    Region r;
    switch (pick(rng)) {
        case 0: return Region{0, w, 0, h};                  // the whole picture
        case 1: return Region{w - 1, 1, 0, h};              // one column at the right edge
        case 2: return Region{0, w, h - 1, 1};              // one row at the bottom edge
        case 3: return Region{0, 1, 0, 1};                  // one pixel at a corner
        default: break;
    }
    r.x = std::uniform_int_distribution<int>(0, w - 1)(rng);
    r.y = std::uniform_int_distribution<int>(0, h - 1)(rng);
    r.width = std::uniform_int_distribution<int>(1, w - r.x)(rng);
    r.height = std::uniform_int_distribution<int>(1, h - r.y)(rng);
    return r;
}

TEST(AlignmentViews, MatchTheDirectFormOnRandomPicturesRegionsAndShifts) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 60; ++round) {
        const int w = std::uniform_int_distribution<int>(1, 37)(rng);
        const int h = std::uniform_int_distribution<int>(1, 29)(rng);
        const FloatImage newImage = randomImage(w, h, rng, 1.2f);      // some samples above 1 (255 cap)
        const FloatImage stack = randomImage(w, h, rng, 3.0f);
        const float stackMax = std::uniform_real_distribution<float>(0.5f, 3.0f)(rng);
        const Region r = randomRegion(w, h, rng);
        const int sx = std::uniform_int_distribution<int>(-w - 3, w + 3)(rng);
        const int sy = std::uniform_int_distribution<int>(-h - 3, h + 3)(rng);

        const DisplayBitmap part = newImagePart(newImage, r, sx, sy);
        const DisplayBitmap st = stackPart(stack, stackMax, r, sx, sy);
        AlignmentMeasures m;
        const DisplayBitmap diff = differenceView(newImage, stack, stackMax, r, sx, sy, m);
        const RefDifference ref = refDifference(newImage, stack, stackMax, r, sx, sy);
        ASSERT_EQ(part.width(), r.width);
        ASSERT_EQ(part.height(), r.height);
        for (int vy = 0; vy < r.height; ++vy)
            for (int vx = 0; vx < r.width; ++vx) {
                ASSERT_EQ(part.at(vx, vy), refNewPixel(newImage, r, sx, sy, vx, vy)) << round;
                ASSERT_EQ(st.at(vx, vy), refStackPixel(stack, stackMax, r, sx, sy, vx, vy)) << round;
                ASSERT_EQ(diff.at(vx, vy), ref.pixels[static_cast<std::size_t>(vy * r.width + vx)]) << round;
            }
        EXPECT_EQ(m.meanDifference, ref.mean) << round;
        EXPECT_EQ(m.bestMeanDifference, ref.mean) << "the first mean is the best so far";
    }
}

TEST(AlignmentViews, ChannelsAreTruncatedAndCappedAt255) {
    FloatImage img(2, 1);
    img.at(0, 0, 0) = 0.99609375f;  // 255/256: 254.00390625 -> 254
    img.at(0, 0, 1) = 1.0f;         // exactly 255
    img.at(0, 0, 2) = 1.01f;        // 257.55 -> 255
    const DisplayBitmap part = newImagePart(img, Region{0, 1, 0, 1}, 0, 0);
    EXPECT_EQ(redOf(part.at(0, 0)), 254);
    EXPECT_EQ(greenOf(part.at(0, 0)), 255);
    EXPECT_EQ(blueOf(part.at(0, 0)), 255);
    EXPECT_EQ(part.at(0, 0) >> 24, 0u);
}

TEST(AlignmentViews, DifferenceMeanWeighsRedMost) {
    FloatImage n(2, 1), s(2, 1);
    n.at(0, 0, 0) = 1.0f;  // red difference 255 in one of two pixels
    const float stackMax = 1.0f;
    AlignmentMeasures m;
    differenceView(n, s, stackMax, Region{0, 2, 0, 1}, 0, 0, m);
    EXPECT_FLOAT_EQ(m.meanDifference, 255.0f * 65536.0f / 2.0f);
    // A later, smaller mean becomes the best; a larger one leaves the best alone.
    n.at(0, 0, 0) = 0.0f;
    n.at(0, 0, 2) = 1.0f;
    differenceView(n, s, stackMax, Region{0, 2, 0, 1}, 0, 0, m);
    EXPECT_FLOAT_EQ(m.bestMeanDifference, 255.0f / 2.0f);
    n.at(0, 0, 1) = 1.0f;
    differenceView(n, s, stackMax, Region{0, 2, 0, 1}, 0, 0, m);
    EXPECT_FLOAT_EQ(m.bestMeanDifference, 255.0f / 2.0f);
    EXPECT_FLOAT_EQ(m.meanDifference, (255.0f * 256.0f + 255.0f) / 2.0f);
}

TEST(AlignmentViews, IndicatorFollowsThresholdAndBest) {
    AlignmentMeasures m;
    m.reset();
    m.meanDifference = 5.7f;
    m.bestMeanDifference = 5.2f;
    // Right after a new rectangle the threshold is +infinity: never "worse".
    EXPECT_EQ(differenceIndicator(m), DifferenceIndicator::Best);  // trunc 5 == trunc 5
    m.bestMeanDifference = 4.9f;
    EXPECT_EQ(differenceIndicator(m), DifferenceIndicator::Other);
    m.differenceThreshold = 5.6f;
    EXPECT_EQ(differenceIndicator(m), DifferenceIndicator::Worse);
    m.differenceThreshold = 5.7f;  // not above the last tick's mean
    EXPECT_EQ(differenceIndicator(m), DifferenceIndicator::Other);
}

TEST(AlignmentShift, LimitsKeepTheRectangleTouchingThePicture) {
    const Region r{100, 50, 100, 50};
    int sx = -151, sy = 0;
    limitShift(r, 400, 300, sx, sy);
    EXPECT_EQ(sx, -150);
    sx = 300;
    limitShift(r, 400, 300, sx, sy);
    EXPECT_EQ(sx, 300);
    sx = 301;
    limitShift(r, 400, 300, sx, sy);
    EXPECT_EQ(sx, 299);
    sx = 0;
    sy = -1000;
    limitShift(r, 400, 300, sx, sy);
    EXPECT_EQ(sy, -150);
    sy = 201;
    limitShift(r, 400, 300, sx, sy);
    EXPECT_EQ(sy, 199);
}

TEST(AlignmentGeometry, MarkerAndOverlayAtSeveralZooms) {
    const Region r{100, 50, 60, 40};  // x 100, width 50, y 60, height 40
    EXPECT_EQ(markerGeometry(r, 7, -3, true, 10), (ViewGeometry{106, 56, 52, 42}));
    EXPECT_EQ(markerGeometry(r, 7, -3, false, 10), (ViewGeometry{99, 59, 52, 42}));
    // 25 %: 100 * 2.5 * 0.1 - 1 = 24 (the product is computed in double: 24.000000000000004 - 1)
    EXPECT_EQ(markerGeometry(r, 0, 0, false, 25).left, static_cast<int>(100 * (25 * 0.1) - 1));
    EXPECT_EQ(markerGeometry(r, 0, 0, false, 3), (ViewGeometry{29, 17, 17, 14}));
    EXPECT_EQ(overlayGeometry(r, 7, -3, 20), (ViewGeometry{214, 114, 100, 80}));
    EXPECT_EQ(overlayGeometry(r, 0, 0, 1), (ViewGeometry{10, 6, 5, 4}));
}

TEST(AlignmentGeometry, RectangleFromAMarking) {
    // A marker under 10 x 10 at 100 % gives 8 x 8.
    EXPECT_EQ(rectFromMarking(ViewGeometry{49, 39, 5, 6}, 10, 400, 300), (Region{49, 8, 39, 8}));
    // Drawn leftwards and upwards: the width and height become positive and x, y move.
    EXPECT_EQ(rectFromMarking(ViewGeometry{100, 80, -30, -20}, 10, 400, 300), (Region{70, 30, 60, 20}));
    // Cut at the right and bottom edges.
    EXPECT_EQ(rectFromMarking(ViewGeometry{390, 290, 50, 50}, 10, 400, 300), (Region{390, 10, 290, 10}));
    // Reaching out over the left edge: the part outside is taken off the width.
    EXPECT_EQ(rectFromMarking(ViewGeometry{5, 5, -30, 20}, 10, 400, 300), (Region{0, 5, 5, 20}));
    // At 200 % the marker's pixels are halved.
    EXPECT_EQ(rectFromMarking(ViewGeometry{100, 60, 80, 40}, 20, 400, 300), (Region{50, 40, 30, 20}));
}

TEST(AlignmentGeometry, RectangleAfterOpenIsAtLeastTenByTen) {
    EXPECT_EQ(rectAfterOpen(ViewGeometry{339, 279, 322, 242}, 0, 0, 10, 1000, 800), (Region{340, 320, 280, 240}));
    EXPECT_EQ(rectAfterOpen(ViewGeometry{-1, -1, 5, 5}, 0, 0, 10, 100, 80), (Region{0, 10, 0, 10}));
    EXPECT_EQ(rectAfterOpen(ViewGeometry{-1, -1, 102, 82}, 0, 0, 10, 100, 80), (Region{0, 100, 0, 80}));
    // The pending image's shift moves the marker; the rectangle stays in picture pixels.
    EXPECT_EQ(rectAfterOpen(ViewGeometry{44, 19, 32, 22}, 5, -10, 10, 100, 80), (Region{40, 30, 30, 20}));
}

TEST(AlignmentTyping, OnlyWholeDecimalNumbers) {
    EXPECT_EQ(parseTypedShift("12"), 12);
    EXPECT_EQ(parseTypedShift("-7"), -7);
    EXPECT_EQ(parseTypedShift("+3"), 3);
    EXPECT_FALSE(parseTypedShift(""));
    EXPECT_FALSE(parseTypedShift("-"));
    EXPECT_FALSE(parseTypedShift("abc"));
    EXPECT_FALSE(parseTypedShift("1a"));
    EXPECT_FALSE(parseTypedShift(" 1"));
    EXPECT_FALSE(parseTypedShift("99999999999"));
}

TEST(AlignmentViews, EmptyRegionsGiveEmptyViews) {
    FloatImage img(4, 4), st(4, 4);
    AlignmentMeasures m;
    m.meanDifference = 3.0f;
    EXPECT_TRUE(newImagePart(img, Region{0, 0, 0, 4}, 0, 0).empty());
    EXPECT_TRUE(differenceView(img, st, 1.0f, Region{0, 4, 0, 0}, 0, 0, m).empty());
    EXPECT_EQ(m.meanDifference, 3.0f) << "no division by an empty area";
}

}  // namespace
}  // namespace sv
