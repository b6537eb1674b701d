#include "stack/ghost_removal.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include "image/parallel_rows.h"
#include "image/zeroed_block.h"
#include "stack/ghost_cells.h"
#include "stack/exposure_stack.h"
#include "stack/stack_sum.h"

namespace sv {

namespace {

constexpr int kTargetBins = 256;
constexpr std::uint32_t kMinBinCount = 8;

// One stage of a longer operation seen by a reader that runs its own gauge: its positions are
// taken from the stage's start and capped at the stage's length.
class StageProgress final : public ProgressSink {
public:
    StageProgress(ProgressSink& outer, std::int64_t base, std::int64_t length)
        : outer_(outer), base_(base), length_(length) {}
    void setMaximum(std::int64_t) override {}
    void setTextVisible(bool) override {}
    void setPosition(std::int64_t position) override {
        done_.store(std::clamp<std::int64_t>(position, 0, length_));
        outer_.setPosition(base_ + done_.load());
    }
    void advance(std::int64_t steps) override {
        const std::int64_t before = done_.fetch_add(steps);
        const std::int64_t forwarded = std::min(steps, length_ - before);
        if (forwarded > 0) outer_.advance(forwarded);
    }

private:
    ProgressSink& outer_;
    std::int64_t base_;
    std::int64_t length_;
    std::atomic<std::int64_t> done_{0};
};

// Value at quantile q of a histogram row (bins of width `step` from 0), linear inside a bin.
float quantileOf(const std::uint32_t* row, std::uint64_t count, double q, float step) {
    const double want = q * static_cast<double>(count);
    double below = 0.0;
    for (int j = 0; j < kTargetBins; ++j) {
        const double here = row[j];
        if (here > 0.0 && below + here >= want) {
            return static_cast<float>((j + (want - below) / here) * step);
        }
        below += here;
    }
    return static_cast<float>(kTargetBins * step);
}

// Non-decreasing least-squares fit of values with weights (pool adjacent violators).
void makeNonDecreasing(std::vector<double>& value, const std::vector<double>& weight) {
    struct Block {
        double sum, weight;
        std::size_t count;
    };
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < value.size(); ++i) {
        blocks.push_back({value[i] * weight[i], weight[i], 1});
        while (blocks.size() > 1) {
            const Block& last = blocks.back();
            const Block& prev = blocks[blocks.size() - 2];
            if (prev.sum / prev.weight <= last.sum / last.weight) break;
            const Block merged{prev.sum + last.sum, prev.weight + last.weight, prev.count + last.count};
            blocks.pop_back();
            blocks.back() = merged;
        }
    }
    std::size_t i = 0;
    for (const Block& b : blocks) {
        for (std::size_t k = 0; k < b.count; ++k) value[i++] = b.sum / b.weight;
    }
}

// A separable window filter: out = finish(fold over the window, in ascending order, starting from
// 0), the window clipped at the edges. Whole rows are folded into a row of results at once, in the
// same order for every sample as one sample at a time, so the values are the same.
template <typename Fold, typename Finish>
void windowFilter(std::vector<float>& plane, int width, int height, int radius, Fold fold, Finish finish) {
    std::vector<float> tmp(plane.size());
    parallelRows(0, height, [&](int y) {
        const float* in = plane.data() + static_cast<std::size_t>(y) * width;
        float* out = tmp.data() + static_cast<std::size_t>(y) * width;
        const auto clipped = [&](int x) {
            const int lo = std::max(0, x - radius);
            const int hi = std::min(width - 1, x + radius);
            float acc = 0.0f;
            for (int i = lo; i <= hi; ++i) acc = fold(acc, in[i]);
            out[x] = finish(acc, hi - lo + 1);
        };
        const int innerFirst = std::min(radius, width);
        const int innerEnd = std::max(innerFirst, width - radius);
        for (int x = 0; x < innerFirst; ++x) clipped(x);
        for (int x = innerFirst; x < innerEnd; ++x) out[x] = 0.0f;
        for (int k = -radius; k <= radius; ++k) {
            for (int x = innerFirst; x < innerEnd; ++x) out[x] = fold(out[x], in[x + k]);
        }
        for (int x = innerFirst; x < innerEnd; ++x) out[x] = finish(out[x], 2 * radius + 1);
        for (int x = innerEnd; x < width; ++x) clipped(x);
    });
    parallelRows(0, height, [&](int y) {
        const int lo = std::max(0, y - radius);
        const int hi = std::min(height - 1, y + radius);
        float* out = plane.data() + static_cast<std::size_t>(y) * width;
        std::fill(out, out + width, 0.0f);
        for (int j = lo; j <= hi; ++j) {
            const float* in = tmp.data() + static_cast<std::size_t>(j) * width;
            for (int x = 0; x < width; ++x) out[x] = fold(out[x], in[x]);
        }
        for (int x = 0; x < width; ++x) out[x] = finish(out[x], hi - lo + 1);
    });
}

// Separable box mean of a plane with the given radius, edges averaged over what exists.
void boxBlur(std::vector<float>& plane, int width, int height, int radius) {
    windowFilter(
        plane, width, height, radius, [](float sum, float v) { return sum + v; },
        [](float sum, int count) { return sum / static_cast<float>(count); });
}

// Separable square maximum filter.
void dilate(std::vector<float>& plane, int width, int height, int radius) {
    windowFilter(
        plane, width, height, radius, [](float m, float v) { return std::max(m, v); },
        [](float m, int) { return m; });
}

// A regular sample of the pixels two pictures share: target pixel (u, v) and source pixel
// (u + dx, v + dy), every step-th of every step-th row.
struct SampledPairs {
    int dx, dy, u0, u1, v0, step, rows;
};

// Calls visit(thread's state, source pixel, target pixel) for every sampled pair, on all cores.
template <typename State, typename Visit>
void visitSampledPairs(const FloatImage& source, const FloatImage& target, const SampledPairs& p,
                       tbb::enumerable_thread_specific<State>& states, Visit visit) {
    if (p.u1 <= p.u0 || p.rows <= 0) return;
    tbb::parallel_for(tbb::blocked_range<int>(0, p.rows), [&](const tbb::blocked_range<int>& r) {
        State& state = states.local();
        for (int i = r.begin(); i != r.end(); ++i) {
            const int v = p.v0 + p.step * i;
            const float* t = target.row(v);
            const float* s = source.row(v + p.dy);
            for (int u = p.u0; u < p.u1; u += p.step) visit(state, s + 3 * (u + p.dx), t + 3 * u);
        }
    });
}

}  // namespace

