#include "stack/ghost_view.h"

#include <algorithm>

#include "image/parallel_rows.h"

namespace sv {

namespace {

int viewLevel(float v, float stackMax) {
    const int level = static_cast<int>(v * 255.0f / stackMax);
    return std::clamp(level, 0, 255);
}

}  // namespace

DisplayBitmap ghostView(const FloatImage& stack, float stackMax, const std::vector<float>& mask) {
    const int width = stack.width();
    const int height = stack.height();
    DisplayBitmap view(width, height);
    const bool masked = mask.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    parallelRows(0, height, [&](int y) {
        const float* s = stack.row(y);
        std::uint32_t* out = view.row(y);
        for (int x = 0; x < width; ++x) {
            const float tint = masked ? 0.6f * std::clamp(mask[static_cast<std::size_t>(y) * width + x], 0.0f, 1.0f)
                                      : 0.0f;
            int rgb[3];
            for (int c = 0; c < 3; ++c) {
                const float target = c == 0 ? 255.0f : 0.0f;
                const float base = static_cast<float>(viewLevel(s[3 * x + c], stackMax));
                rgb[c] = std::clamp(static_cast<int>(base + tint * (target - base)), 0, 255);
            }
            out[x] = packRgb(static_cast<std::uint32_t>(rgb[0]), static_cast<std::uint32_t>(rgb[1]),
                             static_cast<std::uint32_t>(rgb[2]));
        }
    });
    return view;
}

}  // namespace sv
