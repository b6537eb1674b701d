#include "imagefiles/rgbe_reader.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

namespace sv {

namespace {

// Header lines are read 254 characters at a time (a longer line continues as the next one); the
// line feed ends a line and is not kept.
class LineCursor {
public:
    LineCursor(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

    // False at the end of the data (nothing left to read).
    bool next(std::string& line) {
        line.clear();
        if (pos_ >= size_) return false;
        while (pos_ < size_ && line.size() < kLineLimit) {
            const char c = static_cast<char>(data_[pos_++]);
            if (c == '\n') return true;
            line.push_back(c);
        }
        return true;
    }
    std::size_t position() const { return pos_; }

private:
    static constexpr std::size_t kLineLimit = 254;
    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

bool isBlank(unsigned char c) { return std::isspace(c) != 0; }

// The resolution line is read like "%s %d %s %d": blanks (line feeds included) are skipped before
// each field; reading stops right after the last digit of the width.
struct FieldCursor {
    const unsigned char* data;
    std::size_t size;
    std::size_t pos;

    void skipBlanks() {
        while (pos < size && isBlank(data[pos])) ++pos;
    }
    bool word() {
        skipBlanks();
        const std::size_t start = pos;
        while (pos < size && !isBlank(data[pos])) ++pos;
        return pos > start;
    }
    bool number(long long& value) {
        skipBlanks();
        bool negative = false;
        if (pos < size && (data[pos] == '+' || data[pos] == '-')) negative = data[pos++] == '-';
        const std::size_t start = pos;
        long long v = 0;
        while (pos < size && data[pos] >= '0' && data[pos] <= '9') {
            if (v <= LLONG_MAX / 100) v = v * 10 + (data[pos] - '0');
            ++pos;
        }
        if (pos == start) return false;
        value = negative ? -v : v;
        return true;
    }
};

}  // namespace

RgbeProbe probeRgbeMemory(const unsigned char* data, std::size_t size) {
    RgbeProbe probe;
    LineCursor lines(data, size);
    std::string line;
    bool magic = false;
    for (int i = 0; i < 3 && lines.next(line); ++i) {
        if (line == "#?RADIANCE") {
            magic = true;
            break;
        }
    }
    if (!magic) return probe;
    while (lines.next(line) && !line.empty()) {
        const auto eq = line.find('=');
        if (eq == std::string::npos || std::string_view(line).substr(0, eq) != "FORMAT") continue;
        std::string_view value = std::string_view(line).substr(eq + 1);
        const auto blank = std::find_if(value.begin(), value.end(), [](char c) { return isBlank(c); });
        value = value.substr(0, static_cast<std::size_t>(blank - value.begin()));
        if (value != "32-bit_rle_rgbe") return probe;
    }
    probe.accepted = true;
    FieldCursor fields{data, size, lines.position()};
    long long height = 0, width = 0;
    if (fields.word() && fields.number(height) && fields.word() && fields.number(width)) {
        probe.height = height;
        probe.width = width;
    }
    // The character after the resolution line (its line feed) is skipped.
    probe.dataOffset = std::min(size, fields.pos + 1);
    return probe;
}

std::uint64_t rgbeMinimumDataBytes(long long width, long long height) {
    if (width <= 0 || height <= 0) return 0;
    const std::uint64_t runs = (static_cast<std::uint64_t>(width) + 126) / 127;
    return static_cast<std::uint64_t>(height) * (4 + 4 * 2 * runs);
}

RgbeReadResult readRgbeMemory(const unsigned char* data, std::size_t size, const RgbeProbe& probe,
                              FloatImage& pixels, DisplayBitmap& bitmap, ProgressSink& progress) {
    RgbeReadResult result;
    if (!probe.accepted || probe.width <= 0 || probe.height <= 0 || pixels.width() != probe.width ||
        pixels.height() != probe.height || bitmap.width() != pixels.width() || bitmap.height() != pixels.height()) {
        return result;
    }
    const int width = pixels.width();
    const int height = pixels.height();
    beginProgress(progress, height);
    std::size_t pos = probe.dataOffset;
    std::vector<unsigned char> scanline;
    float largest = 0.0f;
    bool shortScanline = false;
    for (int y = 0; y < height && pos < size; ++y) {
        if (size - pos < 4) break;
        const unsigned char* head = data + pos;
        // Flat and old run-length scanlines are not read (their first bytes are not 2, 2).
        if (head[0] != 2 || head[1] != 2 || (head[2] & 0x80) != 0) {
            if (y == 0) result.unsupportedScanlines = true;
            break;
        }
        const int n = head[2] * 256 + head[3];
        pos += 4;
        scanline.assign(static_cast<std::size_t>(n) * 4, 0);
        if (n < width) shortScanline = true;
        for (int k = 0; k < 4; ++k) {
            int x = 0;
            while (x < n && pos < size) {
                const int count = data[pos++];
                if (count > 128) {
                    if (pos >= size) break;
                    const unsigned char value = data[pos++];
                    for (int i = 0; i < count - 128 && x < n; ++i) scanline[static_cast<std::size_t>(x++) * 4 + k] = value;
                } else {
                    // A literal run that passes the end of the scanline is cut there.
                    for (int i = 0; i < count && pos < size; ++i) {
                        const unsigned char value = data[pos++];
                        if (x < n) scanline[static_cast<std::size_t>(x++) * 4 + k] = value;
                    }
                }
            }
            if (x < n) shortScanline = true;  // the data ended inside the scanline
        }
        float* dst = pixels.row(y);
        std::uint32_t* display = bitmap.row(y);
        const int kept = std::min(n, width);
        for (int x = 0; x < kept; ++x) {
            const unsigned char* p = &scanline[static_cast<std::size_t>(x) * 4];
            const int exponent = static_cast<int>(p[3]) - 128;
            std::uint32_t bytes[3];
            for (int c = 0; c < 3; ++c) {
                // Exponents near 255 pass the float range: such a (damaged) sample is held at the
                // largest float rather than becoming infinity, and then NaN once normalised.
                const float v = std::min(std::ldexp(static_cast<float>(p[c]), exponent), FLT_MAX);
                largest = std::max(largest, v);
                dst[3 * x + c] = v;
                bytes[c] = v > 255.0f ? 255u : static_cast<std::uint32_t>(v);
            }
            display[x] = packRgb(bytes[0], bytes[1], bytes[2]);
        }
        result.rowsRead = y + 1;
        progress.setPosition(y + 1);
    }
    result.largest = largest;
    result.complete = result.rowsRead == height && !shortScanline;
    progress.setPosition(0);
    progress.setTextVisible(false);
    return result;
}

}  // namespace sv
