#include "imagefiles/tiff_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "image/parallel_rows.h"

namespace sv {

namespace {

constexpr std::uint16_t kTagImageWidth = 256;
constexpr std::uint16_t kTagImageLength = 257;
constexpr std::uint16_t kTagBitsPerSample = 258;
constexpr std::uint16_t kTagCompression = 259;
constexpr std::uint16_t kTagStripOffsets = 273;
constexpr std::uint16_t kTagSamplesPerPixel = 277;
constexpr std::uint16_t kTagRowsPerStrip = 278;
constexpr std::uint16_t kTagStripByteCounts = 279;
constexpr std::uint16_t kTagPredictor = 317;

constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;

// Bounds-checked reads in the file's byte order.
class TiffBytes {
public:
    TiffBytes(const unsigned char* data, std::size_t size)
        : data_(data), size_(size), little_(size >= 2 && data[0] == 'I' && data[1] == 'I') {}

    std::size_t size() const { return size_; }
    const unsigned char* at(std::size_t offset) const { return data_ + offset; }
    bool fits(std::uint64_t offset, std::uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    bool little() const { return little_; }

    bool u16(std::uint64_t offset, std::uint32_t& value) const {
        if (!fits(offset, 2)) return false;
        const unsigned char* p = data_ + offset;
        value = little_ ? (p[0] | (p[1] << 8)) : ((p[0] << 8) | p[1]);
        return true;
    }
    bool u32(std::uint64_t offset, std::uint32_t& value) const {
        if (!fits(offset, 4)) return false;
        const unsigned char* p = data_ + offset;
        value = little_ ? (std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
                           (std::uint32_t(p[3]) << 24))
                        : ((std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
                           std::uint32_t(p[3]));
        return true;
    }

private:
    const unsigned char* data_;
    std::size_t size_;
    bool little_;
};

struct Entry {
    bool present = false;
    std::uint32_t type = 0;
    std::uint32_t count = 0;
    std::uint64_t field = 0;  // file offset of the 4-byte value field
};

struct Directory {
    Entry width, length, bits, compression, offsets, samples, rowsPerStrip, byteCounts, predictor;
};

// Only the first directory is read; entries that lie past the end of the file are not there.
// A tag given twice counts with its last entry.
Directory readDirectory(const TiffBytes& file) {
    Directory dir;
    std::uint32_t ifd = 0, count = 0;
    if (!file.u32(4, ifd) || !file.u16(ifd, count)) return dir;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t at = std::uint64_t(ifd) + 2 + 12ull * i;
        std::uint32_t tag = 0, type = 0, n = 0;
        if (!file.fits(at, 12) || !file.u16(at, tag) || !file.u16(at + 2, type) || !file.u32(at + 4, n)) break;
        Entry* e = nullptr;
        switch (tag) {
            case kTagImageWidth: e = &dir.width; break;
            case kTagImageLength: e = &dir.length; break;
            case kTagBitsPerSample: e = &dir.bits; break;
            case kTagCompression: e = &dir.compression; break;
            case kTagStripOffsets: e = &dir.offsets; break;
            case kTagSamplesPerPixel: e = &dir.samples; break;
            case kTagRowsPerStrip: e = &dir.rowsPerStrip; break;
            case kTagStripByteCounts: e = &dir.byteCounts; break;
            case kTagPredictor: e = &dir.predictor; break;
            default: continue;
        }
        *e = Entry{true, type, n, at + 8};
    }
    return dir;
}

// A SHORT-valued tag of count 1 (Compression, SamplesPerPixel, Predictor): 16 bits of the field.
std::uint32_t shortValue(const TiffBytes& file, const Entry& e, std::uint32_t absent) {
    if (!e.present || e.count != 1) return absent;
    std::uint32_t v = 0;
    file.u16(e.field, v);
    return v;
}

// A tag that writers store as SHORT or LONG: the field type decides the width. Other types keep the
// traditional reading (16 bits for sizes, 32 for strip offsets and counts).
std::uint32_t sizedValue(const TiffBytes& file, const Entry& e, bool wideByDefault, std::uint32_t absent) {
    if (!e.present || e.count != 1) return absent;
    std::uint32_t v = 0;
    const bool wide = e.type == kTypeLong || (e.type != kTypeShort && wideByDefault);
    if (wide) file.u32(e.field, v);
    else file.u16(e.field, v);
    return v;
}

// Reads up to `wanted` values of a strip table; false when the table the entry describes does
// not lie inside the file.
bool readTable(const TiffBytes& file, const Entry& e, std::size_t wanted, std::vector<std::uint32_t>& out) {
    out.clear();
    if (!e.present || e.count == 0) return true;
    const bool isShort = e.type == kTypeShort;
    const std::uint64_t width = isShort ? 2 : 4;
    std::uint64_t start = e.field;
    if (std::uint64_t(e.count) * width > 4) {
        std::uint32_t offset = 0;
        if (!file.u32(e.field, offset)) return false;
        start = offset;
    }
    const bool whole = file.fits(start, std::uint64_t(e.count) * width);
    const std::size_t n = std::min<std::size_t>(e.count, wanted);
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t v = 0;
        const bool ok = isShort ? file.u16(start + width * i, v) : file.u32(start + width * i, v);
        if (!ok) return false;
        out.push_back(v);
    }
    return whole;
}

struct Layout {
    TiffProbe probe;
    std::uint32_t bits[3] = {0, 0, 0};
    std::uint32_t samples = 0;
    std::uint32_t rowsPerStrip = 0;
    std::uint32_t predictor = 1;
};

Layout readLayout(const TiffBytes& file, const Directory& dir) {
    Layout l;
    l.probe.width = sizedValue(file, dir.width, false, 0);
    l.probe.height = sizedValue(file, dir.length, false, 0);
    l.probe.compression = shortValue(file, dir.compression, 0);
    l.probe.predictor = shortValue(file, dir.predictor, 0);
    if (dir.bits.present && dir.bits.count != 1) {
        std::uint32_t offset = 0;
        if (file.u32(dir.bits.field, offset)) {
            for (int c = 0; c < 3; ++c) {
                if (!file.u16(std::uint64_t(offset) + 2u * c, l.bits[c])) l.bits[c] = 0;
            }
        }
    }
    l.probe.bitsPerSample = l.bits[0];
    l.samples = shortValue(file, dir.samples, 0);
    l.rowsPerStrip = sizedValue(file, dir.rowsPerStrip, false, 0);
    l.predictor = shortValue(file, dir.predictor, 1);
    return l;
}

inline float sampleFromBits(const unsigned char* p, int bits, bool little) {
    switch (bits) {
        case 8: return static_cast<float>(p[0]) / 256.0f;
        case 16: {
            const unsigned v = little ? (p[0] | (p[1] << 8)) : ((p[0] << 8) | p[1]);
            return static_cast<float>(v) / 65536.0f;
        }
        default: {
            const std::uint32_t v = little ? (std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) |
                                              (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24))
                                           : ((std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                                              (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]));
            float f;
            std::memcpy(&f, &v, sizeof f);
            return 2.0f * f;
        }
    }
}

}  // namespace

