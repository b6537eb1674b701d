#include "stack/ghost_removal.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "image/parallel_rows.h"
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

}  // namespace

float BrightnessMapping::apply(int channel, float v) const {
    const float t = std::clamp(v / sourceMax[channel] * kBins, 0.0f, static_cast<float>(kBins));
    const int k = std::min(static_cast<int>(t), kBins - 1);
    const float f = t - static_cast<float>(k);
    return value[channel][k] + f * (value[channel][k + 1] - value[channel][k]);
}

float BrightnessMapping::spreadAt(int channel, float v) const {
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

    // Ranges of the shared pixels.
    std::array<float, 3> sourceMax{}, targetMax{};
    for (int v = v0; v < v1; v += 2) {
        const float* t = target.row(v);
        const float* s = source.row(v + dy);
        for (int u = u0; u < u1; u += 2) {
            for (int c = 0; c < 3; ++c) {
                sourceMax[c] = std::max(sourceMax[c], s[3 * (u + dx) + c]);
                targetMax[c] = std::max(targetMax[c], t[3 * u + c]);
            }
        }
    }
    for (int c = 0; c < 3; ++c) {
        if (!(sourceMax[c] > 0.0f) || !std::isfinite(sourceMax[c])) sourceMax[c] = 1.0f;
        if (!(targetMax[c] > 0.0f) || !std::isfinite(targetMax[c])) targetMax[c] = 1.0f;
    }
    mapping.sourceMax = sourceMax;

    using Joint = std::vector<std::uint32_t>;  // 3 x kBins x kTargetBins
    tbb::enumerable_thread_specific<Joint> partial([] { return Joint(3u * kBins * kTargetBins, 0u); });
    if (u1 > u0 && v1 > v0) {
        tbb::parallel_for(tbb::blocked_range<int>(0, (v1 - v0 + 1) / 2), [&](const tbb::blocked_range<int>& r) {
            Joint& joint = partial.local();
            for (int i = r.begin(); i != r.end(); ++i) {
                const int v = v0 + 2 * i;
                const float* t = target.row(v);
                const float* s = source.row(v + dy);
                for (int u = u0; u < u1; u += 2) {
                    for (int c = 0; c < 3; ++c) {
                        const float sv = s[3 * (u + dx) + c];
                        const float tv = t[3 * u + c];
                        if (!std::isfinite(sv) || !std::isfinite(tv)) continue;
                        const int bs = std::clamp(static_cast<int>(sv / sourceMax[c] * kBins), 0, kBins - 1);
                        const int bt = std::clamp(static_cast<int>(tv / targetMax[c] * kTargetBins), 0, kTargetBins - 1);
                        ++joint[(static_cast<std::size_t>(c) * kBins + bs) * kTargetBins + bt];
                    }
                }
            }
        });
    }
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

std::vector<float> ghostMask(const FloatImage& exposure, const FloatImage& reference, int dx, int dy,
                             const BrightnessMapping& mapping, int strength) {
    const int width = exposure.width();
    const int height = exposure.height();
    std::vector<float> mask(static_cast<std::size_t>(width) * height, 0.0f);
    if (strength <= 0 || width <= 0 || height <= 0) return mask;
    const float limit = 8.0f - 6.0f * static_cast<float>(std::min(strength, 100)) / 100.0f;
    const int longer = std::max(width, height);
    const int block = std::max(1, longer / 800);
    const int gw = (width + block - 1) / block;
    const int gh = (height + block - 1) / block;
    const int feather = std::max(2, static_cast<int>(std::lround(longer / (250.0 * block))));
    // Distance over which the mask fades out towards the edge of the reference's coverage, so
    // that where the reference ends no seam appears either.
    const float fade = static_cast<float>(2 * feather * block);
    const int coverX0 = std::max(0, -dx), coverX1 = std::min(width, reference.width() - dx);
    const int coverY0 = std::max(0, -dy), coverY1 = std::min(height, reference.height() - dy);
    const auto inside = [&](int u, int v) {
        return u + dx >= 0 && u + dx < reference.width() && v + dy >= 0 && v + dy < reference.height();
    };

    // Share of each block's pixels that disagree. The difference is averaged over 3 x 3 pixels
    // (what both pictures show there) before it is judged: noise and the ringing of compression
    // at edges cancel, a real change does not.
    std::vector<float> share(static_cast<std::size_t>(gw) * gh, 0.0f);
    const std::size_t rowFloats = static_cast<std::size_t>(width) * 3;
    parallelRows(0, gh, [&](int gy) {
        const int first = gy * block;
        const int end = std::min(height, (gy + 1) * block);
        const int bandFirst = std::max(0, first - 1);
        const int bandEnd = std::min(height, end + 1);
        // Signed differences e - map(r) of the band's rows (NaN where there is no reference).
        std::vector<float> diff(static_cast<std::size_t>(bandEnd - bandFirst) * rowFloats);
        for (int v = bandFirst; v < bandEnd; ++v) {
            const float* e = exposure.row(v);
            float* out = diff.data() + static_cast<std::size_t>(v - bandFirst) * rowFloats;
            for (int u = 0; u < width; ++u) {
                if (!inside(u, v)) {
                    for (int c = 0; c < 3; ++c) out[3 * u + c] = std::numeric_limits<float>::quiet_NaN();
                    continue;
                }
                const float* r = reference.row(v + dy) + 3 * static_cast<std::ptrdiff_t>(u + dx);
                for (int c = 0; c < 3; ++c) out[3 * u + c] = e[3 * u + c] - mapping.apply(c, r[c]);
            }
        }
        std::vector<float> sum(static_cast<std::size_t>(gw), 0.0f);
        for (int v = first; v < end; ++v) {
            for (int u = 0; u < width; ++u) {
                if (!inside(u, v)) continue;
                const float* r = reference.row(v + dy) + 3 * static_cast<std::ptrdiff_t>(u + dx);
                float d = 0.0f;
                for (int c = 0; c < 3; ++c) {
                    float local = 0.0f;
                    int n = 0;
                    for (int j = std::max(bandFirst, v - 1); j <= std::min(bandEnd - 1, v + 1); ++j) {
                        const float* row = diff.data() + static_cast<std::size_t>(j - bandFirst) * rowFloats;
                        for (int i = std::max(0, u - 1); i <= std::min(width - 1, u + 1); ++i) {
                            const float value = row[3 * i + c];
                            if (value == value) {
                                local += value;
                                ++n;
                            }
                        }
                    }
                    d = std::max(d, std::fabs(local / static_cast<float>(n)) / mapping.spreadAt(c, r[c]));
                }
                sum[static_cast<std::size_t>(u / block)] += std::clamp((d - 0.5f * limit) / (0.5f * limit), 0.0f, 1.0f);
            }
        }
        const int rows = end - first;
        for (int gx = 0; gx < gw; ++gx) {
            const int cols = std::min(width, (gx + 1) * block) - gx * block;
            share[static_cast<std::size_t>(gy) * gw + gx] = sum[static_cast<std::size_t>(gx)] / static_cast<float>(rows * cols);
        }
    });
    // Lone disagreeing blocks (noise) go; the rest is widened so the feather lies outside it.
    boxBlur(share, gw, gh, 1);
    for (float& s : share) s = s > 0.3f ? 1.0f : 0.0f;
    dilate(share, gw, gh, 2 * feather);
    boxBlur(share, gw, gh, feather);
    boxBlur(share, gw, gh, feather);

    parallelRows(0, height, [&](int v) {
        float* m = mask.data() + static_cast<std::size_t>(v) * width;
        const float gyf = std::clamp((v + 0.5f) / block - 0.5f, 0.0f, static_cast<float>(gh - 1));
        const int y0 = std::min(static_cast<int>(gyf), gh - 1);
        const int y1 = std::min(y0 + 1, gh - 1);
        const float fy = gyf - static_cast<float>(y0);
        for (int u = 0; u < width; ++u) {
            if (!inside(u, v)) continue;
            const float gxf = std::clamp((u + 0.5f) / block - 0.5f, 0.0f, static_cast<float>(gw - 1));
            const int x0 = std::min(static_cast<int>(gxf), gw - 1);
            const int x1 = std::min(x0 + 1, gw - 1);
            const float fx = gxf - static_cast<float>(x0);
            const auto at = [&](int x, int y) { return share[static_cast<std::size_t>(y) * gw + x]; };
            const float top = at(x0, y0) + fx * (at(x1, y0) - at(x0, y0));
            const float bottom = at(x0, y1) + fx * (at(x1, y1) - at(x0, y1));
            const float edge = static_cast<float>(std::min({u - coverX0 + 1, coverX1 - u, v - coverY0 + 1, coverY1 - v}));
            const float keep = std::min(1.0f, edge / fade);
            m[u] = std::clamp(top + fy * (bottom - top), 0.0f, 1.0f) * keep;
        }
    });
    return mask;
}

void replaceGhosts(FloatImage& exposure, const FloatImage& reference, int dx, int dy, const BrightnessMapping& mapping,
                   const std::vector<float>& mask) {
    const int width = exposure.width();
    parallelRows(0, exposure.height(), [&](int v) {
        const float* m = mask.data() + static_cast<std::size_t>(v) * width;
        float* e = exposure.row(v);
        for (int u = 0; u < width; ++u) {
            if (!(m[u] > 0.0f)) continue;
            const float* r = reference.row(v + dy) + 3 * static_cast<std::ptrdiff_t>(u + dx);
            for (int c = 0; c < 3; ++c) e[3 * u + c] += m[u] * (mapping.apply(c, r[c]) - e[3 * u + c]);
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

    FloatImage reference;
    if (auto error = read(ref, reference)) {
        result.error = error;
        endProgress(progress, height);
        return result;
    }
    stack.fill(0.0f);
    result.mask.assign(static_cast<std::size_t>(width) * height, 0.0f);
    const ExposureRecord& refRecord = records[ref];
    float last = 0.0f;
    for (int k = 0; k < count; ++k) {
        const ExposureRecord& record = records[k];
        if (k == ref) {
            last = accumulateExposure(stack, reference, record, false, progress);
            progress.setPosition(done += stage);
            continue;
        }
        FloatImage exposure;
        if (auto error = read(k, exposure)) {
            result.error = error;
            endProgress(progress, height);
            return result;
        }
        // Exposure pixel (u, v) shows what reference pixel (u + dx, v + dy) shows.
        const int dx = record.shiftX - refRecord.shiftX;
        const int dy = record.shiftY - refRecord.shiftY;
        const BrightnessMapping mapping = fitBrightnessMapping(reference, exposure, dx, dy);
        const std::vector<float> mask = ghostMask(exposure, reference, dx, dy, mapping, params.strength);
        replaceGhosts(exposure, reference, dx, dy, mapping, mask);
        parallelRows(0, height, [&](int y) {
            const int v = y - record.shiftY;
            if (v < 0 || v >= height) return;
            float* out = result.mask.data() + static_cast<std::size_t>(y) * width;
            const float* in = mask.data() + static_cast<std::size_t>(v) * width;
            for (int x = std::max(0, record.shiftX); x < std::min(width, width + record.shiftX); ++x) {
                out[x] = std::max(out[x], in[x - record.shiftX]);
            }
        });
        progress.setPosition(done += stage);
        last = accumulateExposure(stack, exposure, record, false, progress);
        progress.setPosition(done += stage);
    }
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
    std::swap(project.stackBuffer, state.plainStack);
    addExposure(project, progress);
    std::swap(project.stackBuffer, state.plainStack);
    state.plainStackMax = project.stackMax;
    return removeGhosts(project, state, state.params, project.exposureCount, source, progress);
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
