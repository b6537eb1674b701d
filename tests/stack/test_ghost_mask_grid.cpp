// The ghost merge against direct versions: the mask as it was made before it was kept on its
// grid (a full-size plane per exposure, one pixel at a time), the merge that used it, and the
// disagreement of 2 x 2 cells one value at a time against eight at a time. Same bits throughout,
// on random scenes, shifts, strengths and picture sizes whose blocks are 2 and 4 pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "image/parallel_rows.h"
#include "stack/ghost_cells.h"
#include "stack/ghost_removal.h"
#include "stack/stack_sum.h"
#include "support/bracket_scenes.h"

namespace sv {
namespace {

// Separable box mean of a plane with the given radius, edges averaged over what exists.
void boxBlur(std::vector<float>& plane, int width, int height, int radius) {
    std::vector<float> tmp(plane.size());
    parallelRows(0, height, [&](int y) {
        const float* in = plane.data() + static_cast<std::size_t>(y) * width;
        float* out = tmp.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            const int lo = std::max(0, x - radius);
            const int hi = std::min(width - 1, x + radius);
            float sum = 0.0f;
            for (int i = lo; i <= hi; ++i) sum += in[i];
            out[x] = sum / static_cast<float>(hi - lo + 1);
        }
    });
    parallelRows(0, height, [&](int y) {
        const int lo = std::max(0, y - radius);
        const int hi = std::min(height - 1, y + radius);
        float* out = plane.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            float sum = 0.0f;
            for (int j = lo; j <= hi; ++j) sum += tmp[static_cast<std::size_t>(j) * width + x];
            out[x] = sum / static_cast<float>(hi - lo + 1);
        }
    });
}

// Separable square maximum filter.
void dilate(std::vector<float>& plane, int width, int height, int radius) {
    std::vector<float> tmp(plane.size());
    parallelRows(0, height, [&](int y) {
        const float* in = plane.data() + static_cast<std::size_t>(y) * width;
        float* out = tmp.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            float m = 0.0f;
            for (int i = std::max(0, x - radius); i <= std::min(width - 1, x + radius); ++i) m = std::max(m, in[i]);
            out[x] = m;
        }
    });
    parallelRows(0, height, [&](int y) {
        float* out = plane.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            float m = 0.0f;
            for (int j = std::max(0, y - radius); j <= std::min(height - 1, y + radius); ++j) {
                m = std::max(m, tmp[static_cast<std::size_t>(j) * width + x]);
            }
            out[x] = m;
        }
    });
}

