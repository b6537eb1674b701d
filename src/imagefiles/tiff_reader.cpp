#include "imagefiles/tiff_reader.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <limits>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>

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
    // A table that claims more entries than the file holds is read only as far as the file goes.
    const std::uint64_t inFile = start < file.size() ? (file.size() - start) / width : 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>({e.count, wanted, inFile}));
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

// Float files may hold infinities and NaNs (a renderer's fireflies, a failed division). No such
// value may reach the stack, where one NaN spreads through every view: NaN, having no value,
// becomes 0, and everything beyond kTiffSampleLimit (infinities and the overflow of 2 x f)
// is held there.
inline float finiteSample(float v) {
    if (v != v) return 0.0f;
    return std::clamp(v, -kTiffSampleLimit, kTiffSampleLimit);
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
            return finiteSample(2.0f * f);
        }
    }
}

void decodeRgbRow(const unsigned char* src, int width, int bits, bool little, float* dst, std::uint32_t* display) {
    const std::size_t sampleBytes = static_cast<std::size_t>(bits / 8);
    for (int x = 0; x < width; ++x) {
        const unsigned char* p = src + std::size_t(x) * 3 * sampleBytes;
        const float r = sampleFromBits(p, bits, little);
        const float g = sampleFromBits(p + sampleBytes, bits, little);
        const float b = sampleFromBits(p + 2 * sampleBytes, bits, little);
        dst[3 * x + 0] = r;
        dst[3 * x + 1] = g;
        dst[3 * x + 2] = b;
        display[x] = packRgb(tiffDisplayChannel(r), tiffDisplayChannel(g), tiffDisplayChannel(b));
    }
}

// The strips an accepted layout needs and where the directory puts them.
struct Strips {
    std::uint32_t width = 0, height = 0, rowsPerStrip = 0, compression = 0;
    std::size_t pixelBytes = 0, rowBytes = 0, needed = 0;
    std::vector<std::uint32_t> offsets, counts;
    bool complete = true;  // every strip is there, inside the file, and long enough for its rows

    std::uint32_t rowsIn(std::size_t s) const {
        const std::uint64_t first = std::uint64_t(s) * rowsPerStrip;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(rowsPerStrip, height - first));
    }
    bool deflated() const { return compression != 1; }
};

// The error bits of a layout the reader does not take; 0 when it takes it.
int layoutCode(const Layout& l) {
    int code = 0;
    const std::uint32_t bits = l.bits[0];
    if (!((bits == 8 || bits == 16 || bits == 32) && l.bits[1] == bits && l.bits[2] == bits)) code |= kTiffBitsNotAccepted;
    const std::uint32_t compression = l.probe.compression;
    if (compression != 1 && compression != 8 && compression != 32946) code |= kTiffCompressionNotAccepted;
    if (l.samples != 3) code |= kTiffSamplesNotAccepted;
    return code;
}

// Deflate codes at most 258 bytes with two bits (the shortest length and distance codes), so
// no stream inflates more than 1032 times its size, and each strip's zlib frame adds 6 bytes:
// a strip of n bytes holds at most 1033 n bytes of rows.
constexpr std::uint64_t kDeflateMostRatio = 1033;

// Reads the strip tables of an accepted layout and checks that each strip the rows need lies
// inside the file and is long enough to hold its rows. Missing tables count as missing strips.
Strips readStrips(const TiffBytes& file, const Directory& dir, const Layout& l) {
    Strips s;
    s.width = l.probe.width;
    s.height = l.probe.height;
    s.compression = l.probe.compression;
    s.rowsPerStrip = (l.rowsPerStrip == 0 || l.rowsPerStrip > s.height) ? s.height : l.rowsPerStrip;
    s.pixelBytes = l.bits[0] / 8 * 3;
    s.rowBytes = static_cast<std::size_t>(s.width) * s.pixelBytes;
    s.needed = s.rowsPerStrip == 0 ? 0 : (std::size_t(s.height) + s.rowsPerStrip - 1) / s.rowsPerStrip;
    if (!dir.offsets.present || !dir.byteCounts.present) s.complete = false;
    if (dir.offsets.present) {
        if (dir.offsets.count == 1) s.offsets.assign(1, sizedValue(file, dir.offsets, true, 0));
        else if (!readTable(file, dir.offsets, s.needed, s.offsets)) s.complete = false;
    }
    if (dir.byteCounts.present) {
        if (dir.byteCounts.count == 1) s.counts.assign(1, sizedValue(file, dir.byteCounts, true, 0));
        else if (!readTable(file, dir.byteCounts, s.offsets.size(), s.counts)) s.complete = false;
    }
    if (s.offsets.size() < s.needed || s.counts.size() < std::min(s.offsets.size(), s.needed)) s.complete = false;
    s.counts.resize(s.offsets.size(), 0);
    for (std::size_t k = 0; k < std::min(s.offsets.size(), s.needed) && s.complete; ++k) {
        const std::uint64_t rows = std::uint64_t(s.rowsIn(k)) * s.rowBytes;
        const std::uint64_t least = s.deflated() ? rows / kDeflateMostRatio + 1 : rows;
        if (!file.fits(s.offsets[k], s.counts[k]) || s.counts[k] < least) s.complete = false;
    }
    return s;
}

