// BMP decoding: Windows headers (40, 52, 56, 108 and 124 bytes), OS/2 1.x (12 bytes) and OS/2 2.x
// (16 to 64 bytes); 1, 2, 4 and 8-bit palettes, uncompressed or run-length coded (RLE8, RLE4, with
// delta, end-of-line and end-of-bitmap codes); 16 and 32-bit pixels with or without bit fields; 24
// bits; rows stored bottom-up or top-down. Alpha is ignored. Channels narrower than 8 bits are
// scaled as v * 255 / max, truncated, which is what PIL and FreeImage give (a 5-bit 4 is 32).
//
// This is our own small reader rather than stb_image: stb (2.27) reads neither run-length data
// nor OS/2 2.x headers, refuses valid files whose pixels do not follow the header directly,
// reads palette entries it never filled for indices beyond the palette, widens 5-bit channels by
// bit copying (a 4 becomes 33), and reads zeros past the end of a cut file without a word.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "image/parallel_rows.h"
#include "imagefiles/picture_decoder.h"

namespace sv {

namespace {

enum class BmpCoding { Raw, Rle8, Rle4 };

struct ChannelMask {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint64_t max = 0;  // the mask's value range, mask >> shift

    explicit ChannelMask(std::uint32_t m = 0) : mask(m) {
        if (m == 0) return;
        while (((m >> shift) & 1u) == 0) ++shift;
        max = m >> shift;
    }
    std::uint32_t channel(std::uint32_t v) const {
        if (max == 0) return 0;
        return static_cast<std::uint32_t>((static_cast<std::uint64_t>((v & mask) >> shift) * 255u) / max);
    }
};

struct BmpLayout {
    int width = 0;
    int height = 0;
    bool topDown = false;
    int bits = 0;
    BmpCoding coding = BmpCoding::Raw;
    ChannelMask red, green, blue;
    std::vector<std::uint32_t> palette;  // display words, 2^bits entries for palette pictures
    bool paletteCut = false;             // the file ends inside the palette
    std::uint64_t pixelOffset = 0;
};

std::uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}

// Parses the headers and the palette; false for what is not a BMP we read.
bool parseBmp(const unsigned char* d, std::size_t size, BmpLayout& l) {
    if (size < 26 || d[0] != 'B' || d[1] != 'M') return false;
    const std::uint32_t offset = le32(d + 10);
    const std::uint32_t hs = le32(d + 14);
    const bool core = hs == 12;
    const bool windows = hs == 40 || hs == 52 || hs == 56 || hs >= 108;
    const bool os2 = !core && !windows && hs >= 16 && hs <= 64;
    if (!core && !windows && !os2) return false;
    if (hs > size - 14) return false;
    const unsigned char* h = d + 14;
    std::int64_t width = 0, height = 0;
    std::uint32_t compression = 0, colours = 0;
    if (core) {
        width = le16(h + 4);
        height = le16(h + 6);
        l.bits = static_cast<int>(le16(h + 10));
    } else {
        width = static_cast<std::int32_t>(le32(h + 4));
        height = static_cast<std::int32_t>(le32(h + 8));
        l.bits = static_cast<int>(le16(h + 14));
        if (hs >= 20) compression = le32(h + 16);
        if (hs >= 36) colours = le32(h + 32);
    }
    if (width <= 0 || height == 0 || height == INT_MIN) return false;
    l.width = static_cast<int>(width);
    l.topDown = height < 0;
    l.height = static_cast<int>(height < 0 ? -height : height);

    std::uint64_t paletteStart = 14 + hs;
    const int bits = l.bits;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
    std::uint32_t masks[3] = {0, 0, 0};
    if (compression == 0) {
        if (bits == 16) {
            masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
        } else if (bits == 32) {
            masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
        }
    } else if (compression == 1 && bits == 8) {
        l.coding = BmpCoding::Rle8;
    } else if (compression == 2 && bits == 4) {
        l.coding = BmpCoding::Rle4;
    } else if (windows && (compression == 3 || compression == 6) && (bits == 16 || bits == 32)) {
        // Bit fields: inside the header from 52 bytes on, else right after it (a fourth one, alpha,
        // with compression 6).
        std::uint64_t at = 14 + 40;
        if (hs == 40) paletteStart += compression == 6 ? 16 : 12;
        if (at + 12 > size) return false;
        for (int c = 0; c < 3; ++c) masks[c] = le32(d + at + 4 * c);
    } else {
        return false;  // JPEG or PNG inside, OS/2 Huffman or RLE24, CMYK, or a coding that does not fit the depth
    }
    l.red = ChannelMask(masks[0]);
    l.green = ChannelMask(masks[1]);
    l.blue = ChannelMask(masks[2]);

    std::uint64_t paletteEnd = paletteStart;
    if (bits <= 8) {
        const std::uint32_t entries = 1u << bits;
        const std::uint32_t entrySize = core ? 3 : 4;
        std::uint32_t count = entries;
        if (core) {
            // OS/2 1.x has no colour count; a palette shorter than the depth shows in the offset.
            if (offset >= paletteStart + entrySize) count = std::min<std::uint64_t>(entries, (offset - paletteStart) / entrySize);
        } else if (colours != 0) {
            count = std::min(colours, entries);
        }
        // Entries beyond the palette: a grey ramp, as PIL shows them.
        l.palette.resize(entries);
        for (std::uint32_t i = 0; i < entries; ++i) l.palette[i] = packRgb(i, i, i);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t at = paletteStart + std::uint64_t(i) * entrySize;
            if (at + 3 > size) {
                l.paletteCut = true;
                break;
            }
            l.palette[i] = packRgb(d[at + 2], d[at + 1], d[at]);
        }
        paletteEnd = paletteStart + std::uint64_t(count) * entrySize;
    }
    l.pixelOffset = offset != 0 ? offset : paletteEnd;
    return true;
}

