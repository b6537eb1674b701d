#pragma once
// Hand-made TIFF and Radiance files for the reader tests: every field under the test's control,
// including the ones real writers get wrong.

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sv::test {

using Bytes = std::vector<std::uint8_t>;

class ByteWriter {
public:
    explicit ByteWriter(bool little) : little_(little) {}
    void u8(std::uint32_t v) { bytes.push_back(static_cast<std::uint8_t>(v)); }
    void u16(std::uint32_t v) {
        if (little_) { u8(v); u8(v >> 8); } else { u8(v >> 8); u8(v); }
    }
    void u32(std::uint32_t v) {
        if (little_) { u16(v & 0xFFFF); u16(v >> 16); } else { u16(v >> 16); u16(v & 0xFFFF); }
    }
    void f32(float f) {
        std::uint32_t v;
        std::memcpy(&v, &f, 4);
        u32(v);
    }
    void append(const Bytes& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
    void put32At(std::size_t at, std::uint32_t v) {
        ByteWriter w(little_);
        w.u32(v);
        std::memcpy(bytes.data() + at, w.bytes.data(), 4);
    }
    Bytes bytes;

private:
    bool little_;
};

struct TiffEntrySpec {
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    std::uint32_t value;  // value field as a 32-bit number (SHORT values are placed by the builder)
};

// A chunky RGB TIFF: `samples` are the raw sample values row by row (8/16-bit integers, or the bit
// patterns of 32-bit floats), written in the chosen byte order.
struct TiffSpec {
    bool little = true;
    std::uint32_t width = 4;
    std::uint32_t height = 3;
    int bits = 8;
    int samplesPerPixel = 3;
    int compression = 1;           // 1, 8 or 32946 are produced; anything else is only recorded
    int predictor = 0;             // 0: no Predictor tag
    std::uint32_t rowsPerStrip = 0;  // 0: no RowsPerStrip tag (one strip)
    std::uint16_t sizeType = 4;    // field type of ImageWidth, ImageLength, RowsPerStrip
    std::uint16_t stripType = 4;   // field type of StripOffsets and StripByteCounts
    int bitsInTag = 0;             // BitsPerSample as recorded; 0: `bits`
    std::vector<std::uint32_t> samples;
};

// Every sample of every pixel the same value.
inline TiffSpec uniformTiff(std::uint32_t width, std::uint32_t height, std::uint32_t value, std::uint32_t rowsPerStrip = 0) {
    TiffSpec s;
    s.width = width;
    s.height = height;
    s.rowsPerStrip = rowsPerStrip;
    s.samples.assign(std::size_t(width) * height * 3, value);
    return s;
}

inline std::vector<std::uint8_t> deflateBytes(const Bytes& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    compress(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
    out.resize(size);
    return out;
}

inline Bytes buildTiff(const TiffSpec& s, std::vector<TiffEntrySpec> extra = {}) {
    ByteWriter w(s.little);
    w.u8(s.little ? 'I' : 'M');
    w.u8(s.little ? 'I' : 'M');
    w.u16(42);
    w.u32(0);  // IFD offset, patched below
    const std::uint32_t rps = s.rowsPerStrip ? s.rowsPerStrip : s.height;
    const std::uint32_t strips = (s.height + rps - 1) / rps;
    const std::size_t perRow = static_cast<std::size_t>(s.width) * s.samplesPerPixel;
    std::vector<std::uint32_t> offsets, counts;
    for (std::uint32_t t = 0; t < strips; ++t) {
        ByteWriter raw(s.little);
        for (std::uint32_t y = t * rps; y < std::min(s.height, (t + 1) * rps); ++y) {
            for (std::size_t i = 0; i < perRow; ++i) {
                const std::uint32_t v = s.samples[y * perRow + i];
                if (s.bits == 8) raw.u8(v);
                else if (s.bits == 16) raw.u16(v);
                else raw.u32(v);
            }
        }
        const Bytes data = (s.compression == 8 || s.compression == 32946) ? deflateBytes(raw.bytes) : raw.bytes;
        offsets.push_back(static_cast<std::uint32_t>(w.bytes.size()));
        counts.push_back(static_cast<std::uint32_t>(data.size()));
        w.append(data);
        if (w.bytes.size() % 2) w.u8(0);
    }
    const std::uint32_t stripWidth = s.stripType == 3 ? 2 : 4;
    auto table = [&](const std::vector<std::uint32_t>& values) -> std::uint32_t {
        if (values.size() * stripWidth <= 4) return 0;  // inline
        const std::uint32_t at = static_cast<std::uint32_t>(w.bytes.size());
        for (auto v : values) stripWidth == 2 ? w.u16(v) : w.u32(v);
        return at;
    };
    const std::uint32_t offsetTable = table(offsets);
    const std::uint32_t countTable = table(counts);
    const std::uint32_t bitsAt = static_cast<std::uint32_t>(w.bytes.size());
    for (int c = 0; c < s.samplesPerPixel; ++c) w.u16(static_cast<std::uint32_t>(s.bitsInTag ? s.bitsInTag : s.bits));

    std::vector<TiffEntrySpec> entries = {
        {256, s.sizeType, 1, s.width},
        {257, s.sizeType, 1, s.height},
        {258, 3, static_cast<std::uint32_t>(s.samplesPerPixel),
         s.samplesPerPixel == 1 ? static_cast<std::uint32_t>(s.bitsInTag ? s.bitsInTag : s.bits) : bitsAt},
        {259, 3, 1, static_cast<std::uint32_t>(s.compression)},
        {262, 3, 1, 2},
        {273, s.stripType, strips, offsetTable},
        {277, 3, 1, static_cast<std::uint32_t>(s.samplesPerPixel)},
        {279, s.stripType, strips, countTable},
        {284, 3, 1, 1},
    };
    if (s.rowsPerStrip) entries.push_back({278, s.sizeType, 1, s.rowsPerStrip});
    if (s.predictor) entries.push_back({317, 3, 1, static_cast<std::uint32_t>(s.predictor)});
    for (const auto& e : extra) entries.push_back(e);
    std::stable_sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.tag < b.tag; });

    if (w.bytes.size() % 2) w.u8(0);
    w.put32At(4, static_cast<std::uint32_t>(w.bytes.size()));
    w.u16(static_cast<std::uint32_t>(entries.size()));
    for (const auto& e : entries) {
        w.u16(e.tag);
        w.u16(e.type);
        w.u32(e.count);
        const bool inlineStrips = (e.tag == 273 || e.tag == 279) && e.count * stripWidth <= 4;
        if (inlineStrips) {
            const auto& values = e.tag == 273 ? offsets : counts;
            if (stripWidth == 2) {
                w.u16(values[0]);
                w.u16(values.size() > 1 ? values[1] : 0);
            } else {
                w.u32(values[0]);
            }
        } else if (e.type == 3 && e.count == 1) {
            w.u16(e.value);
            w.u16(0);
        } else {
            w.u32(e.value);
        }
    }
    w.u32(0);
    return w.bytes;
}

// One Radiance scanline in the new run-length form, each component coded with literal runs only
// (`runs` false) or with a run wherever two or more equal bytes follow each other.
inline void appendRgbeScanline(Bytes& out, const std::vector<std::uint8_t>& rgbe, bool runs) {
    const int n = static_cast<int>(rgbe.size() / 4);
    out.insert(out.end(), {2, 2, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n & 0xFF)});
    for (int k = 0; k < 4; ++k) {
        int x = 0;
        while (x < n) {
            int run = 1;
            while (runs && x + run < n && run < 127 && rgbe[(x + run) * 4 + k] == rgbe[x * 4 + k]) ++run;
            if (run >= 2) {
                out.push_back(static_cast<std::uint8_t>(128 + run));
                out.push_back(rgbe[x * 4 + k]);
                x += run;
            } else {
                int lit = 0;
                while (x + lit < n && lit < 128 &&
                       !(runs && x + lit + 1 < n && rgbe[(x + lit + 1) * 4 + k] == rgbe[(x + lit) * 4 + k])) {
                    ++lit;
                }
                if (lit == 0) lit = 1;
                out.push_back(static_cast<std::uint8_t>(lit));
                for (int i = 0; i < lit; ++i) out.push_back(rgbe[(x + i) * 4 + k]);
                x += lit;
            }
        }
    }
}