// Inflates one strip, ignoring its Adler-32 trailer: the rows are what the data say, and a
// checksum written wrong (as some writers do) does not make good data unreadable. Returns the
// bytes produced; `intact` is false when the data are not a zlib stream or stop before both their
// end and the rows' end.
std::size_t inflateStrip(const unsigned char* in, std::size_t inBytes, unsigned char* out, std::size_t outBytes,
                         bool& intact) {
    intact = false;
    // The two-byte zlib header: method 8, a window of at most 32 KB, no preset dictionary.
    if (inBytes < 2 || (in[0] & 0x0F) != 8 || (in[0] >> 4) > 7 || ((in[0] << 8) | in[1]) % 31 != 0 || (in[1] & 0x20)) {
        return 0;
    }
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return 0;
    z.next_in = const_cast<unsigned char*>(in + 2);
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(inBytes - 2, UINT_MAX));
    z.next_out = out;
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(outBytes, UINT_MAX));
    const int rc = inflate(&z, Z_FINISH);
    const std::size_t produced = outBytes - z.avail_out;
    // Ended, or stopped only because the rows are full (the strip holds more than they need).
    intact = rc == Z_STREAM_END || ((rc == Z_OK || rc == Z_BUF_ERROR) && z.avail_out == 0);
    inflateEnd(&z);
    return produced;
}

// Inflates (or copies) one strip into `strip` and decodes the rows it wholly holds; the other
// rows keep what they had. No row ever reads a byte its own strip did not produce, which is what
// makes the strips independent of one another whatever the buffer held before. Returns false
// when the strip is damaged (not inflatable, or short of its rows).
struct StripDecoder {
    const TiffBytes& file;
    const Strips& s;
    const Layout& l;
    FloatImage& pixels;
    DisplayBitmap& bitmap;
    ProgressSink& progress;

    bool decode(std::size_t k, unsigned char* strip, bool rowsInParallel) const {
        const std::uint64_t offset = s.offsets[k];
        const std::uint64_t count = s.counts[k];
        const std::uint64_t size = file.size();
        const std::uint64_t available = offset < size ? std::min<std::uint64_t>(count, size - offset) : 0;
        const std::size_t rowsBytes = std::size_t(s.rowsIn(k)) * s.rowBytes;
        std::size_t produced = 0;
        bool intactStrip = true;
        if (!s.deflated()) {
            // Bytes beyond one strip's worth of rows belong to no row.
            produced = static_cast<std::size_t>(std::min<std::uint64_t>(available, rowsBytes));
            if (produced > 0) std::memcpy(strip, file.at(offset), produced);
        } else if (available > 0) {
            bool intact = false;
            produced = inflateStrip(file.at(offset), static_cast<std::size_t>(available), strip, rowsBytes, intact);
            if (!intact || produced < rowsBytes) intactStrip = false;
        }
        const int firstRow = static_cast<int>(k * s.rowsPerStrip);
        const int lastRow = firstRow + static_cast<int>(s.rowBytes ? produced / s.rowBytes : 0);
        if (l.predictor != 1) {
            progress.advance(s.rowsIn(k));
            return intactStrip;
        }
        const auto decodeRow = [&](int y) {
            const unsigned char* src = strip + std::size_t(y - firstRow) * s.rowBytes;
            decodeRgbRow(src, static_cast<int>(s.width), static_cast<int>(l.bits[0]), file.little(), pixels.row(y),
                         bitmap.row(y));
        };
        if (rowsInParallel) {
            parallelRows(firstRow, lastRow, decodeRow, &progress);
        } else {
            for (int y = firstRow; y < lastRow; ++y) decodeRow(y);
            progress.advance(lastRow - firstRow);
        }
        progress.advance(static_cast<int>(s.rowsIn(k)) - (lastRow - firstRow));
        return intactStrip;
    }
};

}  // namespace

