#include "imagefiles/input_scales.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "image/parallel_rows.h"

namespace sv {

void applyGammaCorrection(FloatImage& pixels) {
    parallelRows(0, pixels.height(), [&](int y) {
        float* row = pixels.row(y);
        for (std::size_t i = 0; i < pixels.rowSamples(); ++i) {
            row[i] = row[i] < 0.0f ? 0.0f : static_cast<float>(std::pow(0.04 * static_cast<double>(row[i]), 0.4));
        }
    });
}

void normaliseHdrSamples(FloatImage& pixels, float largest) {
    if (!(largest > 0.0f)) return;
    parallelRows(0, pixels.height(), [&](int y) {
        float* row = pixels.row(y);
        for (std::size_t i = 0; i < pixels.rowSamples(); ++i) {
            const float q = row[i] / largest * 10.0f;
            row[i] = static_cast<float>(std::pow(static_cast<double>(q), 0.4));
        }
    });
}

void finishHdrPicture(FloatImage& pixels, DisplayBitmap& bitmap) {
    std::vector<float> rowLargest(static_cast<std::size_t>(pixels.height()), 0.0f);
    parallelRows(0, pixels.height(), [&](int y) {
        float* row = pixels.row(y);
        std::uint32_t* display = bitmap.row(y);
        float largest = 0.0f;
        for (int x = 0; x < pixels.width(); ++x) {
            float* p = row + 3 * x;
            for (int c = 0; c < 3; ++c) {
                p[c] = finiteHdrSample(p[c]);
                largest = std::max(largest, p[c]);
            }
            display[x] = packRgb(hdrDisplayChannel(p[0]), hdrDisplayChannel(p[1]), hdrDisplayChannel(p[2]));
        }
        rowLargest[static_cast<std::size_t>(y)] = largest;
    });
    const float largest = rowLargest.empty() ? 0.0f : *std::max_element(rowLargest.begin(), rowLargest.end());
    normaliseHdrSamples(pixels, largest);
}

}  // namespace sv
