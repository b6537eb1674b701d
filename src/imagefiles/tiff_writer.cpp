#include "imagefiles/tiff_writer.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "image/atomic_file.h"

namespace sv {

namespace {

constexpr std::uint32_t kStripBudget = 500000;
constexpr std::uint32_t kDirectoryOffset = 21;
constexpr std::uint32_t kBitsOffset = 8;
constexpr std::uint32_t kSoftwareOffset = 14;
constexpr int kEntries = 12;

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Samples above 1 are held at 1; below 0 (never expected) and NaN become 0.
inline std::uint32_t quantise(float v, float scale) {
    if (v > 1.0f) v = 1.0f;
    const float t = v * scale;
    return t > 0.0f ? static_cast<std::uint32_t>(t) : 0u;
}

void convertRow(const float* src, int width, int bits, std::uint8_t* dst) {
    const std::size_t samples = static_cast<std::size_t>(width) * 3;
    if (bits == 8) {
        for (std::size_t i = 0; i < samples; ++i) dst[i] = static_cast<std::uint8_t>(quantise(src[i], 255.0f));
    } else {
        for (std::size_t i = 0; i < samples; ++i) put16(dst + 2 * i, quantise(src[i], 65280.0f));
    }
}

void writeEntry(std::uint8_t* p, std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
    put16(p, tag);
    put16(p + 2, type);
    put32(p + 4, count);
    put32(p + 8, value);
}

}  // namespace

TiffStripPlan tiffStripPlan(int width, int height, int bits) {
    TiffStripPlan plan;
    if (width <= 0 || height <= 0) return plan;
    plan.bytesPerRow = static_cast<std::uint64_t>(width) * 3 * static_cast<std::uint64_t>(bits) / 8;
    // A row wider than the budget still needs a strip of its own.
    plan.rowsPerStrip = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, kStripBudget / plan.bytesPerRow));
    plan.strips = static_cast<std::uint32_t>((static_cast<std::uint64_t>(height) + plan.rowsPerStrip - 1) /
                                             plan.rowsPerStrip);
    return plan;
}

std::vector<std::uint8_t> encodeTiff(const FloatImage& source, int bits, TiffCompressionChoice compression,
                                     ProgressSink& progress) {
    if (bits != 8 && bits != 16) throw std::invalid_argument("TIFF samples are 8 or 16 bits");
    const int width = source.width();
    const int height = source.height();
    if (width <= 0 || height <= 0) throw std::invalid_argument("there is no picture to write");
    const TiffStripPlan plan = tiffStripPlan(width, height, bits);
    const std::uint32_t n = plan.strips;
    const std::uint64_t rowBytes = plan.bytesPerRow;
    const std::uint32_t rps = plan.rowsPerStrip;
    auto rowsOf = [&](std::uint32_t t) {
        return std::min<std::uint64_t>(rps, static_cast<std::uint64_t>(height) - std::uint64_t(t) * rps);
    };
    constexpr std::uint64_t kReach = 0xFFFFFFFFull;

    beginProgress(progress, height);
    std::vector<std::uint32_t> offsets(n), counts(n);
    std::vector<std::uint8_t> file;
    std::uint64_t stripBytes = 0;
    if (compression == TiffCompressionChoice::None) {
        stripBytes = rowBytes * static_cast<std::uint64_t>(height);
        if (kTiffFirstStripOffset + stripBytes + 8ull * n > kReach) throw std::length_error("the picture is too large for a TIFF file");
        file.resize(kTiffFirstStripOffset + stripBytes + 8ull * n);
        tbb::parallel_for(tbb::blocked_range<int>(0, height), [&](const tbb::blocked_range<int>& r) {
            for (int y = r.begin(); y != r.end(); ++y) {
                convertRow(source.row(y), width, bits, file.data() + kTiffFirstStripOffset + rowBytes * y);
            }
            progress.advance(r.end() - r.begin());
        });
        for (std::uint32_t t = 0; t < n; ++t) {
            offsets[t] = static_cast<std::uint32_t>(kTiffFirstStripOffset + std::uint64_t(t) * rps * rowBytes);
            counts[t] = static_cast<std::uint32_t>(rowsOf(t) * rowBytes);
        }
    } else {
        // Strips are independent zlib streams: each is converted and compressed on its own, and the
        // results are laid out in strip order, so the bytes are the same on any number of threads.
        std::vector<std::vector<std::uint8_t>> packed(n);
        tbb::parallel_for(tbb::blocked_range<std::uint32_t>(0, n, 1), [&](const tbb::blocked_range<std::uint32_t>& r) {
            std::vector<std::uint8_t> raw;
            for (std::uint32_t t = r.begin(); t != r.end(); ++t) {
                const std::uint64_t rows = rowsOf(t);
                raw.resize(rows * rowBytes);
                for (std::uint64_t i = 0; i < rows; ++i) {
                    convertRow(source.row(static_cast<int>(std::uint64_t(t) * rps + i)), width, bits,
                               raw.data() + i * rowBytes);
                }
                uLongf size = compressBound(static_cast<uLong>(raw.size()));
                packed[t].resize(size);
                if (compress(packed[t].data(), &size, raw.data(), static_cast<uLong>(raw.size())) != Z_OK) {
                    throw std::bad_alloc();
                }
                packed[t].resize(size);
                packed[t].shrink_to_fit();
                progress.advance(static_cast<std::int64_t>(rows));
            }
        });
        for (const auto& p : packed) stripBytes += p.size();
        if (kTiffFirstStripOffset + stripBytes + 8ull * n > kReach) throw std::length_error("the picture is too large for a TIFF file");
        file.resize(kTiffFirstStripOffset + stripBytes + 8ull * n);
        std::uint64_t at = kTiffFirstStripOffset;
        for (std::uint32_t t = 0; t < n; ++t) {
            offsets[t] = static_cast<std::uint32_t>(at);
            counts[t] = static_cast<std::uint32_t>(packed[t].size());
            std::memcpy(file.data() + at, packed[t].data(), packed[t].size());
            at += packed[t].size();
            std::vector<std::uint8_t>().swap(packed[t]);
        }
    }

    // Header, BitsPerSample values, software name (no NUL), entry count.
    std::uint8_t* h = file.data();
    h[0] = 'I';
    h[1] = 'I';
    put16(h + 2, 42);
    put32(h + 4, kDirectoryOffset);
    for (int c = 0; c < 3; ++c) put16(h + kBitsOffset + 2 * c, static_cast<std::uint32_t>(bits));
    std::memcpy(h + kSoftwareOffset, "Sombrel", 7);
    put16(h + 21, kEntries);

    const std::uint64_t tableOffset = kTiffFirstStripOffset + stripBytes;
    const std::uint32_t stripOffsetsValue = n == 1 ? offsets[0] : static_cast<std::uint32_t>(tableOffset);
    const std::uint32_t byteCountsValue = n == 1 ? counts[0] : static_cast<std::uint32_t>(tableOffset + 4ull * n);
    std::uint8_t* e = h + 23;
    writeEntry(e + 0 * 12, 254, 4, 1, 0);
    writeEntry(e + 1 * 12, 256, 4, 1, static_cast<std::uint32_t>(width));
    writeEntry(e + 2 * 12, 257, 4, 1, static_cast<std::uint32_t>(height));
    writeEntry(e + 3 * 12, 258, 3, 3, kBitsOffset);
    writeEntry(e + 4 * 12, 259, 3, 1, compression == TiffCompressionChoice::None ? 1 : 32946);
    writeEntry(e + 5 * 12, 262, 3, 1, 2);
    writeEntry(e + 6 * 12, 273, 4, n, stripOffsetsValue);
    writeEntry(e + 7 * 12, 277, 3, 1, 3);
    writeEntry(e + 8 * 12, 278, 4, 1, rps);
    writeEntry(e + 9 * 12, 279, 4, n, byteCountsValue);
    writeEntry(e + 10 * 12, 284, 3, 1, 1);
    writeEntry(e + 11 * 12, 305, 2, 7, kSoftwareOffset);
    put32(h + 167, 0);

    // Both tables are always written, also for a single strip.
    for (std::uint32_t t = 0; t < n; ++t) {
        put32(file.data() + tableOffset + 4ull * t, offsets[t]);
        put32(file.data() + tableOffset + 4ull * n + 4ull * t, counts[t]);
    }
    return file;
}

