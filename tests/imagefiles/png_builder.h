#pragma once
// Hand-made PNG files for the reader tests: chunks with their checksums, the picture rows with
// filter type 0, Deflate through zlib, so that every field (and every fault) is the test's choice.

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sv::test {

inline void appendPngChunk(std::vector<std::uint8_t>& png, const char type[4], const std::vector<std::uint8_t>& data) {
    auto be32 = [&](std::uint32_t v) {
        for (int i = 3; i >= 0; --i) png.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    be32(static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    be32(static_cast<std::uint32_t>(crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

// A PNG of `rows` (each already packed at the bit depth and colour type given, without its filter
// byte). `gamma`: the gAMA value x 100000, 0 for none.
inline std::vector<std::uint8_t> buildPng(std::uint32_t width, std::uint32_t height, int bitDepth, int colourType,
                                          const std::vector<std::vector<std::uint8_t>>& rows, std::uint32_t gamma = 0) {
    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<std::uint8_t> ihdr;
    for (const std::uint32_t v : {width, height}) {
        for (int i = 3; i >= 0; --i) ihdr.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    ihdr.insert(ihdr.end(), {static_cast<std::uint8_t>(bitDepth), static_cast<std::uint8_t>(colourType), 0, 0, 0});
    appendPngChunk(png, "IHDR", ihdr);
    if (gamma) {
        std::vector<std::uint8_t> g;
        for (int i = 3; i >= 0; --i) g.push_back(static_cast<std::uint8_t>(gamma >> (8 * i)));
        appendPngChunk(png, "gAMA", g);
    }
    std::vector<std::uint8_t> raw;
    for (const auto& row : rows) {
        raw.push_back(0);
        raw.insert(raw.end(), row.begin(), row.end());
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> packed(size);
    compress(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
    packed.resize(size);
    appendPngChunk(png, "IDAT", packed);
    appendPngChunk(png, "IEND", {});
    return png;
}

// 16-bit RGB rows (big-endian samples, as PNG stores them) from sample values.
inline std::vector<std::vector<std::uint8_t>> png16Rows(std::uint32_t width, std::uint32_t height,
                                                        const std::vector<std::uint16_t>& samples) {
    std::vector<std::vector<std::uint8_t>> rows(height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t i = 0; i < width * 3; ++i) {
            const std::uint16_t v = samples[y * width * 3 + i];
            rows[y].push_back(static_cast<std::uint8_t>(v >> 8));
            rows[y].push_back(static_cast<std::uint8_t>(v));
        }
    }
    return rows;
}

}  // namespace sv::test