float BrightnessMapping::apply(int channel, float v) const {
    // Not a number stays one (a float file may hold them) rather than picking a bin out of range.
    if (std::isnan(v)) return v;
    const float t = std::clamp(v / sourceMax[channel] * kBins, 0.0f, static_cast<float>(kBins));
    const int k = std::min(static_cast<int>(t), kBins - 1);
    const float f = t - static_cast<float>(k);
    return value[channel][k] + f * (value[channel][k + 1] - value[channel][k]);
}

float BrightnessMapping::spreadAt(int channel, float v) const {
    if (std::isnan(v)) return v;
    const float t = std::clamp(v / sourceMax[channel] * kBins, 0.0f, static_cast<float>(kBins));
    const int k = std::min(static_cast<int>(t), kBins - 1);
    const float f = t - static_cast<float>(k);
    return std::max(floor[channel], spread[channel][k] + f * (spread[channel][k + 1] - spread[channel][k]));
}

BrightnessMapping fitBrightnessMapping(const FloatImage& source, const FloatImage& target, int dx, int dy) {
    constexpr int kBins = BrightnessMapping::kBins;
    BrightnessMapping mapping;
    const int width = target.width();
    const int height = target.height();
    const int u0 = std::max(0, -dx), u1 = std::min(width, source.width() - dx);
    const int v0 = std::max(0, -dy), v1 = std::min(height, source.height() - dy);

    // Every step-th pixel of every step-th row: a million or so pairs fix the medians well.
    const std::int64_t shared = static_cast<std::int64_t>(std::max(0, u1 - u0)) * std::max(0, v1 - v0);
    const int step = std::max(2, static_cast<int>(std::sqrt(static_cast<double>(shared) / 1.0e6)));
    const int sampledRows = v1 > v0 ? (v1 - v0 + step - 1) / step : 0;

    const SampledPairs pairs{dx, dy, u0, u1, v0, step, sampledRows};

    // Ranges of the shared pixels.
    using Range = std::array<float, 6>;  // source then target maxima
    tbb::enumerable_thread_specific<Range> ranges([] { return Range{}; });
    visitSampledPairs(source, target, pairs, ranges, [](Range& range, const float* s, const float* t) {
        for (int c = 0; c < 3; ++c) {
            range[c] = std::max(range[c], s[c]);
            range[3 + c] = std::max(range[3 + c], t[c]);
        }
    });
    std::array<float, 3> sourceMax{}, targetMax{};
    for (const Range& range : ranges) {
        for (int c = 0; c < 3; ++c) {
            sourceMax[c] = std::max(sourceMax[c], range[c]);
            targetMax[c] = std::max(targetMax[c], range[3 + c]);
        }
    }
    std::array<float, 3> toSource{}, toTarget{};
    for (int c = 0; c < 3; ++c) {
        if (!(sourceMax[c] > 0.0f) || !std::isfinite(sourceMax[c])) sourceMax[c] = 1.0f;
        if (!(targetMax[c] > 0.0f) || !std::isfinite(targetMax[c])) targetMax[c] = 1.0f;
        toSource[c] = kBins / sourceMax[c];
        toTarget[c] = kTargetBins / targetMax[c];
    }
    mapping.sourceMax = sourceMax;

    using Joint = std::vector<std::uint32_t>;  // 3 x kBins x kTargetBins
    tbb::enumerable_thread_specific<Joint> partial([] { return Joint(3u * kBins * kTargetBins, 0u); });
    visitSampledPairs(source, target, pairs, partial, [&](Joint& joint, const float* s, const float* t) {
        for (int c = 0; c < 3; ++c) {
            if (!std::isfinite(s[c]) || !std::isfinite(t[c])) continue;
            const int bs = std::clamp(static_cast<int>(s[c] * toSource[c]), 0, kBins - 1);
            const int bt = std::clamp(static_cast<int>(t[c] * toTarget[c]), 0, kTargetBins - 1);
            ++joint[(static_cast<std::size_t>(c) * kBins + bs) * kTargetBins + bt];
        }
    });
    Joint joint(3u * kBins * kTargetBins, 0u);
    for (const Joint& p : partial) {
        for (std::size_t i = 0; i < joint.size(); ++i) joint[i] += p[i];
    }

    for (int c = 0; c < 3; ++c) {
        const float step = targetMax[c] / kTargetBins;
        mapping.floor[c] = std::max(0.01f * targetMax[c], 1.5f * step);
        std::vector<double> centre, median, spread, weight;
        for (int b = 0; b < kBins; ++b) {
            const std::uint32_t* row = joint.data() + (static_cast<std::size_t>(c) * kBins + b) * kTargetBins;
            std::uint64_t count = 0;
            for (int j = 0; j < kTargetBins; ++j) count += row[j];
            if (count < kMinBinCount) continue;
            centre.push_back((b + 0.5) * sourceMax[c] / kBins);
            median.push_back(quantileOf(row, count, 0.5, step));
            spread.push_back((quantileOf(row, count, 0.75, step) - quantileOf(row, count, 0.25, step)) / 1.349);
            weight.push_back(static_cast<double>(count));
        }
        if (centre.empty()) {
            // Nothing shared: the identity, scaled between the two ranges.
            for (int k = 0; k <= kBins; ++k) {
                mapping.value[c][k] = targetMax[c] * k / kBins;
                mapping.spread[c][k] = mapping.floor[c];
            }
            continue;
        }
        makeNonDecreasing(median, weight);
        std::size_t next = 0;
        for (int k = 0; k <= kBins; ++k) {
            const double x = static_cast<double>(sourceMax[c]) * k / kBins;
            while (next < centre.size() && centre[next] < x) ++next;
            double m, s;
            if (next == 0) {
                m = centre[0] > 0.0 ? median[0] * x / centre[0] : median[0];
                s = spread[0];
            } else if (next == centre.size()) {
                m = median.back();
                s = spread.back();
            } else {
                const double f = (x - centre[next - 1]) / (centre[next] - centre[next - 1]);
                m = median[next - 1] + f * (median[next] - median[next - 1]);
                s = spread[next - 1] + f * (spread[next] - spread[next - 1]);
            }
            mapping.value[c][k] = static_cast<float>(m);
            mapping.spread[c][k] = static_cast<float>(s);
        }
    }
    return mapping;
}