void directGhostMask(const FloatImage& exposure, const FloatImage& reference, int dx, int dy, const BrightnessMapping& mapping,
               int strength, std::vector<float>& mask) {
    const int width = exposure.width();
    const int height = exposure.height();
    mask.assign(static_cast<std::size_t>(width) * height, 0.0f);
    if (strength <= 0 || width <= 0 || height <= 0) return;
    const float limit = 8.0f - 6.0f * static_cast<float>(std::min(strength, 100)) / 100.0f;
    const int longer = std::max(width, height);
    const int block = 2 * std::max(1, longer / 1600);  // even: whole 2 x 2 cells
    const int gw = (width + block - 1) / block;
    const int gh = (height + block - 1) / block;
    const int feather = std::max(2, static_cast<int>(std::lround(longer / (250.0 * block))));
    // Distance over which the mask fades out towards the edge of the reference's coverage, so
    // that where the reference ends no seam appears either.
    const float fade = static_cast<float>(2 * feather * block);
    const int coverX0 = std::max(0, -dx), coverX1 = std::min(width, reference.width() - dx);
    const int coverY0 = std::max(0, -dy), coverY1 = std::min(height, reference.height() - dy);
    if (coverX1 <= coverX0 || coverY1 <= coverY0) return;

    // The mapping and the inverse spread as fine tables over the reference's range (judging
    // only: the replacement itself uses the exact mapping).
    constexpr int kTable = 4096;
    std::array<std::vector<float>, 3> mapped, inverseSpread;
    std::array<float, 3> toIndex{};
    for (int c = 0; c < 3; ++c) {
        mapped[c].resize(kTable + 1);
        inverseSpread[c].resize(kTable + 1);
        toIndex[c] = kTable / mapping.sourceMax[c];
        for (int i = 0; i <= kTable; ++i) {
            const float v = mapping.sourceMax[c] * static_cast<float>(i) / kTable;
            mapped[c][i] = mapping.apply(c, v);
            inverseSpread[c][i] = 1.0f / mapping.spreadAt(c, v);
        }
    }
    const auto index = [&](int c, float v) {
        const float t = v * toIndex[c] + 0.5f;
        return t > 0.0f ? static_cast<int>(std::min(t, static_cast<float>(kTable))) : 0;
    };

    // Share of each block's 2 x 2 cells that disagree. A cell's difference is averaged over its
    // four pixels before it is judged: noise and the ringing of compression at edges cancel, a
    // real change does not.
    std::vector<float> share(static_cast<std::size_t>(gw) * gh, 0.0f);
    parallelRows(0, gh, [&](int gy) {
        std::vector<float> sum(static_cast<std::size_t>(gw), 0.0f);
        std::vector<float> cells(static_cast<std::size_t>(gw), 0.0f);
        const int first = std::max(gy * block, coverY0);
        const int end = std::min({height, (gy + 1) * block, coverY1});
        for (int v = first; v + 1 < end; v += 2) {
            const float* e0 = exposure.row(v);
            const float* e1 = exposure.row(v + 1);
            const float* r0 = reference.row(v + dy) + 3 * static_cast<std::ptrdiff_t>(dx);
            const float* r1 = reference.row(v + 1 + dy) + 3 * static_cast<std::ptrdiff_t>(dx);
            for (int u = coverX0; u + 1 < coverX1; u += 2) {
                float d = 0.0f;
                for (int c = 0; c < 3; ++c) {
                    const std::size_t a = 3 * static_cast<std::size_t>(u) + c;
                    const std::size_t b = a + 3;
                    const float diff = (e0[a] - mapped[c][index(c, r0[a])]) + (e0[b] - mapped[c][index(c, r0[b])]) +
                                       (e1[a] - mapped[c][index(c, r1[a])]) + (e1[b] - mapped[c][index(c, r1[b])]);
                    const float level = 0.25f * ((r0[a] + r0[b]) + (r1[a] + r1[b]));
                    d = std::max(d, 0.25f * std::fabs(diff) * inverseSpread[c][index(c, level)]);
                }
                const std::size_t gx = static_cast<std::size_t>(u / block);
                sum[gx] += std::clamp((d - 0.5f * limit) / (0.5f * limit), 0.0f, 1.0f);
                cells[gx] += 1.0f;
            }
        }
        for (int gx = 0; gx < gw; ++gx) {
            const float n = cells[static_cast<std::size_t>(gx)];
            share[static_cast<std::size_t>(gy) * gw + gx] = n > 0.0f ? sum[static_cast<std::size_t>(gx)] / n : 0.0f;
        }
    });
    // Lone disagreeing blocks (noise) go; the rest is widened so the feather lies outside it.
    boxBlur(share, gw, gh, 1);
    for (float& s : share) s = s > 0.3f ? 1.0f : 0.0f;
    dilate(share, gw, gh, 2 * feather);
    boxBlur(share, gw, gh, feather);
    boxBlur(share, gw, gh, feather);

    parallelRows(coverY0, coverY1, [&](int v) {
        float* m = mask.data() + static_cast<std::size_t>(v) * width;
        const float gyf = std::clamp((v + 0.5f) / block - 0.5f, 0.0f, static_cast<float>(gh - 1));
        const int y0 = std::min(static_cast<int>(gyf), gh - 1);
        const int y1 = std::min(y0 + 1, gh - 1);
        const float fy = gyf - static_cast<float>(y0);
        for (int u = coverX0; u < coverX1; ++u) {
            const float gxf = std::clamp((u + 0.5f) / block - 0.5f, 0.0f, static_cast<float>(gw - 1));
            const int x0 = std::min(static_cast<int>(gxf), gw - 1);
            const int x1 = std::min(x0 + 1, gw - 1);
            const float fx = gxf - static_cast<float>(x0);
            const auto at = [&](int x, int y) { return share[static_cast<std::size_t>(y) * gw + x]; };
            if (at(x0, y0) == 0.0f && at(x1, y0) == 0.0f && at(x0, y1) == 0.0f && at(x1, y1) == 0.0f) continue;
            const float top = at(x0, y0) + fx * (at(x1, y0) - at(x0, y0));
            const float bottom = at(x0, y1) + fx * (at(x1, y1) - at(x0, y1));
            const float edge = static_cast<float>(std::min({u - coverX0 + 1, coverX1 - u, v - coverY0 + 1, coverY1 - v}));
            const float keep = std::min(1.0f, edge / fade);
            m[u] = std::clamp(top + fy * (bottom - top), 0.0f, 1.0f) * keep;
        }
    });
}