bool writeTiff(const std::string& fileName, const FloatImage& source, int width, int height, int bits,
               TiffCompressionChoice compression, ProgressSink& progress, WriteError& error) {
    return writeTiff(fileName, source, width, height, bits, compression, nullptr, progress, error);
}

bool writeTiff(const std::string& fileName, const FloatImage& source, int width, int height, int bits,
               TiffCompressionChoice compression, const OutputMetadata* metadata, ProgressSink& progress,
               WriteError& error) {
    if (source.width() != width || source.height() != height || width <= 0 || height <= 0) {
        error = WriteError{WriteFailure::NothingToWrite, 0, {}};
        return false;
    }
    // The name is checked and the temporary file made before the long encoding, so that a name
    // that cannot be written is refused at once.
    AtomicFile out;
    if (!out.open(fileName, error)) return false;
    std::vector<std::uint8_t> file;
    try {
        file = encodeTiff(source, bits, compression, progress);
    } catch (const std::bad_alloc&) {
        endProgress(progress, height);
        error = WriteError{WriteFailure::NotEnoughMemory, 0, {}};
        return false;
    } catch (const std::length_error&) {
        endProgress(progress, height);
        error = WriteError{WriteFailure::TooLargeForTiff, 0, {}};
        return false;
    } catch (const std::invalid_argument&) {  // a sample size other than 8 or 16
        endProgress(progress, height);
        error = writeErrorFromErrno(EINVAL);
        return false;
    }
    if (metadata && !addMetadataToTiff(file, *metadata)) {
        endProgress(progress, height);
        error = WriteError{WriteFailure::MetadataNotWritten, 0, {}};
        return false;
    }
    const bool ok = out.writeAll(file.data(), file.size(), error) && out.commit(error);
    endProgress(progress, height);
    return ok;
}

bool writeTiff(const std::string& fileName, const FloatImage& source, int width, int height, int bits,
               TiffCompressionChoice compression, ProgressSink& progress, std::string& error) {
    WriteError e;
    const bool ok = writeTiff(fileName, source, width, height, bits, compression, progress, e);
    if (!ok) error = englishText(e);
    return ok;
}

}  // namespace sv