std::uint64_t rowBytesOf(const BmpLayout& l) { return (std::uint64_t(l.width) * l.bits + 31) / 32 * 4; }

// The bytes a complete picture needs from the pixel offset on. The last row's padding is not
// counted: some writers leave it out. Run-length data need at least their end-of-bitmap code.
std::uint64_t pixelBytesNeeded(const BmpLayout& l) {
    if (l.coding != BmpCoding::Raw) return 2;
    return rowBytesOf(l) * std::uint64_t(l.height - 1) + (std::uint64_t(l.width) * l.bits + 7) / 8;
}

int pictureRow(const BmpLayout& l, std::int64_t storedRow) {
    return l.topDown ? static_cast<int>(storedRow) : l.height - 1 - static_cast<int>(storedRow);
}

void decodeRawRow(const BmpLayout& l, const unsigned char* src, std::uint32_t* dst) {
    const int w = l.width;
    switch (l.bits) {
        case 1: case 2: case 4: case 8: {
            const int bits = l.bits;
            const unsigned perByte = 8u / static_cast<unsigned>(bits);
            const unsigned mask = (1u << bits) - 1;
            for (int x = 0; x < w; ++x) {
                const unsigned byte = src[static_cast<unsigned>(x) / perByte];
                const unsigned shift = 8u - static_cast<unsigned>(bits) * (static_cast<unsigned>(x) % perByte + 1);
                dst[x] = l.palette[(byte >> shift) & mask];
            }
            break;
        }
        case 16:
            for (int x = 0; x < w; ++x) {
                const std::uint32_t v = le16(src + 2 * static_cast<std::size_t>(x));
                dst[x] = packRgb(l.red.channel(v), l.green.channel(v), l.blue.channel(v));
            }
            break;
        case 24:
            for (int x = 0; x < w; ++x) {
                const unsigned char* p = src + 3 * static_cast<std::size_t>(x);
                dst[x] = packRgb(p[2], p[1], p[0]);
            }
            break;
        default:
            for (int x = 0; x < w; ++x) {
                const std::uint32_t v = le32(src + 4 * static_cast<std::size_t>(x));
                dst[x] = packRgb(l.red.channel(v), l.green.channel(v), l.blue.channel(v));
            }
            break;
    }
}