void directReplace(FloatImage& exposure, const FloatImage& reference, int dx, int dy, const BrightnessMapping& mapping,
                   const std::vector<float>& mask) {
    const int width = exposure.width();
    for (int v = 0; v < exposure.height(); ++v) {
        const float* m = mask.data() + static_cast<std::size_t>(v) * width;
        float* e = exposure.row(v);
        for (int u = 0; u < width; ++u) {
            if (!(m[u] > 0.0f)) continue;
            const float* r = reference.row(v + dy) + 3 * static_cast<std::ptrdiff_t>(u + dx);
            for (int c = 0; c < 3; ++c) e[3 * u + c] += m[u] * (mapping.apply(c, r[c]) - e[3 * u + c]);
        }
    }
}

// The merge as it was: a full-size mask per exposure, replaced through it, the union gathered
// exposure by exposure.
GhostMerge directMerge(FloatImage& stack, const ExposureRecord* records, int count, const GhostRemovalParams& params,
                       const std::vector<FloatImage>& pictures) {
    GhostMerge result;
    const int width = stack.width(), height = stack.height();
    const int ref = std::clamp(params.reference, 0, count - 1);
    NullProgress progress;
    const FloatImage& reference = pictures[static_cast<std::size_t>(ref)];
    stack.fill(0.0f);
    result.mask.assign(static_cast<std::size_t>(width) * height, 0.0f);
    float last = 0.0f;
    std::vector<float> mask;
    for (int k = 0; k < count; ++k) {
        const ExposureRecord& record = records[k];
        if (k == ref) {
            last = accumulateExposure(stack, reference, record, false, progress);
            continue;
        }
        FloatImage exposure = pictures[static_cast<std::size_t>(k)].clone();
        const int dx = record.shiftX - records[ref].shiftX;
        const int dy = record.shiftY - records[ref].shiftY;
        const BrightnessMapping mapping = fitBrightnessMapping(reference, exposure, dx, dy);
        directGhostMask(exposure, reference, dx, dy, mapping, params.strength, mask);
        directReplace(exposure, reference, dx, dy, mapping, mask);
        for (int y = 0; y < height; ++y) {
            const int v = y - record.shiftY;
            if (v < 0 || v >= height) continue;
            for (int x = std::max(0, record.shiftX); x < std::min(width, width + record.shiftX); ++x) {
                float& out = result.mask[static_cast<std::size_t>(y) * width + x];
                out = std::max(out, mask[static_cast<std::size_t>(v) * width + x - record.shiftX]);
            }
        }
        last = accumulateExposure(stack, exposure, record, false, progress);
    }
    result.stackMax = last == 0.0f ? 1.0f : last;
    return result;
}

bool sameBits(const float* a, const float* b, std::size_t n) { return n == 0 || std::memcmp(a, b, n * sizeof(float)) == 0; }

