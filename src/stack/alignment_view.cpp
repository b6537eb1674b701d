#include "stack/alignment_view.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace sv {

namespace {

int clampInto(int v, int size) { return v < 0 ? 0 : (v >= size ? size - 1 : v); }

// trunc(v), held to 0..255 (a value of 256 or more shows as 255; a negative one, which only a
// rounding remainder of a removal can leave, as 0).
std::uint32_t channelOf(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 256.0f) return 255;
    return static_cast<std::uint32_t>(v);
}

bool viewable(const FloatImage& image, const Region& rect) {
    return !image.empty() && !rect.empty() && image.width() > 0 && image.height() > 0;
}

}  // namespace

void limitShift(const Region& rect, int imageWidth, int imageHeight, int& shiftX, int& shiftY) {
    if (shiftX + rect.x + rect.width < 0) shiftX = -rect.x - rect.width;
    if (shiftX + rect.x > imageWidth) shiftX = imageWidth - rect.x - 1;
    if (shiftY + rect.y + rect.height < 0) shiftY = -rect.y - rect.height;
    if (shiftY + rect.y > imageHeight) shiftY = imageHeight - rect.y - 1;
}

DisplayBitmap newImagePart(const FloatImage& newImage, const Region& rect, int shiftX, int shiftY) {
    if (!viewable(newImage, rect)) return {};
    DisplayBitmap out(rect.width, rect.height);
    for (int i = rect.y; i < rect.bottom(); ++i) {
        const int sy = clampInto(i + shiftY, newImage.height());
        std::uint32_t* dst = out.row(i - rect.y);
        for (int j = rect.x; j < rect.right(); ++j) {
            const int sx = clampInto(j + shiftX, newImage.width());
            dst[j - rect.x] = packRgb(channelOf(newImage.at(sx, sy, 0) * 255.0f),
                                      channelOf(newImage.at(sx, sy, 1) * 255.0f),
                                      channelOf(newImage.at(sx, sy, 2) * 255.0f));
        }
    }
    return out;
}

DisplayBitmap stackPart(const FloatImage& stack, float stackMax, const Region& rect, int shiftX, int shiftY) {
    if (!viewable(stack, rect)) return {};
    DisplayBitmap out(rect.width, rect.height);
    for (int i = rect.y; i < rect.bottom(); ++i) {
        const int sy = clampInto(i + shiftY, stack.height());
        std::uint32_t* dst = out.row(i - rect.y);
        for (int j = rect.x; j < rect.right(); ++j) {
            const int sx = clampInto(j + shiftX, stack.width());
            dst[j - rect.x] = packRgb(channelOf(stack.at(sx, sy, 0) * 255.0f / stackMax),
                                      channelOf(stack.at(sx, sy, 1) * 255.0f / stackMax),
                                      channelOf(stack.at(sx, sy, 2) * 255.0f / stackMax));
        }
    }
    return out;
}

DisplayBitmap differenceView(const FloatImage& newImage, const FloatImage& stack, float stackMax, const Region& rect,
                             int shiftX, int shiftY, AlignmentMeasures& measures) {
    if (!viewable(newImage, rect) || !viewable(stack, rect)) return {};
    DisplayBitmap out(rect.width, rect.height);
    float sum = 0.0f;
    for (int i = rect.y; i < rect.bottom(); ++i) {
        const int ny = clampInto(i, newImage.height());
        const int sy = clampInto(i + shiftY, stack.height());
        std::uint32_t* dst = out.row(i - rect.y);
        for (int j = rect.x; j < rect.right(); ++j) {
            const int nx = clampInto(j, newImage.width());
            const int sx = clampInto(j + shiftX, stack.width());
            std::uint32_t ch[3];
            for (int c = 0; c < 3; ++c) {
                const int n = static_cast<int>(newImage.at(nx, ny, c) * 255.0f);
                const float s = stack.at(sx, sy, c) * 255.0f / stackMax;
                const float diff = static_cast<float>(n) - s;
                // |d| of 256 or more shows as 255 (also for differences too large for an int).
                const float magnitude = std::fabs(std::trunc(diff));
                ch[c] = magnitude >= 256.0f ? 255u : static_cast<std::uint32_t>(magnitude);
            }
            const std::uint32_t packed = packRgb(ch[0], ch[1], ch[2]);
            dst[j - rect.x] = packed;
            sum += static_cast<float>(packed);
        }
    }
    measures.meanDifference = sum / static_cast<float>(rect.width * rect.height);
    if (measures.bestMeanDifference > measures.meanDifference) measures.bestMeanDifference = measures.meanDifference;
    return out;
}

