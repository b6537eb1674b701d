#pragma once
// A minimal DNG of our own: a 16-bit RGGB CFA in one uncompressed strip with the DNG tags LibRaw
// needs (version, CFA pattern, black and white levels, a colour matrix, the as-shot neutral) and
// an EXIF directory with the exposure. The colour matrix is that of linear sRGB, so the camera's
// values come out of the demosaicing as they went in.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace sv::test {

struct DngSpec {
    int width = 64;
    int height = 48;
    std::vector<std::uint16_t> cfa;  // width x height raw values, RGGB; empty: all `level`
    std::uint16_t level = 16384;
    std::string make = "Sombrel";
    std::string model = "Test Camera";
    bool withExif = true;
    std::uint32_t exposureNum = 1, exposureDen = 250;
    std::uint32_t fNumberNum = 8, fNumberDen = 1;
    std::uint16_t iso = 200;
    std::int32_t biasNum = -1, biasDen = 3;
    std::string dateTimeOriginal = "2024:05:01 10:11:12";
    std::uint32_t neutral[3] = {1000000, 1000000, 1000000};  // AsShotNeutral x 10^6
    std::uint16_t compression = 1;
};

namespace dng {

struct Field {
    std::uint16_t tag, type;
    std::uint32_t count;
    std::vector<std::uint8_t> data;  // little-endian value bytes
};

inline void le16(std::vector<std::uint8_t>& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void le32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline Field shorts(std::uint16_t tag, std::vector<std::uint32_t> values) {
    Field f{tag, 3, static_cast<std::uint32_t>(values.size()), {}};
    for (auto v : values) le16(f.data, v);
    return f;
}
inline Field longs(std::uint16_t tag, std::vector<std::uint32_t> values) {
    Field f{tag, 4, static_cast<std::uint32_t>(values.size()), {}};
    for (auto v : values) le32(f.data, v);
    return f;
}
inline Field bytes(std::uint16_t tag, std::vector<std::uint8_t> values) {
    return Field{tag, 1, static_cast<std::uint32_t>(values.size()), values};
}
inline Field ascii(std::uint16_t tag, const std::string& text) {
    Field f{tag, 2, static_cast<std::uint32_t>(text.size() + 1), std::vector<std::uint8_t>(text.begin(), text.end())};
    f.data.push_back(0);
    return f;
}
inline Field rationals(std::uint16_t tag, bool isSigned, std::vector<std::pair<std::int64_t, std::int64_t>> values) {
    Field f{tag, static_cast<std::uint16_t>(isSigned ? 10 : 5), static_cast<std::uint32_t>(values.size()), {}};
    for (auto [n, d] : values) {
        le32(f.data, static_cast<std::uint32_t>(n));
        le32(f.data, static_cast<std::uint32_t>(d));
    }
    return f;
}

// Appends a directory (sorted by tag) and the values that do not fit in their entries; returns
// its offset.
inline std::uint32_t appendIfd(std::vector<std::uint8_t>& file, std::vector<Field> fields) {
    if (file.size() % 2) file.push_back(0);
    std::sort(fields.begin(), fields.end(), [](const Field& a, const Field& b) { return a.tag < b.tag; });
    const auto at = static_cast<std::uint32_t>(file.size());
    std::uint32_t extra = at + 2 + 12 * static_cast<std::uint32_t>(fields.size()) + 4;
    std::vector<std::uint8_t> outOfLine;
    le16(file, static_cast<std::uint32_t>(fields.size()));
    for (const Field& f : fields) {
        le16(file, f.tag);
        le16(file, f.type);
        le32(file, f.count);
        if (f.data.size() <= 4) {
            std::vector<std::uint8_t> value = f.data;
            value.resize(4, 0);
            file.insert(file.end(), value.begin(), value.end());
        } else {
            le32(file, extra + static_cast<std::uint32_t>(outOfLine.size()));
            outOfLine.insert(outOfLine.end(), f.data.begin(), f.data.end());
            if (outOfLine.size() % 2) outOfLine.push_back(0);
        }
    }
    le32(file, 0);
    file.insert(file.end(), outOfLine.begin(), outOfLine.end());
    return at;
}

}  // namespace dng

inline std::vector<std::uint8_t> buildDng(const DngSpec& s) {
    using namespace dng;
    // Directories first, as cameras write them, then the strip: a file cut short loses pixels.
    std::vector<std::uint8_t> file = {'I', 'I', 42, 0, 0, 0, 0, 0};
    const std::size_t pixels = static_cast<std::size_t>(s.width) * s.height;
    file.reserve(8 + pixels * 2 + 4096);
    std::uint32_t exifAt = 0;
    if (s.withExif) {
        exifAt = appendIfd(file, {rationals(33434, false, {{s.exposureNum, s.exposureDen}}),
                                  rationals(33437, false, {{s.fNumberNum, s.fNumberDen}}), shorts(34855, {s.iso}),
                                  ascii(36867, s.dateTimeOriginal), rationals(37380, true, {{s.biasNum, s.biasDen}})});
    }
    // XYZ (D65) to linear sRGB, so that the camera's space is linear sRGB itself.
    const std::vector<std::pair<std::int64_t, std::int64_t>> xyzToSrgb = {
        {32406, 10000}, {-15372, 10000}, {-4986, 10000}, {-9689, 10000}, {18758, 10000},
        {415, 10000},   {557, 10000},    {-2040, 10000}, {10570, 10000}};
    std::vector<Field> ifd0 = {
        longs(254, {0}),
        longs(256, {static_cast<std::uint32_t>(s.width)}),
        longs(257, {static_cast<std::uint32_t>(s.height)}),
        shorts(258, {16}),
        shorts(259, {s.compression}),
        shorts(262, {32803}),  // colour filter array
        ascii(271, s.make),
        ascii(272, s.model),
        longs(273, {0}),  // filled in below
        shorts(274, {1}),
        shorts(277, {1}),
        longs(278, {static_cast<std::uint32_t>(s.height)}),
        longs(279, {static_cast<std::uint32_t>(pixels * 2)}),
        shorts(284, {1}),
        shorts(33421, {2, 2}),
        bytes(33422, {0, 1, 1, 2}),  // R G / G B
        bytes(50706, {1, 4, 0, 0}),
        bytes(50707, {1, 1, 0, 0}),
        ascii(50708, s.make + " " + s.model),
        longs(50714, {0}),
        longs(50717, {65535}),
        rationals(50721, true, xyzToSrgb),
        rationals(50728, false, {{s.neutral[0], 1000000}, {s.neutral[1], 1000000}, {s.neutral[2], 1000000}}),
        shorts(50778, {21}),  // D65
    };
    if (s.withExif) ifd0.push_back(longs(34665, {exifAt}));
    const std::uint32_t ifd0At = appendIfd(file, ifd0);
    for (int i = 0; i < 4; ++i) file[4 + i] = static_cast<std::uint8_t>(ifd0At >> (8 * i));
    if (file.size() % 2) file.push_back(0);
    const auto stripAt = static_cast<std::uint32_t>(file.size());
    for (std::size_t i = 0; i < pixels; ++i) le16(file, s.cfa.empty() ? s.level : s.cfa[i]);
    const std::size_t entries = file[ifd0At] | file[ifd0At + 1] << 8;
    for (std::size_t e = 0; e < entries; ++e) {
        const std::size_t at = ifd0At + 2 + 12 * e;
        if ((file[at] | file[at + 1] << 8) != 273) continue;
        for (int i = 0; i < 4; ++i) file[at + 8 + i] = static_cast<std::uint8_t>(stripAt >> (8 * i));
    }
    return file;
}

}  // namespace sv::test

namespace sv::test {

// Raw values of an RGGB mosaic whose red, green and blue sites hold the values given.
inline std::vector<std::uint16_t> rggbMosaic(int width, int height, std::uint16_t r, std::uint16_t g, std::uint16_t b) {
    std::vector<std::uint16_t> cfa(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) cfa[static_cast<std::size_t>(y) * width + x] = (y % 2 == 0) ? (x % 2 == 0 ? r : g) : (x % 2 == 0 ? g : b);
    }
    return cfa;
}

}  // namespace sv::test
