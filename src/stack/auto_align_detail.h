#pragma once

// The pieces of automatic alignment, exposed so that tests can hold each one against a direct
// version. Nothing outside auto_align.cpp and the tests needs them.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/float_image.h"
#include "image/progress.h"

namespace sv::align_detail {

inline constexpr int kRankChannels = 4;
inline constexpr std::size_t kBrightnessKeys = 65536;

// One 8-bit channel, rows top to bottom. A picture ranked whole is one block of huge pages (cheaper
// to fault in). A sparse one, a level ranked on demand of which only a few rows are ever compared,
// has no block of its own: each row it is given points into a block its level holds, so that the
// fresh memory, whose first touch is dear, is only what the ranked rows take.
struct RankPixelsRelease {
    std::size_t bytes = 0;
    void operator()(std::uint8_t* p) const;
};
using RankBlock = std::unique_ptr<std::uint8_t[], RankPixelsRelease>;
RankBlock zeroedRankBlock(std::size_t bytes);
struct RankPicture {
    using Release = RankPixelsRelease;
    int width = 0;
    int height = 0;
    RankBlock pixels;                     // not cleared: every pixel is written before it is read
    std::vector<std::uint8_t*> rowStart;  // a sparse picture's rows, null until given room

    RankPicture() = default;
    RankPicture(int w, int h, bool sparse = false);
    bool sparse() const { return !rowStart.empty(); }
    const std::uint8_t* row(int y) const {
        return sparse() ? rowStart[static_cast<std::size_t>(y)] : pixels.get() + static_cast<std::size_t>(y) * width;
    }
    std::uint8_t* row(int y) {
        return sparse() ? rowStart[static_cast<std::size_t>(y)] : pixels.get() + static_cast<std::size_t>(y) * width;
    }
    std::uint8_t at(int x, int y) const { return row(y)[x]; }
};

// A histogram bin of a brightness: monotone in the value, 2048 bins an octave from 2^-20 to 2^12
// (the top bits of the float's pattern); 0 at or below 2^-20 and for anything negative, 65535 at
// or above 2^12.
std::uint32_t brightnessKey(float value);

// Every how many rows the histogram of a rank picture is counted (at least 256 rows, at most
// one in eight).
int histogramRowStep(int height);

// Each of R, G, B and the brightest channel of a pixel (negative samples as 0) replaced by its
// mid-rank among the counted rows of that channel, by brightness key: trunc(256 x (below + same / 2)
// / counted), at most 255. Two exposures of one scene give nearly
// the same rank pictures wherever they are not clipped, and a channel clipped in one of them
// leaves the other two to carry the structure. Advances the progress sink once per row.
struct RankLevel {
    std::array<RankPicture, kRankChannels> channel;
    // A level made on demand: rows are ranked from `source` through `table` by prepareRows.
    const FloatImage* source = nullptr;
    bool halvedSource = false;        // the rows are those of `source` halved in floating point
    std::vector<std::uint8_t> table;  // kRankChannels x kBrightnessKeys ranks
    std::vector<RankBlock> rowBlocks; // the rooms of the rows ranked so far (sparse channels)
    int width() const { return channel[0].width; }
    int height() const { return channel[0].height; }
};
// The rank of every brightness key of each channel, from the counted rows.
std::vector<std::uint8_t> rankTable(const FloatImage& image);
RankLevel rankChannels(const FloatImage& image, ProgressSink* progress);
// The same ranks, but no row is ranked until prepareRows asks for it (large pictures, of which the
// finest level is compared on a few rows only). The picture must outlive the level.
RankLevel rankChannelsOnDemand(const FloatImage& image);
// The same, through a table made elsewhere (the half level's): counting the whole picture's
// histogram costs more than the few rows ranked, and the brightness maps fitted between the two
// pictures absorb the small difference between the two tables.
RankLevel rankChannelsOnDemand(const FloatImage& image, std::vector<std::uint8_t> table);
// The half level, rankChannels(halfSizeFloat(image)), ranked on demand (its table counted now),
// and the quarter level, rankChannels(quarterSizeFloat(image)), made whole. The half level never
// exists whole. The picture must outlive it.
struct HalfAndQuarter {
    RankLevel half;
    RankLevel quarter;
};
HalfAndQuarter rankChannelsOfHalfAndQuarter(const FloatImage& image);
void prepareRows(RankLevel& level, const std::vector<int>& rows);

// Half size (odd last row or column dropped), each sample the mean of a 2 x 2 block:
// ((a + b) + (c + d)) x 0.25 with a, b from the upper row.
FloatImage halfSizeFloat(const FloatImage& image);
// halfSizeFloat(halfSizeFloat(image)), without the half picture; empty when that has no pixel.
FloatImage quarterSizeFloat(const FloatImage& image);

// The rounded mean of the R, G and B ranks, (r + g + b + 1) / 3: what the gradient search sees.
RankPicture meanOfChannels(const RankLevel& level);

// Half size (odd last row or column dropped), each pixel the rounded mean of a 2 x 2 block.
RankPicture halfSize(const RankPicture& picture);
RankLevel halfSize(const RankLevel& level);

// Central differences of a rank picture, interleaved (gx, gy) per pixel; 0 on the border.
struct GradientPicture {
    int width = 0;
    int height = 0;
    RankBlock block;                   // holds both of these
    std::int64_t* rowEnergy = nullptr;  // each row's running sums of gx^2 + gy^2, width + 1 a row
    std::int16_t* g = nullptr;          // 2 x width x height
    const std::int16_t* row(int y) const { return g + static_cast<std::size_t>(y) * 2 * width; }
    std::int64_t energy(int u0, int u1, int v0, int v1) const;  // over [u0, u1) x [v0, v1)
};
GradientPicture gradients(const RankPicture& picture);

// The pixels of picture a (w x h) whose shifted place (u + dx, v + dy) lies inside b (same size).
struct Overlap {
    int u0 = 0, u1 = 0, v0 = 0, v1 = 0;
    bool usable = false;  // not empty and at least minOverlap of the picture
    std::int64_t count() const { return static_cast<std::int64_t>(u1 - u0) * (v1 - v0); }
};
Overlap overlapOf(int width, int height, int dx, int dy, float minOverlap);

// 1 - normalised correlation of the gradient vectors of a and of b shifted by (dx, dy):
// 1 - sum(ga . gb) / sqrt(sum |ga|^2 x sum |gb|^2) over the overlap; 1 when either has no
// gradient there; +infinity when the overlap is not usable.
double gradientCost(const GradientPicture& a, const GradientPicture& b, int dx, int dy, float minOverlap);

// Each picture's brightness mapped onto the other's: aToB[v] is the mean of b over the pixels
// where a is v (at shift dx, dy, counted on the overlap's rows y with y % rowStep == 0), rounded;
// values of v that never occur take the nearest occurring one's mapping (the mean of the two
// when they are equally near). bToA likewise.
struct BrightnessMaps {
    std::array<std::uint8_t, 256> aToB{};
    std::array<std::uint8_t, 256> bToA{};
};
BrightnessMaps fitMaps(const RankPicture& a, const RankPicture& b, int dx, int dy, int rowStep);

// The maps of each channel, fitted at one shift.
struct LevelMaps {
    std::array<BrightnessMaps, kRankChannels> channel;
};
LevelMaps fitLevelMaps(const RankLevel& a, const RankLevel& b, int dx, int dy, int rowStep);

// out[i] = map[in[i]] for i < n.
void mapRow(const std::uint8_t* in, const std::array<std::uint8_t, 256>& map, std::uint8_t* out, int n);

// Mean over the overlap's rows v with v % rowStep == 0 and over the channels of
// (|aToB[a] - b| + |a - bToA[b]|) / 2 at shift (dx, dy), for every shift of the window
// centre +- radius, row-major from the top left; +infinity where the overlap is not usable.
std::vector<double> mappedCosts(const RankLevel& a, const RankLevel& b, const LevelMaps& maps, int centreX,
                                int centreY, int radius, float minOverlap, int rowStep);

// The residual of AutoAlignResult on one pyramid level: tiles of tileSize pixels of a, each
// whose window (shifts floor(shift) - radius .. floor(shift) + 1 + radius on both axes) stays
// inside b; a tile's cost at a shift is the sum over its even rows (counted from the tile's top)
// and the channels of |aToB[a] - b| + |a - bToA[b]|. The chosen shift may be fractional (a full-resolution shift seen
// on a coarser level); a tile's cost at it is the least over the integer shifts next to it.
float tileResidual(const RankLevel& a, const RankLevel& b, const LevelMaps& maps, double shiftX, double shiftY,
                   int tileSize, int radius);

}  // namespace sv::align_detail
