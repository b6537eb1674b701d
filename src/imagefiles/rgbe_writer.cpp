// The Radiance RGBE writer of HDR saving (declared in hdr_save.h).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "image/parallel_rows.h"
#include "imagefiles/exif_metadata.h"
#include "imagefiles/hdr_save.h"

namespace sv {

namespace {

constexpr int kShortestRun = 4;
constexpr int kLongestRun = 127;
constexpr int kLongestLiteral = 128;
// Scan lines encoded at once before they are written out in order.
constexpr int kRowsPerBatch = 64;

bool runLengthAllowed(int width) { return width >= 8 && width <= 0x7fff; }

void encodeRow(const float* row, int width, std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& pixels) {
    pixels.resize(static_cast<std::size_t>(width) * 4);
    for (int x = 0; x < width; ++x) floatToRgbe(row[3 * x], row[3 * x + 1], row[3 * x + 2], &pixels[4 * static_cast<std::size_t>(x)]);
    if (!runLengthAllowed(width)) {
        out.insert(out.end(), pixels.begin(), pixels.end());
        return;
    }
    out.push_back(2);
    out.push_back(2);
    out.push_back(static_cast<std::uint8_t>(width >> 8));
    out.push_back(static_cast<std::uint8_t>(width & 0xFF));
    std::vector<std::uint8_t> component(static_cast<std::size_t>(width));
    for (int k = 0; k < 4; ++k) {
        for (int x = 0; x < width; ++x) component[static_cast<std::size_t>(x)] = pixels[4 * static_cast<std::size_t>(x) + k];
        appendRunLengthComponent(component.data(), width, out);
    }
}

}  // namespace

void floatToRgbe(float r, float g, float b, std::uint8_t out[4]) {
    r = r > 0.0f ? r : 0.0f;
    g = g > 0.0f ? g : 0.0f;
    b = b > 0.0f ? b : 0.0f;
    const float v = std::max(r, std::max(g, b));
    if (!(v >= 1e-32f)) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    int exponent = 0;
    const float scale = std::frexp(v, &exponent) * 256.0f / v;
    out[0] = static_cast<std::uint8_t>(r * scale);
    out[1] = static_cast<std::uint8_t>(g * scale);
    out[2] = static_cast<std::uint8_t>(b * scale);
    out[3] = static_cast<std::uint8_t>(exponent + 128);
}

void appendRunLengthComponent(const std::uint8_t* bytes, int count, std::vector<std::uint8_t>& out) {
    int at = 0;
    while (at < count) {
        // The next run of at least kShortestRun equal bytes.
        int runStart = at;
        int runLength = 0;
        while (runStart < count) {
            runLength = 1;
            while (runStart + runLength < count && runLength < kLongestRun &&
                   bytes[runStart + runLength] == bytes[runStart]) {
                ++runLength;
            }
            if (runLength >= kShortestRun) break;
            runStart += runLength;
        }
        if (runStart >= count) runLength = 0;
        // What lies before it goes as literal stretches.
        while (at < runStart) {
            const int literal = std::min(kLongestLiteral, runStart - at);
            out.push_back(static_cast<std::uint8_t>(literal));
            out.insert(out.end(), bytes + at, bytes + at + literal);
            at += literal;
        }
        if (runLength >= kShortestRun) {
            out.push_back(static_cast<std::uint8_t>(128 + runLength));
            out.push_back(bytes[runStart]);
            at += runLength;
        }
    }
}

bool writeRadiance(const std::string& path, const FloatImage& picture, ProgressSink& progress, WriteError& error) {
    const int width = picture.width();
    const int height = picture.height();
    if (picture.empty()) {
        error = WriteError{WriteFailure::NothingToWrite, 0, {}};
        return false;
    }
    beginProgress(progress, height);
    std::vector<std::vector<std::uint8_t>> encoded(kRowsPerBatch);
    const bool ok = writeFileAtomically(path, [&](std::FILE* file) {
        const std::string header = std::string("#?RADIANCE\n# Written by ") + kSoftwareName +
                                   "\nFORMAT=32-bit_rle_rgbe\n"
                                   "PRIMARIES=0.640 0.330 0.300 0.600 0.150 0.060 0.3127 0.3290\n\n-Y " +
                                   std::to_string(height) + " +X " + std::to_string(width) + "\n";
        if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) return false;
        for (int first = 0; first < height; first += kRowsPerBatch) {
            const int last = std::min(height, first + kRowsPerBatch);
            parallelRows(first, last, [&](int y) {
                thread_local std::vector<std::uint8_t> pixels;
                std::vector<std::uint8_t>& out = encoded[static_cast<std::size_t>(y - first)];
                out.clear();
                encodeRow(picture.row(y), width, out, pixels);
            }, &progress);
            for (int y = first; y < last; ++y) {
                const std::vector<std::uint8_t>& out = encoded[static_cast<std::size_t>(y - first)];
                if (std::fwrite(out.data(), 1, out.size(), file) != out.size()) return false;
            }
        }
        return true;
    }, error);
    endProgress(progress, height);
    return ok;
}

}  // namespace sv