TiffProbe probeTiffMemory(const unsigned char* data, std::size_t size) {
    const TiffBytes file(data, size);
    return readLayout(file, readDirectory(file)).probe;
}

int readTiffMemory(const unsigned char* data, std::size_t size, FloatImage& pixels, DisplayBitmap& bitmap,
                   ProgressSink& progress) {
    const TiffBytes file(data, size);
    const Directory dir = readDirectory(file);
    Layout l = readLayout(file, dir);
    const std::uint32_t width = l.probe.width;
    const std::uint32_t height = l.probe.height;
    if (l.rowsPerStrip == 0 || l.rowsPerStrip > height) l.rowsPerStrip = height;

    int code = 0;
    const std::uint32_t bits = l.bits[0];
    if (!((bits == 8 || bits == 16 || bits == 32) && l.bits[1] == bits && l.bits[2] == bits)) code |= kTiffBitsNotAccepted;
    const std::uint32_t compression = l.probe.compression;
    if (compression != 1 && compression != 8 && compression != 32946) code |= kTiffCompressionNotAccepted;
    if (l.samples != 3) code |= kTiffSamplesNotAccepted;
    if (code != 0) return code;
    // The caller sizes both pictures from the probe; anything else would write outside them.
    if (width == 0 || height == 0 || pixels.width() != static_cast<int>(width) ||
        pixels.height() != static_cast<int>(height) || bitmap.width() != pixels.width() ||
        bitmap.height() != pixels.height()) {
        return kTiffDamagedStrips;
    }

    beginProgress(progress, height);
    const std::size_t pixelBytes = bits / 8 * 3;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * pixelBytes;
    const std::uint32_t rowsPerStrip = l.rowsPerStrip;
    const std::size_t stripsNeeded = (std::size_t(height) + rowsPerStrip - 1) / rowsPerStrip;

    // Missing tables mean one strip at offset 0 with 0 bytes.
    std::vector<std::uint32_t> offsets{0}, counts{0};
    if (dir.offsets.present) {
        if (dir.offsets.count == 1) {
            offsets.assign(1, sizedValue(file, dir.offsets, true, 0));
        } else if (!readTable(file, dir.offsets, stripsNeeded, offsets)) {
            code |= kTiffDamagedStrips;
        }
    }
    counts.assign(offsets.size(), 0);
    if (dir.byteCounts.present) {
        std::vector<std::uint32_t> given;
        if (dir.byteCounts.count == 1) {
            given.assign(1, sizedValue(file, dir.byteCounts, true, 0));
        } else if (!readTable(file, dir.byteCounts, offsets.size(), given)) {
            code |= kTiffDamagedStrips;
        }
        std::copy_n(given.begin(), std::min(given.size(), counts.size()), counts.begin());
    }
    if (offsets.size() < stripsNeeded) code |= kTiffDamagedStrips;

    std::vector<unsigned char> strip(std::size_t(rowsPerStrip) * rowBytes, 0);
    const bool little = file.little();
    const int bitsInt = static_cast<int>(bits);
    const std::size_t strips = std::min(offsets.size(), stripsNeeded);
    for (std::size_t s = 0; s < strips; ++s) {
        const std::uint64_t offset = offsets[s];
        const std::uint64_t count = counts[s];
        std::uint64_t available = 0;
        if (!file.fits(offset, count)) {
            code |= kTiffDamagedStrips;
            available = offset < size ? size - offset : 0;
        } else {
            available = count;
        }
        if (compression == 1) {
            // Bytes beyond one strip's worth of rows belong to no row.
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(available, strip.size()));
            if (take > 0) std::memcpy(strip.data(), file.at(offset), take);
        } else if (available > 0) {
            uLongf produced = static_cast<uLongf>(strip.size());
            const int rc = uncompress(strip.data(), &produced, file.at(offset), static_cast<uLong>(available));
            // A full buffer (Z_BUF_ERROR) only means the strip holds more than its rows need.
            if (rc != Z_OK && rc != Z_BUF_ERROR) code |= kTiffDamagedStrips;
        }
        const int firstRow = static_cast<int>(s * rowsPerStrip);
        const int lastRow = static_cast<int>(std::min<std::uint64_t>(std::uint64_t(s + 1) * rowsPerStrip, height));
        if (l.predictor == 1) {
            const int w = static_cast<int>(width);
            parallelRows(firstRow, lastRow, [&](int y) {
                const unsigned char* src = strip.data() + std::size_t(y - firstRow) * rowBytes;
                float* dst = pixels.row(y);
                std::uint32_t* display = bitmap.row(y);
                for (int x = 0; x < w; ++x) {
                    const unsigned char* p = src + std::size_t(x) * pixelBytes;
                    const float r = sampleFromBits(p, bitsInt, little);
                    const float g = sampleFromBits(p + bits / 8, bitsInt, little);
                    const float b = sampleFromBits(p + 2 * (bits / 8), bitsInt, little);
                    dst[3 * x + 0] = r;
                    dst[3 * x + 1] = g;
                    dst[3 * x + 2] = b;
                    display[x] = packRgb(tiffDisplayChannel(r), tiffDisplayChannel(g), tiffDisplayChannel(b));
                }
            }, &progress);
        } else {
            progress.advance(lastRow - firstRow);
        }
    }
    progress.setPosition(0);
    progress.setTextVisible(false);
    return code;
}

}  // namespace sv