// Uncompressed rows; those the file does not hold stay black. True when every row was there.
bool decodeRaw(const unsigned char* d, std::size_t size, const BmpLayout& l, DisplayBitmap& bitmap) {
    const std::uint64_t rowBytes = rowBytesOf(l);
    const std::uint64_t used = (std::uint64_t(l.width) * l.bits + 7) / 8;
    const std::uint64_t available = l.pixelOffset < size ? size - l.pixelOffset : 0;
    const std::int64_t whole = available < used ? 0 : static_cast<std::int64_t>(std::min<std::uint64_t>(
                                                         (available - used) / rowBytes + 1, std::uint64_t(l.height)));
    parallelRows(0, static_cast<int>(whole), [&](int r) {
        decodeRawRow(l, d + l.pixelOffset + rowBytes * std::uint64_t(r), bitmap.row(pictureRow(l, r)));
    });
    return whole == l.height;
}

// Run-length data. Pixels that the codes skip (delta, end of line, end of bitmap) take palette
// entry 0, as in PIL and ImageMagick; pixels past the end of a row are dropped. True when the data
// reach the end of the picture (the end-of-bitmap code, or past the last row).
bool decodeRle(const unsigned char* d, std::size_t size, const BmpLayout& l, DisplayBitmap& bitmap) {
    const bool rle4 = l.coding == BmpCoding::Rle4;
    const std::uint32_t skipped = l.palette[0];
    for (int y = 0; y < l.height; ++y) std::fill(bitmap.row(y), bitmap.row(y) + l.width, skipped);
    std::uint64_t pos = l.pixelOffset;
    std::int64_t x = 0, r = 0;
    auto put = [&](std::int64_t at, unsigned index) { bitmap.at(static_cast<int>(at), pictureRow(l, r)) = l.palette[index]; };
    while (r < l.height) {
        if (pos >= size || size - pos < 2) return false;
        const unsigned count = d[pos], value = d[pos + 1];
        pos += 2;
        if (count > 0) {
            const std::int64_t shown = std::clamp<std::int64_t>(l.width - x, 0, count);
            for (std::int64_t i = 0; i < shown; ++i) put(x + i, rle4 ? ((i & 1) ? value & 15u : value >> 4) : value);
            x += count;
        } else if (value == 0) {  // end of line
            x = 0;
            ++r;
        } else if (value == 1) {  // end of bitmap
            return true;
        } else if (value == 2) {  // delta: right and up (in stored order)
            if (size - pos < 2) return false;
            x += d[pos];
            r += d[pos + 1];
            pos += 2;
        } else {  // absolute run of `value` pixels, padded to 16 bits
            const std::uint64_t bytes = rle4 ? (value + 1) / 2 : value;
            const bool whole = size - pos >= bytes;
            const std::int64_t present = whole ? value : static_cast<std::int64_t>(rle4 ? (size - pos) * 2 : size - pos);
            const std::int64_t shown = std::clamp<std::int64_t>(l.width - x, 0, present);
            for (std::int64_t i = 0; i < shown; ++i) {
                const unsigned char b = d[pos + static_cast<std::uint64_t>(rle4 ? i / 2 : i)];
                put(x + i, rle4 ? ((i & 1) ? b & 15u : b >> 4) : b);
            }
            if (!whole) return false;
            x += value;
            pos += bytes + (bytes & 1);
        }
    }
    return true;
}

}  // namespace

DecodedPicture decodeBmpMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress) {
    DecodedPicture out;
    out.failure = Message{MessageId::CannotReadFile, 0, name};
    BmpLayout l;
    if (!parseBmp(data, size, l)) return out;
    PictureClaim claim;
    claim.name = name;
    claim.width = l.width;
    claim.height = l.height;
    const std::uint64_t available = l.pixelOffset < size ? size - l.pixelOffset : 0;
    claim.fileTooShort = l.paletteCut || available < pixelBytesNeeded(l);
    if (!preparePicture(out, claim, hooks)) return out;
    const bool whole = l.coding == BmpCoding::Raw ? decodeRaw(data, size, l, out.bitmap) : decodeRle(data, size, l, out.bitmap);
    floatsFromBitmap(out.bitmap, out.pixels, progress);
    out.incomplete = !whole || l.paletteCut;
    if (out.incomplete) out.failure = Message{MessageId::IncompleteFile, 0, name};
    out.ok = true;
    return out;
}

DecodedPicture decodeBmpMemory(const unsigned char* data, std::size_t size, ProgressSink& progress) {
    return decodeBmpMemory(data, size, "(BMP)", DecodeHooks{}, progress);
}

}  // namespace sv