TiffProbe probeTiffMemory(const unsigned char* data, std::size_t size) {
    const TiffBytes file(data, size);
    const Directory dir = readDirectory(file);
    const Layout l = readLayout(file, dir);
    TiffProbe probe = l.probe;
    if (layoutCode(l) == 0 && probe.width > 0 && probe.height > 0) {
        const Strips s = readStrips(file, dir, l);
        probe.stripBufferBytes = std::uint64_t(s.rowsPerStrip) * s.rowBytes;
        probe.stripCount = s.needed;
        probe.stripsMissing = !s.complete;
    }
    return probe;
}

int readTiffMemory(const unsigned char* data, std::size_t size, FloatImage& pixels, DisplayBitmap& bitmap,
                   ProgressSink& progress) {
    return readTiffStrips(data, size, pixels, bitmap, progress).code;
}

std::size_t tiffStripWorkers(std::uint64_t strips) {
    const auto cores = static_cast<std::uint64_t>(std::max(1, tbb::info::default_concurrency()));
    return static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min(cores, strips)));
}

TiffReadOutcome readTiffStrips(const unsigned char* data, std::size_t size, FloatImage& pixels, DisplayBitmap& bitmap,
                               ProgressSink& progress) {
    return detail::readTiffStrips(data, size, pixels, bitmap, progress, 0);
}

TiffReadOutcome detail::readTiffStrips(const unsigned char* data, std::size_t size, FloatImage& pixels,
                                       DisplayBitmap& bitmap, ProgressSink& progress, std::size_t maxWorkers) {
    TiffReadOutcome outcome;
    const TiffBytes file(data, size);
    const Directory dir = readDirectory(file);
    const Layout l = readLayout(file, dir);
    const std::uint32_t width = l.probe.width;
    const std::uint32_t height = l.probe.height;

    outcome.code = layoutCode(l);
    if (outcome.code != 0) return outcome;
    // The caller sizes both pictures from the probe; anything else would write outside them.
    if (width == 0 || height == 0 || pixels.width() != static_cast<int>(width) ||
        pixels.height() != static_cast<int>(height) || bitmap.width() != pixels.width() ||
        bitmap.height() != pixels.height()) {
        outcome.code = kTiffDamagedStrips;
        return outcome;
    }

    beginProgress(progress, height);
    const Strips s = readStrips(file, dir, l);
    // Data that are not there make the picture incomplete; data that are there but do not decode
    // (or decode to less than the rows) make it damaged. Both are error 8.
    outcome.incomplete = !s.complete;
    const std::size_t strips = std::min(s.offsets.size(), s.needed);
    const std::size_t bufferBytes = std::size_t(s.rowsPerStrip) * s.rowBytes;
    const StripDecoder decoder{file, s, l, pixels, bitmap, progress};
    bool damaged = false;
    const std::size_t workers = maxWorkers == 0 ? tiffStripWorkers(strips) : std::min(maxWorkers, strips);
    if (workers <= 1) {
        std::vector<unsigned char> strip(bufferBytes, 0);
        for (std::size_t k = 0; k < strips; ++k) damaged = !decoder.decode(k, strip.data(), true) || damaged;
    } else {
        // Each strip's rows come only from the bytes that strip itself produced (see decode), so
        // the strips are independent and may be inflated side by side, each worker with a buffer
        // of its own; rows are disjoint, so the pixels are those of the one-buffer order.
        tbb::enumerable_thread_specific<std::vector<unsigned char>> buffers(
            [bufferBytes] { return std::vector<unsigned char>(bufferBytes, 0); });
        std::atomic<bool> anyDamaged{false};
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, strips, 1), [&](const tbb::blocked_range<std::size_t>& r) {
            std::vector<unsigned char>& strip = buffers.local();
            for (std::size_t k = r.begin(); k != r.end(); ++k) {
                if (!decoder.decode(k, strip.data(), false)) anyDamaged.store(true, std::memory_order_relaxed);
            }
        });
        damaged = anyDamaged.load();
    }
    if (damaged || outcome.incomplete) outcome.code |= kTiffDamagedStrips;
    progress.setPosition(0);
    progress.setTextVisible(false);
    return outcome;
}

}  // namespace sv