// Exposures cut from one scene at the given offsets and gains, with noise, a few samples that no
// camera gives (negative, infinite, not a number), and a dark object that moved into the last.
std::vector<FloatImage> bracketOf(int width, int height, const std::vector<std::pair<int, int>>& offsets,
                                  unsigned seed) {
    const int margin = 24;
    const FloatImage scene = test::proceduralScene(width + 2 * margin, height + 2 * margin, seed);
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.004f);
    std::vector<FloatImage> pictures;
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        const float gain = std::ldexp(1.0f, static_cast<int>(k) - 1);
        FloatImage p(width, height);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                for (int c = 0; c < 3; ++c) {
                    const float v = scene.at(x + margin + offsets[k].first, y + margin + offsets[k].second, c);
                    p.at(x, y, c) = std::clamp(v * gain + noise(rng), 0.0f, 1.0f);
                }
            }
        }
        pictures.push_back(std::move(p));
    }
    FloatImage& moved = pictures.back();
    for (int y = height / 3; y < height / 3 + std::max(4, height / 5); ++y) {
        for (int x = width / 2; x < width / 2 + std::max(4, width / 6); ++x) {
            for (int c = 0; c < 3; ++c) moved.at(x, y, c) = 0.01f * static_cast<float>(c + 1);
        }
    }
    std::uniform_int_distribution<int> px(0, width - 1), py(0, height - 1);
    const float odd[] = {-0.5f, std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(), 7.0f};
    for (FloatImage& p : pictures) {
        for (float v : odd) p.at(px(rng), py(rng), static_cast<int>(rng() % 3)) = v;
    }
    return pictures;
}

TEST(GhostMaskGrid, MasksAndMergesAsTheFullSizeMaskDid) {
    struct Case {
        int width, height;
        std::vector<std::pair<int, int>> offsets;  // scene offset of each exposure
        int reference, strength;
    };
    const Case cases[] = {
        {321, 239, {{0, 0}, {5, -3}, {-4, 6}}, 1, 50},
        {320, 240, {{0, 0}, {-7, 2}, {3, 9}, {1, 1}}, 0, 100},
        {257, 101, {{2, 2}, {0, 0}, {-9, -1}}, 2, 20},
        {3300, 90, {{0, 0}, {11, -5}, {-6, 3}}, 1, 70},  // blocks of 4 pixels
        {120, 80, {{0, 0}, {4, 4}, {0, 0}}, 1, 0},       // strength 0: nothing replaced
    };
    unsigned seed = 11;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " reference " << c.reference);
        const std::vector<FloatImage> pictures = bracketOf(c.width, c.height, c.offsets, seed++);
        std::vector<ExposureRecord> records(pictures.size());
        for (std::size_t k = 0; k < records.size(); ++k) {
            // Stack pixel (x, y) takes exposure pixel (x - shift): the scene offset, negated.
            records[k].shiftX = c.offsets[0].first - c.offsets[k].first;
            records[k].shiftY = c.offsets[0].second - c.offsets[k].second;
            records[k].multiplier = 1.0f + 0.25f * static_cast<float>(k);
        }

        // One exposure's mask against the reference, both ways.
        const std::size_t ref = static_cast<std::size_t>(c.reference);
        const std::size_t other = ref == 0 ? pictures.size() - 1 : 0;
        const int dx = records[other].shiftX - records[ref].shiftX;
        const int dy = records[other].shiftY - records[ref].shiftY;
        const BrightnessMapping mapping = fitBrightnessMapping(pictures[ref], pictures[other], dx, dy);
        std::vector<float> direct;
        directGhostMask(pictures[other], pictures[ref], dx, dy, mapping, c.strength, direct);

        // Rows and parts of rows from the grid, and the spans outside which it is zero.
        const GhostMaskGrid grid = judgeGhosts(pictures[other], pictures[ref], dx, dy, mapping, c.strength);
        std::vector<float> row(static_cast<std::size_t>(c.width));
        for (int v = 0; v < c.height; ++v) {
            const float* want = direct.data() + static_cast<std::size_t>(v) * c.width;
            const GhostMaskGrid::Span s = grid.span(v);
            for (int u = 0; u < c.width; ++u) {
                if (u < s.first || u >= s.end) ASSERT_EQ(want[u], 0.0f) << u << "," << v;
            }
            if (s.empty()) continue;
            grid.fill(v, s, row.data());
            ASSERT_TRUE(sameBits(row.data() + s.first, want + s.first, static_cast<std::size_t>(s.end - s.first)))
                << "row " << v;
            const GhostMaskGrid::Span part{s.first + (s.end - s.first) / 3, s.end};
            std::fill(row.begin(), row.end(), -1.0f);
            grid.fill(v, part, row.data());
            ASSERT_TRUE(sameBits(row.data() + part.first, want + part.first, static_cast<std::size_t>(part.end - part.first)))
                << "row " << v;
            if (part.first > 0) ASSERT_EQ(row[static_cast<std::size_t>(part.first - 1)], -1.0f) << "written before a part";
        }

        // The whole merge: stack, union mask and stackMax.
        FloatImage stack(c.width, c.height), directStack(c.width, c.height);
        NullProgress progress;
        const ExposureSource source = [&](int index, FloatImage& pixels, ProgressSink&) -> std::optional<Message> {
            pixels = pictures[static_cast<std::size_t>(index)].clone();
            return std::nullopt;
        };
        const GhostRemovalParams params{c.reference, c.strength};
        const GhostMerge merged =
            mergeWithoutGhosts(stack, records.data(), static_cast<int>(records.size()), params, source, progress);
        const GhostMerge want = directMerge(directStack, records.data(), static_cast<int>(records.size()), params, pictures);
        ASSERT_FALSE(merged.error);
        EXPECT_TRUE(sameBits(stack.data(), directStack.data(), stack.sampleCount()));
        ASSERT_EQ(merged.mask.size(), want.mask.size());
        EXPECT_TRUE(sameBits(merged.mask.data(), want.mask.data(), want.mask.size()));
        EXPECT_EQ(merged.stackMax, want.stackMax);
        // The moved object is found wherever ghosts are judged at all.
        const float most = *std::max_element(want.mask.begin(), want.mask.end());
        EXPECT_EQ(most, c.strength > 0 ? 1.0f : 0.0f);
    }
}

