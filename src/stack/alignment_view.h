#pragma once

// The pixel arithmetic of aligning a new exposure with the stack: the three views of the
// rectangle under the marker, the difference measures and their indicator, the limit of the shift
// and the rectangle taken from the marker drawn on the zoomed view. No widgets here: the window
// places the controls with these numbers.

#include <limits>
#include <optional>
#include <string_view>

#include "image/display_bitmap.h"
#include "image/float_image.h"
#include "image/region.h"

namespace sv {

struct AlignmentMeasures {
    float meanDifference = 0.0f;
    float bestMeanDifference = std::numeric_limits<float>::infinity();
    float differenceThreshold = std::numeric_limits<float>::infinity();

    // When the part of the new image is prepared (a new rectangle).
    void reset() {
        bestMeanDifference = std::numeric_limits<float>::infinity();
        differenceThreshold = std::numeric_limits<float>::infinity();
        meanDifference = 0.0f;
    }
};

// Pulls the shift back so that the shifted rectangle keeps touching the picture.
void limitShift(const Region& rect, int imageWidth, int imageHeight, int& shiftX, int& shiftY);

// "New image": new-image pixel (j + shiftX, i + shiftY) for each rectangle pixel (j, i),
// coordinates clamped into the picture; channel = trunc(v * 255), at most 255.
DisplayBitmap newImagePart(const FloatImage& newImage, const Region& rect, int shiftX, int shiftY);

// "Current stack": stack pixel (j + shiftX, i + shiftY), clamped; channel = trunc(v * 255 / stackMax).
DisplayBitmap stackPart(const FloatImage& stack, float stackMax, const Region& rect, int shiftX, int shiftY);

// "Difference": |trunc(trunc(new(j, i) * 255) - stack(j + shiftX, i + shiftY) * 255 / stackMax)| per
// channel, at most 255. The packed pixels R * 65536 + G * 256 + B are summed row by row, left to
// right, in a 32-bit float; meanDifference = sum / (width * height), and bestMeanDifference follows
// the smallest mean.
DisplayBitmap differenceView(const FloatImage& newImage, const FloatImage& stack, float stackMax, const Region& rect,
                             int shiftX, int shiftY, AlignmentMeasures& measures);

// Which of the three indicators the Difference view shows.
enum class DifferenceIndicator { Best, Worse, Other };
DifferenceIndicator differenceIndicator(const AlignmentMeasures& measures);

// Geometry of a control on the zoomed view (left, top, width, height); width and height may be
// negative while a marker is being drawn leftwards or upwards.
struct ViewGeometry {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const ViewGeometry&) const = default;
};

// The marker (dotted outline) one pixel outside the rectangle, moved by the shift while a new
// image is pending.
ViewGeometry markerGeometry(const Region& rect, int shiftX, int shiftY, bool pending, int zoom);
// The alignment view over the rectangle moved by the shift.
ViewGeometry overlayGeometry(const Region& rect, int shiftX, int shiftY, int zoom);

// The rectangle from a marker just drawn with the mouse (at least 8 x 8 before the cut to the
// picture, never outside it on the left or top).
Region rectFromMarking(const ViewGeometry& marker, int zoom, int imageWidth, int imageHeight);
// The rectangle from the marker in its current place right after an open (at least 10 x 10 before
// the cut to the picture).
Region rectAfterOpen(const ViewGeometry& marker, int shiftX, int shiftY, int zoom, int imageWidth, int imageHeight);

// A typed shift: an optional sign and decimal digits, nothing else; nothing for "", "-", "abc".
std::optional<int> parseTypedShift(std::string_view text);

}  // namespace sv