inline Bytes buildRgbe(int width, int height, const std::vector<std::uint8_t>& rgbe, bool runs = true,
                       const std::string& header = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n") {
    Bytes out(header.begin(), header.end());
    const std::string res = "-Y " + std::to_string(height) + " +X " + std::to_string(width) + "\n";
    out.insert(out.end(), res.begin(), res.end());
    for (int y = 0; y < height; ++y) {
        std::vector<std::uint8_t> line(rgbe.begin() + static_cast<long>(y) * width * 4,
                                       rgbe.begin() + static_cast<long>(y + 1) * width * 4);
        appendRgbeScanline(out, line, runs);
    }
    return out;
}

// ---- BMP --------------------------------------------------------------------------------------

// A BMP with every header field under the test's control. `pixels` is the pixel array as stored.
struct BmpSpec {
    std::uint32_t headerSize = 40;   // 12 (OS/2 1.x), 16..64 (OS/2 2.x), 40, 52, 56, 108, 124
    std::int32_t width = 4;
    std::int32_t height = 3;         // negative: rows stored top-down
    int bits = 24;
    std::uint32_t compression = 0;
    std::uint32_t masks[4] = {0, 0, 0, 0};  // bit fields: after a 40-byte header, inside longer ones
    std::vector<std::uint32_t> palette;     // 0xRRGGBB
    std::uint32_t coloursUsed = 0;
    std::uint32_t pixelOffset = 0;          // 0: right after the palette
    Bytes pixels;
};

