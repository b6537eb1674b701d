#include "imagefiles/pfm_reader.h"

#include <bit>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/parallel_rows.h"
#include "imagefiles/input_scales.h"

namespace sv {

namespace {

bool isSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The header's fields are short; anything longer than this is not a PFM.
constexpr std::size_t kFieldLimit = 64;

struct HeaderCursor {
    const unsigned char* data;
    std::size_t size;
    std::size_t pos = 0;

    // A field after white space and comment lines ("#" to the end of the line, which
    // ImageMagick writes into the header).
    bool field(std::string& out) {
        while (pos < size && (isSpace(data[pos]) || data[pos] == '#')) {
            if (data[pos] == '#') {
                while (pos < size && data[pos] != '\n') ++pos;
            } else {
                ++pos;
            }
        }
        out.clear();
        while (pos < size && !isSpace(data[pos])) {
            if (out.size() >= kFieldLimit) return false;
            out.push_back(static_cast<char>(data[pos++]));
        }
        return !out.empty();
    }
};

bool positiveNumber(const std::string& text, long long& value) {
    if (text.empty() || text.size() > 10) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value > 0;
}

float sampleAt(const unsigned char* p, bool littleEndian) {
    std::uint32_t bits;
    std::memcpy(&bits, p, 4);
    if (littleEndian != (std::endian::native == std::endian::little)) bits = __builtin_bswap32(bits);
    return std::bit_cast<float>(bits);
}

}  // namespace

std::uint64_t PfmHeader::dataBytes() const {
    if (!valid) return 0;
    return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * (colour ? 3u : 1u) * 4u;
}

PfmHeader parsePfmHeader(const unsigned char* data, std::size_t size) {
    PfmHeader header;
    HeaderCursor cursor{data, size};
    std::string magic, width, height, scale;
    if (!cursor.field(magic) || (magic != "PF" && magic != "Pf")) return header;
    if (!cursor.field(width) || !cursor.field(height) || !cursor.field(scale)) return header;
    // Exactly one white-space character separates the scale from the samples.
    if (cursor.pos >= size || !isSpace(data[cursor.pos])) return header;
    char* end = nullptr;
    const double scaleValue = std::strtod(scale.c_str(), &end);
    if (end != scale.c_str() + scale.size() || !std::isfinite(scaleValue) || scaleValue == 0.0) return header;
    if (!positiveNumber(width, header.width) || !positiveNumber(height, header.height) || header.width > INT_MAX ||
        header.height > INT_MAX) {
        return header;
    }
    header.colour = magic == "PF";
    header.littleEndian = scaleValue < 0.0;
    header.dataOffset = cursor.pos + 1;
    header.valid = true;
    return header;
}

DecodedPicture decodePfmMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress) {
    DecodedPicture out;
    out.failure = Message{MessageId::CannotReadFile, 0, name};
    const PfmHeader header = parsePfmHeader(data, size);
    if (!header.valid) return out;
    PictureClaim claim;
    claim.name = name;
    claim.width = static_cast<int>(header.width);
    claim.height = static_cast<int>(header.height);
    claim.fileTooShort = size - header.dataOffset < header.dataBytes();
    if (!preparePicture(out, claim, hooks)) return out;
    // Admission without a size check (no admit hook) still never reads past the end.
    if (claim.fileTooShort) {
        out.pixels.release();
        out.bitmap = DisplayBitmap();
        out.incomplete = true;
        out.failure = Message{MessageId::IncompleteFile, 0, name};
        return out;
    }

    const int width = claim.width;
    const int height = claim.height;
    const std::size_t channels = header.colour ? 3 : 1;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * channels * 4;
    const unsigned char* samples = data + header.dataOffset;
    beginProgress(progress, height);
    // File row r is picture row height - 1 - r.
    parallelRows(0, height, [&](int y) {
        const unsigned char* src = samples + static_cast<std::size_t>(height - 1 - y) * rowBytes;
        float* dst = out.pixels.row(y);
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                const std::size_t k = channels == 3 ? static_cast<std::size_t>(c) : 0;
                dst[3 * x + c] = sampleAt(src + (static_cast<std::size_t>(x) * channels + k) * 4, header.littleEndian);
            }
        }
    }, &progress);
    finishHdrPicture(out.pixels, out.bitmap);
    endProgress(progress, height);
    out.ok = true;
    return out;
}

}  // namespace sv