DifferenceIndicator differenceIndicator(const AlignmentMeasures& m) {
    if (m.meanDifference > m.differenceThreshold) return DifferenceIndicator::Worse;
    if (std::trunc(m.meanDifference) == std::trunc(m.bestMeanDifference)) return DifferenceIndicator::Best;
    return DifferenceIndicator::Other;
}

ViewGeometry markerGeometry(const Region& rect, int shiftX, int shiftY, bool pending, int zoom) {
    const double k = zoom * 0.1;
    ViewGeometry g;
    const int dx = pending ? shiftX : 0;
    const int dy = pending ? shiftY : 0;
    g.left = static_cast<int>((dx + rect.x) * k - 1);
    g.top = static_cast<int>((dy + rect.y) * k - 1);
    g.width = static_cast<int>(rect.width * k + 2);
    g.height = static_cast<int>(rect.height * k + 2);
    return g;
}

ViewGeometry overlayGeometry(const Region& rect, int shiftX, int shiftY, int zoom) {
    const double k = zoom * 0.1;
    ViewGeometry g;
    g.left = static_cast<int>((shiftX + rect.x) * k);
    g.top = static_cast<int>((shiftY + rect.y) * k);
    g.width = static_cast<int>(rect.width * k);
    g.height = static_cast<int>(rect.height * k);
    return g;
}

namespace {

// A marker drawn up or to the left has a negative size: the rectangle starts that far back.
void makeSizePositive(Region& r) {
    if (r.width < 0) {
        r.width = -r.width;
        r.x -= r.width;
    }
    if (r.height < 0) {
        r.height = -r.height;
        r.y -= r.height;
    }
}

}  // namespace

Region rectFromMarking(const ViewGeometry& m, int zoom, int imageWidth, int imageHeight) {
    const double k = zoom * 0.1;
    Region r;
    r.x = static_cast<int>(m.left / k);
    r.y = static_cast<int>(m.top / k);
    r.width = static_cast<int>(m.width / k);
    r.height = static_cast<int>(m.height / k);
    makeSizePositive(r);
    if (r.width < 10) r.width = 8;
    if (r.height < 10) r.height = 8;
    if (r.width > imageWidth - r.x) r.width = imageWidth - r.x;
    if (r.height > imageHeight - r.y) r.height = imageHeight - r.y;
    if (r.x < 0) {
        r.width += r.x;
        r.x = 0;
    }
    if (r.y < 0) {
        r.height += r.y;
        r.y = 0;
    }
    return r;
}

Region rectAfterOpen(const ViewGeometry& m, int shiftX, int shiftY, int zoom, int imageWidth, int imageHeight) {
    const double k = zoom * 0.1;
    Region r;
    r.x = static_cast<int>((m.left + 1 - shiftX) / k);
    r.y = static_cast<int>((m.top + 1 - shiftY) / k);
    r.width = static_cast<int>((m.width - 2) / k);
    r.height = static_cast<int>((m.height - 2) / k);
    makeSizePositive(r);
    if (r.width < 10) r.width = 10;
    if (r.height < 10) r.height = 10;
    if (r.width > imageWidth - r.x) r.width = imageWidth - r.x;
    if (r.height > imageHeight - r.y) r.height = imageHeight - r.y;
    return r;
}

std::optional<int> parseTypedShift(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::size_t pos = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        pos = 1;
    }
    if (pos == text.size()) return std::nullopt;
    long long value = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::numeric_limits<int>::max()) return std::nullopt;
    }
    return static_cast<int>(negative ? -value : value);
}

}  // namespace sv