inline Bytes buildBmp(const BmpSpec& s) {
    ByteWriter h(true);
    if (s.headerSize == 12) {
        h.u32(12);
        h.u16(static_cast<std::uint32_t>(s.width));
        h.u16(static_cast<std::uint32_t>(s.height));
        h.u16(1);
        h.u16(static_cast<std::uint32_t>(s.bits));
    } else {
        h.u32(s.headerSize);
        h.u32(static_cast<std::uint32_t>(s.width));
        h.u32(static_cast<std::uint32_t>(s.height));
        h.u16(1);
        h.u16(static_cast<std::uint32_t>(s.bits));
        h.u32(s.compression);
        h.u32(static_cast<std::uint32_t>(s.pixels.size()));
        h.u32(2835);
        h.u32(2835);
        h.u32(s.coloursUsed);
        h.u32(0);
        for (std::uint32_t m : s.masks) h.u32(m);
        h.u32(0x73524742);  // "sRGB"
        while (h.bytes.size() < 124) h.u8(0);
        h.bytes.resize(s.headerSize);
    }
    if (s.headerSize == 40 && (s.compression == 3 || s.compression == 6)) {
        for (int c = 0; c < (s.compression == 6 ? 4 : 3); ++c) h.u32(s.masks[c]);
    }
    for (std::uint32_t c : s.palette) {
        h.u8(c);
        h.u8(c >> 8);
        h.u8(c >> 16);
        if (s.headerSize != 12) h.u8(0);
    }
    const std::uint32_t offset = s.pixelOffset ? s.pixelOffset : static_cast<std::uint32_t>(14 + h.bytes.size());
    ByteWriter f(true);
    f.u8('B');
    f.u8('M');
    f.u32(static_cast<std::uint32_t>(offset + s.pixels.size()));
    f.u32(0);
    f.u32(offset);
    f.append(h.bytes);
    while (f.bytes.size() < offset) f.u8(0);
    f.append(s.pixels);
    return f.bytes;
}

// An uncompressed pixel array from values in picture order (top row first): palette indices for
// 1 to 8 bits, stored words for 16 and 32 bits, 0xRRGGBB for 24 bits. Rows padded to 4 bytes.
inline Bytes packBmpRows(const std::vector<std::vector<std::uint32_t>>& rows, int bits, bool topDown) {
    Bytes out;
    const std::size_t h = rows.size();
    for (std::size_t k = 0; k < h; ++k) {
        const auto& row = rows[topDown ? k : h - 1 - k];
        ByteWriter w(true);
        if (bits <= 8) {
            unsigned acc = 0, used = 0;
            for (std::uint32_t v : row) {
                acc = (acc << bits) | (v & ((1u << bits) - 1));
                used += static_cast<unsigned>(bits);
                if (used == 8) {
                    w.u8(acc);
                    acc = used = 0;
                }
            }
            if (used) w.u8(acc << (8 - used));
        } else {
            for (std::uint32_t v : row) {
                if (bits == 16) w.u16(v);
                else if (bits == 32) w.u32(v);
                else { w.u8(v); w.u8(v >> 8); w.u8(v >> 16); }
            }
        }
        while (w.bytes.size() % 4) w.u8(0);
        out.insert(out.end(), w.bytes.begin(), w.bytes.end());
    }
    return out;
}

// Run-length data (RLE8, or RLE4 when `rle4`) of palette indices in picture order, bottom row
// first as the format stores them: a run wherever values repeat, absolute runs (even lengths in
// RLE4) elsewhere, an end-of-line code after each row and end-of-bitmap at the end.
inline Bytes encodeBmpRle(const std::vector<std::vector<std::uint32_t>>& rows, bool rle4) {
    Bytes out;
    for (std::size_t k = rows.size(); k-- > 0;) {
        const auto& row = rows[k];
        const std::size_t n = row.size();
        std::size_t x = 0;
        while (x < n) {
            std::size_t run = 1;
            while (x + run < n && run < 255 && row[x + run] == row[x]) ++run;
            std::size_t lit = 0;
            if (run == 1) {
                while (x + lit < n && lit < 254 && !(x + lit + 1 < n && row[x + lit] == row[x + lit + 1])) ++lit;
                if (rle4) lit &= ~std::size_t(1);
            }
            if (lit >= (rle4 ? 4u : 3u)) {
                out.push_back(0);
                out.push_back(static_cast<std::uint8_t>(lit));
                std::size_t bytes = 0;
                for (std::size_t i = 0; i < lit; i += rle4 ? 2 : 1, ++bytes) {
                    out.push_back(static_cast<std::uint8_t>(rle4 ? (row[x + i] << 4) | row[x + i + 1] : row[x + i]));
                }
                if (bytes % 2) out.push_back(0);
                x += lit;
            } else {
                // RLE4 runs alternate two nibbles; the same one twice makes a run of one value.
                out.push_back(static_cast<std::uint8_t>(run));
                out.push_back(static_cast<std::uint8_t>(rle4 ? (row[x] << 4) | row[x] : row[x]));
                x += run;
            }
        }
        out.push_back(0);
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(1);
    return out;
}

}  // namespace sv::test