GhostMaskGrid judgeGhosts(const FloatImage& exposure, const FloatImage& reference, int dx, int dy,
                          const BrightnessMapping& mapping, int strength) {
    GhostMaskGrid grid;
    const int width = exposure.width();
    const int height = exposure.height();
    if (strength <= 0 || width <= 0 || height <= 0) return grid;
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
    if (coverX1 <= coverX0 || coverY1 <= coverY0) return grid;

    const ghost_detail::CellTables tables = ghost_detail::cellTables(mapping);

    // Share of each block's 2 x 2 cells that disagree. A cell's difference is averaged over its
    // four pixels before it is judged: noise and the ringing of compression at edges cancel, a
    // real change does not.
    const int cellCount = (coverX1 - coverX0) / 2;
    std::vector<float> share(static_cast<std::size_t>(gw) * gh, 0.0f);
    parallelRows(0, gh, [&](int gy) {
        std::vector<float> sum(static_cast<std::size_t>(gw), 0.0f);
        std::vector<float> cells(static_cast<std::size_t>(gw), 0.0f);
        std::vector<float> d(static_cast<std::size_t>(cellCount));
        const int first = std::max(gy * block, coverY0);
        const int end = std::min({height, (gy + 1) * block, coverY1});
        for (int v = first; v + 1 < end; v += 2) {
            const std::ptrdiff_t x0 = 3 * static_cast<std::ptrdiff_t>(coverX0);
            const std::ptrdiff_t rx0 = 3 * static_cast<std::ptrdiff_t>(coverX0 + dx);
            ghost_detail::cellDisagreement(tables, exposure.row(v) + x0, exposure.row(v + 1) + x0,
                                           reference.row(v + dy) + rx0, reference.row(v + 1 + dy) + rx0, cellCount,
                                           d.data());
            // Cell i starts at pixel coverX0 + 2i and counts in that pixel's block.
            int gx = coverX0 / block;
            int nextBlock = (gx + 1) * block;
            for (int i = 0, u = coverX0; i < cellCount; ++i, u += 2) {
                if (u >= nextBlock) {
                    gx = u / block;
                    nextBlock = (gx + 1) * block;
                }
                sum[static_cast<std::size_t>(gx)] +=
                    std::clamp((d[static_cast<std::size_t>(i)] - 0.5f * limit) / (0.5f * limit), 0.0f, 1.0f);
                cells[static_cast<std::size_t>(gx)] += 1.0f;
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

    grid.block_ = block;
    grid.gw_ = gw;
    grid.gh_ = gh;
    grid.fade_ = fade;
    grid.coverX0_ = coverX0;
    grid.coverX1_ = coverX1;
    grid.coverY0_ = coverY0;
    grid.coverY1_ = coverY1;
    grid.firstSet_.assign(static_cast<std::size_t>(gh), 0);
    grid.endSet_.assign(static_cast<std::size_t>(gh), 0);
    for (int gy = 0; gy < gh; ++gy) {
        const float* row = share.data() + static_cast<std::size_t>(gy) * gw;
        int first = 0;
        while (first < gw && row[first] == 0.0f) ++first;
        int end = gw;
        while (end > first && row[end - 1] == 0.0f) --end;
        grid.firstSet_[static_cast<std::size_t>(gy)] = first;
        grid.endSet_[static_cast<std::size_t>(gy)] = end;
    }
    grid.share_ = std::move(share);
    return grid;
}

namespace {

// The two grid rows a pixel row is interpolated between, and how far it lies from the first.
struct GridRows {
    int y0, y1;
    float fy;
};

GridRows gridRowsOf(int v, int block, int gh) {
    const float gyf = std::clamp((v + 0.5f) / block - 0.5f, 0.0f, static_cast<float>(gh - 1));
    const int y0 = std::min(static_cast<int>(gyf), gh - 1);
    return {y0, std::min(y0 + 1, gh - 1), gyf - static_cast<float>(y0)};
}

}  // namespace

GhostMaskGrid::Span GhostMaskGrid::span(int v) const {
    if (share_.empty() || v < coverY0_ || v >= coverY1_) return {};
    const GridRows g = gridRowsOf(v, block_, gh_);
    const auto y0 = static_cast<std::size_t>(g.y0), y1 = static_cast<std::size_t>(g.y1);
    const bool set0 = firstSet_[y0] < endSet_[y0], set1 = firstSet_[y1] < endSet_[y1];
    if (!set0 && !set1) return {};
    const int lo = std::min(set0 ? firstSet_[y0] : gw_, set1 ? firstSet_[y1] : gw_);
    const int hi = std::max(set0 ? endSet_[y0] : 0, set1 ? endSet_[y1] : 0);
    // A pixel reads grid columns x0 and x0 + 1 with x0 = floor((u + 0.5) / block - 0.5): only
    // pixels with lo - 1 <= x0 < hi can read a set column.
    return {std::max(coverX0_, (lo - 1) * block_), std::min(coverX1_, (hi + 1) * block_)};
}

void GhostMaskGrid::fill(int v, Span s, float* out) const {
    const GridRows g = gridRowsOf(v, block_, gh_);
    const auto at = [&](int x, int y) { return share_[static_cast<std::size_t>(y) * gw_ + x]; };
    for (int u = s.first; u < s.end; ++u) {
        out[u] = 0.0f;
        const float gxf = std::clamp((u + 0.5f) / block_ - 0.5f, 0.0f, static_cast<float>(gw_ - 1));
        const int x0 = std::min(static_cast<int>(gxf), gw_ - 1);
        const int x1 = std::min(x0 + 1, gw_ - 1);
        const float fx = gxf - static_cast<float>(x0);
        if (at(x0, g.y0) == 0.0f && at(x1, g.y0) == 0.0f && at(x0, g.y1) == 0.0f && at(x1, g.y1) == 0.0f) continue;
        const float top = at(x0, g.y0) + fx * (at(x1, g.y0) - at(x0, g.y0));
        const float bottom = at(x0, g.y1) + fx * (at(x1, g.y1) - at(x0, g.y1));
        const float edge = static_cast<float>(std::min({u - coverX0_ + 1, coverX1_ - u, v - coverY0_ + 1, coverY1_ - v}));
        const float keep = std::min(1.0f, edge / fade_);
        out[u] = std::clamp(top + g.fy * (bottom - top), 0.0f, 1.0f) * keep;
    }
}

void replaceGhosts(FloatImage& exposure, const FloatImage& reference, int dx, int dy, const BrightnessMapping& mapping,
                   const GhostMaskGrid& mask) {
    parallelRows(0, exposure.height(), [&](int v) {
        const GhostMaskGrid::Span s = mask.span(v);
        if (s.empty()) return;
        std::vector<float> row(static_cast<std::size_t>(s.end));
        mask.fill(v, s, row.data());
        float* e = exposure.row(v);
        for (int u = s.first; u < s.end; ++u) {
            const float m = row[static_cast<std::size_t>(u)];
            if (!(m > 0.0f)) continue;
            const float* r = reference.row(v + dy) + 3 * static_cast<std::ptrdiff_t>(u + dx);
            for (int c = 0; c < 3; ++c) e[3 * u + c] += m * (mapping.apply(c, r[c]) - e[3 * u + c]);
        }
    });
}

ExposureSource exposureFiles(const Project& project, const DecodeHooks& hooks) {
    return [&project, hooks](int index, FloatImage& pixels, ProgressSink& progress) -> std::optional<Message> {
        const ExposureRecord& record = project.exposures[static_cast<std::size_t>(index)];
        DecodeHooks again = hooks;
        again.batch = false;
        again.alwaysAskGamma = true;
        again.askGamma = [gamma = record.tiffGamma] { return gamma; };
        DecodedPicture picture = decodePicture(record.path, again, progress);
        if (!picture.ok) return picture.failure;
        if (picture.pixels.width() != project.imageWidth || picture.pixels.height() != project.imageHeight) {
            return Message{MessageId::FileChanged, 0, fileNameOf(record.path)};
        }
        pixels = std::move(picture.pixels);
        return std::nullopt;
    };
}

GhostMerge mergeWithoutGhosts(FloatImage& stack, const ExposureRecord* records, int count,
                              const GhostRemovalParams& params, const ExposureSource& source, ProgressSink& progress) {
    GhostMerge result;
    const int width = stack.width();
    const int height = stack.height();
    if (count <= 0 || stack.empty()) return result;
    const int ref = std::clamp(params.reference, 0, count - 1);
    const std::int64_t stage = height;
    beginProgress(progress, stage * (2 + 3ll * (count - 1)));
    std::int64_t done = 0;
    const auto read = [&](int index, FloatImage& pixels) {
        StageProgress sub(progress, done, stage);
        std::optional<Message> error = source(index, pixels, sub);
        progress.setPosition(done += stage);
        return error;
    };
    // Reading a file is mostly one core's work. Beside it, on the other cores, run what needs no
    // file: clearing the stack and the union mask while the reference is read, and adding the
    // reference while the exposure after it is read. The stack still takes the exposures in
    // record order.
    tbb::task_group beside;
    const auto failed = [&](std::optional<Message> error) {
        beside.wait();
        result.error = std::move(error);
        result.mask = {};
        endProgress(progress, height);
        return result;
    };
    beside.run([&] {
        stack.fill(0.0f);
        result.mask = zeroedFloats(static_cast<std::size_t>(width) * height);
    });

    FloatImage reference;
    if (auto error = read(ref, reference)) return failed(error);
    beside.wait();
    const ExposureRecord& refRecord = records[ref];
    float last = 0.0f;
    // One picture serves every exposure in turn (a source may fill it in place); their masks are
    // kept on their grids until the union is made.
    FloatImage exposure;
    std::vector<std::pair<const ExposureRecord*, GhostMaskGrid>> masks;
    for (int k = 0; k < count; ++k) {
        const ExposureRecord& record = records[k];
        if (k == ref) {
            beside.run([&, added = &record] {
                NullProgress quiet;
                last = accumulateExposure(stack, reference, *added, false, quiet);
            });
            done += stage;  // the gauge passes it when the next exposure is read
            continue;
        }
        std::optional<Message> error = read(k, exposure);
        beside.wait();
        if (error) return failed(error);
        // Exposure pixel (u, v) shows what reference pixel (u + dx, v + dy) shows.
        const int dx = record.shiftX - refRecord.shiftX;
        const int dy = record.shiftY - refRecord.shiftY;
        const BrightnessMapping mapping = fitBrightnessMapping(reference, exposure, dx, dy);
        masks.emplace_back(&record, judgeGhosts(exposure, reference, dx, dy, mapping, params.strength));
        replaceGhosts(exposure, reference, dx, dy, mapping, masks.back().second);
        progress.setPosition(done += stage);
        last = accumulateExposure(stack, exposure, record, false, progress);
        progress.setPosition(done += stage);
    }
    beside.wait();
    progress.setPosition(done);
    // The union in stack pixels: stack pixel (x, y) is pixel (x - shiftX, y - shiftY) of each exposure.
    parallelRows(0, height, [&](int y) {
        float* out = result.mask.data() + static_cast<std::size_t>(y) * width;
        std::vector<float> in;
        for (const auto& [record, grid] : masks) {
            const int v = y - record->shiftY;
            if (v < 0 || v >= height) continue;
            GhostMaskGrid::Span s = grid.span(v);
            s.first = std::max(s.first, -record->shiftX);
            s.end = std::min(s.end, width - record->shiftX);
            if (s.empty()) continue;
            in.resize(static_cast<std::size_t>(s.end));
            grid.fill(v, s, in.data());
            for (int u = s.first; u < s.end; ++u) {
                float& o = out[u + record->shiftX];
                o = std::max(o, in[static_cast<std::size_t>(u)]);
            }
        }
    });
    result.stackMax = last == 0.0f ? 1.0f : last;
    endProgress(progress, height);
    return result;
}

GhostResult removeGhosts(Project& project, GhostRemovalState& state, const GhostRemovalParams& params,
                         int stackedCount, const ExposureSource& source, ProgressSink& progress) {
    GhostResult result;
    if (!project.buffersAllocated || stackedCount <= 0 || stackedCount > project.exposureCount) {
        result.error = Message{MessageId::NoExposureSelected};
        return result;
    }
    if (!state.active) {
        state.plainStack = project.stackBuffer.clone();
        state.plainStackMax = project.stackMax;
    }
    GhostMerge merge =
        mergeWithoutGhosts(project.stackBuffer, project.exposures.data(), stackedCount, params, source, progress);
    if (merge.error) {
        // Nothing is lost: the plain stack comes back and ghost removal is off.
        result.error = merge.error;
        project.stackBuffer = std::move(state.plainStack);
        project.stackMax = state.plainStackMax;
        state.active = false;
        state.mask.clear();
        return result;
    }
    project.stackMax = merge.stackMax;
    state.active = true;
    state.params = params;
    state.mask = std::move(merge.mask);
    project.wholeImageProcessed = false;
    result.done = true;
    return result;
}

void restorePlainStack(Project& project, GhostRemovalState& state) {
    if (!state.active) return;
    project.stackBuffer = std::move(state.plainStack);
    project.stackMax = state.plainStackMax;
    state.active = false;
    state.mask.clear();
    project.wholeImageProcessed = false;
}

GhostResult addExposureWithoutGhosts(Project& project, GhostRemovalState& state, const ExposureSource& source,
                                     ProgressSink& progress) {
    if (!state.active) {
        addExposure(project, progress);
        return GhostResult{true, std::nullopt};
    }
    addExposureToPlainStack(project, state, progress);
    return removeGhosts(project, state, state.params, project.exposureCount, source, progress);
}

void addExposureToPlainStack(Project& project, GhostRemovalState& state, ProgressSink& progress) {
    if (!state.active) {
        addExposure(project, progress);
        return;
    }
    std::swap(project.stackBuffer, state.plainStack);
    addExposure(project, progress);
    std::swap(project.stackBuffer, state.plainStack);
    state.plainStackMax = project.stackMax;
}

GhostResult removeExposureWithoutGhosts(Project& project, GhostRemovalState& state, int index,
                                        const DecodeHooks& hooks, const ExposureSource& source,
                                        ProgressSink& progress) {
    GhostResult result;
    if (!state.active) {
        RemoveResult removed = removeExposure(project, index, hooks, progress);
        result.done = removed.removed;
        result.error = removed.error;
        return result;
    }
    std::swap(project.stackBuffer, state.plainStack);
    RemoveResult removed = removeExposure(project, index, hooks, progress);
    std::swap(project.stackBuffer, state.plainStack);
    if (!removed.removed) {
        result.error = removed.error;
        return result;
    }
    state.plainStackMax = project.stackMax;
    if (project.exposureCount == 0) {
        restorePlainStack(project, state);
        result.done = true;
        return result;
    }
    GhostRemovalParams params = state.params;
    if (index < params.reference) --params.reference;
    params.reference = std::min(params.reference, project.exposureCount - 1);
    return removeGhosts(project, state, params, project.exposureCount, source, progress);
}

}  // namespace sv