TEST(GhostCells, EightAtATimeEqualsOneAtATime) {
    if (!ghost_detail::cellDisagreementVectorUsable()) GTEST_SKIP() << "no AVX2 on this processor";
    BrightnessMapping mapping;
    for (int c = 0; c < 3; ++c) {
        mapping.sourceMax[static_cast<std::size_t>(c)] = 0.8f + 0.3f * static_cast<float>(c);
        mapping.floor[static_cast<std::size_t>(c)] = 0.01f;
        for (int k = 0; k <= BrightnessMapping::kBins; ++k) {
            mapping.value[static_cast<std::size_t>(c)][static_cast<std::size_t>(k)] = std::sqrt(k / 256.0f) * (1.0f + c);
            mapping.spread[static_cast<std::size_t>(c)][static_cast<std::size_t>(k)] = 0.002f + 0.0001f * k;
        }
    }
    const ghost_detail::CellTables tables = ghost_detail::cellTables(mapping);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> value(-0.1f, 1.3f);
    const float odd[] = {0.0f, -0.0f, 1.1f, std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(), 1e30f,
                         -1e-30f, 0.8f / 4096 * 17.5f};
    for (int cells = 0; cells <= 41; ++cells) {
        const std::size_t n = 6 * static_cast<std::size_t>(cells);
        // Each row exactly as long as its cells, so reading past it would be seen by the sanitizers.
        std::vector<std::vector<float>> rows(4, std::vector<float>(n));
        for (auto& row : rows) {
            for (float& v : row) v = rng() % 10 == 0 ? odd[rng() % std::size(odd)] : value(rng);
        }
        std::vector<float> plain(static_cast<std::size_t>(cells)), vector(static_cast<std::size_t>(cells));
        ghost_detail::cellDisagreementPlain(tables, rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data(),
                                            cells, plain.data());
        ghost_detail::cellDisagreementVector(tables, rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data(),
                                             cells, vector.data());
        EXPECT_TRUE(sameBits(plain.data(), vector.data(), plain.size())) << cells << " cells";
    }
}

}  // namespace
}  // namespace sv
