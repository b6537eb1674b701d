// The 32-bit float TIFF writer of HDR saving (declared in hdr_save.h). The integer writer's layout
// (tiff_writer.cpp) is a documented one of its own and stays as it is; this one adds what float
// samples need (SampleFormat 3) and a linear-sRGB ICC profile.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "image/parallel_rows.h"
#include "imagefiles/exif_metadata.h"
#include "imagefiles/hdr_save.h"
#include "imagefiles/tiff_writer.h"

namespace sv {

namespace {

// Strips compressed at once before they are written out in order.
constexpr std::uint32_t kStripsPerBatch = 32;
constexpr std::uint16_t kShort = 3, kLong = 4, kAscii = 2, kUndefined = 7;

struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
};

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Header, directory and the values it points at; strips follow at the returned size.
std::vector<std::uint8_t> headerBytes(int width, int height, std::uint32_t rowsPerStrip, std::uint32_t strips,
                                      std::uint32_t offsetsValue, std::uint32_t countsValue) {
    const std::string software = std::string(kSoftwareName) + '\0';
    const std::vector<std::uint8_t>& profile = linearSrgbIccProfile();
    constexpr int kEntries = 14;
    const std::uint32_t directory = 8;
    const std::uint32_t extra = directory + 2 + 12 * kEntries + 4;
    const std::uint32_t bitsAt = extra, formatAt = extra + 6, softwareAt = extra + 12;
    const std::uint32_t profileAt = softwareAt + static_cast<std::uint32_t>(software.size() + 1) / 2 * 2;
    const Entry entries[kEntries] = {
        {254, kLong, 1, 0},
        {256, kLong, 1, static_cast<std::uint32_t>(width)},
        {257, kLong, 1, static_cast<std::uint32_t>(height)},
        {258, kShort, 3, bitsAt},
        {259, kShort, 1, 8},  // Deflate
        {262, kShort, 1, 2},  // RGB
        {273, kLong, strips, offsetsValue},
        {277, kShort, 1, 3},
        {278, kLong, 1, rowsPerStrip},
        {279, kLong, strips, countsValue},
        {284, kShort, 1, 1},  // chunky
        {305, kAscii, static_cast<std::uint32_t>(software.size()), softwareAt},
        {339, kShort, 3, formatAt},  // IEEE floating point
        {34675, kUndefined, static_cast<std::uint32_t>(profile.size()), profileAt},
    };
    std::vector<std::uint8_t> out = {'I', 'I', 42, 0};
    put32(out, directory);
    put16(out, kEntries);
    for (const Entry& e : entries) {
        put16(out, e.tag);
        put16(out, e.type);
        put32(out, e.count);
        put32(out, e.value);
    }
    put32(out, 0);
    for (int c = 0; c < 3; ++c) put16(out, 32);
    for (int c = 0; c < 3; ++c) put16(out, 3);
    out.insert(out.end(), software.begin(), software.end());
    if (out.size() % 2) out.push_back(0);
    out.insert(out.end(), profile.begin(), profile.end());
    if (out.size() % 2) out.push_back(0);
    return out;
}

}  // namespace

bool writeFloatTiff(const std::string& path, const FloatImage& picture, ProgressSink& progress, WriteError& error) {
    const int width = picture.width();
    const int height = picture.height();
    if (picture.empty()) {
        error = WriteError{WriteFailure::NothingToWrite, 0, {}};
        return false;
    }
    const TiffStripPlan plan = tiffStripPlan(width, height, 32);
    const std::uint32_t n = plan.strips;
    const std::uint32_t rps = plan.rowsPerStrip;
    auto rowsOf = [&](std::uint32_t t) {
        return std::min<std::uint64_t>(rps, static_cast<std::uint64_t>(height) - std::uint64_t(t) * rps);
    };
    // The first pass only sizes the header; the offsets are known once the strips are written.
    const std::size_t headerSize = headerBytes(width, height, rps, n, 0, 0).size();
    std::vector<std::uint32_t> offsets(n), counts(n);
    std::vector<std::vector<std::uint8_t>> packed(kStripsPerBatch);
    bool tooLarge = false;
    std::atomic<bool> compressFailed{false};
    beginProgress(progress, height);
    const bool ok = writeFileAtomically(path, [&](std::FILE* file) {
        if (std::fseek(file, static_cast<long>(headerSize), SEEK_SET) != 0) return false;
        std::uint64_t at = headerSize;
        for (std::uint32_t first = 0; first < n; first += kStripsPerBatch) {
            const std::uint32_t last = std::min(n, first + kStripsPerBatch);
            parallelRows(static_cast<int>(first), static_cast<int>(last), [&](int t) {
                const std::uint64_t rows = rowsOf(static_cast<std::uint32_t>(t));
                const std::uint64_t rawBytes = rows * plan.bytesPerRow;
                const auto* raw = reinterpret_cast<const Bytef*>(picture.row(static_cast<int>(std::uint64_t(t) * rps)));
                std::vector<std::uint8_t>& out = packed[static_cast<std::size_t>(t) - first];
                uLongf size = compressBound(static_cast<uLong>(rawBytes));
                out.resize(size);
                if (compress(out.data(), &size, raw, static_cast<uLong>(rawBytes)) != Z_OK) {
                    compressFailed = true;
                    size = 0;
                }
                out.resize(size);
                progress.advance(static_cast<std::int64_t>(rows));
            });
            if (compressFailed) return false;
            for (std::uint32_t t = first; t < last; ++t) {
                const std::vector<std::uint8_t>& out = packed[t - first];
                if (at + out.size() > 0xFFFFFFF0ull) {
                    tooLarge = true;
                    return false;
                }
                offsets[t] = static_cast<std::uint32_t>(at);
                counts[t] = static_cast<std::uint32_t>(out.size());
                if (std::fwrite(out.data(), 1, out.size(), file) != out.size()) return false;
                at += out.size();
            }
        }
        if (at + 8ull * n > 0xFFFFFFF0ull) {
            tooLarge = true;
            return false;
        }
        std::vector<std::uint8_t> tables;
        for (const std::uint32_t o : offsets) put32(tables, o);
        for (const std::uint32_t c : counts) put32(tables, c);
        if (std::fwrite(tables.data(), 1, tables.size(), file) != tables.size()) return false;
        const std::uint32_t offsetsValue = n == 1 ? offsets[0] : static_cast<std::uint32_t>(at);
        const std::uint32_t countsValue = n == 1 ? counts[0] : static_cast<std::uint32_t>(at + 4ull * n);
        const std::vector<std::uint8_t> header = headerBytes(width, height, rps, n, offsetsValue, countsValue);
        return std::fseek(file, 0, SEEK_SET) == 0 && std::fwrite(header.data(), 1, header.size(), file) == header.size();
    }, error);
    endProgress(progress, height);
    if (!ok && tooLarge) error = WriteError{WriteFailure::TooLargeForTiff, 0, {}};
    if (!ok && compressFailed) error = WriteError{WriteFailure::NotEnoughMemory, 0, {}};
    return ok;
}

}  // namespace sv
