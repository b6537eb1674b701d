#include "tone/exposure_fusion.h"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <new>

#include "image/memory_budget.h"
#include "image/parallel_rows.h"
#include "tone/fusion_pyramid.h"

namespace sv {

using fusion::Plane;
using fusion::Span;
using fusion::Window;
using fusion::coarserSize;
using fusion::expandRow;
using fusion::expandSupport;
using fusion::kRowPadding;
using fusion::mirror;

int fusionLevels(int width, int height) {
    int m = std::min(width, height);
    if (m <= 0) return 1;
    int levels = 1;
    while (m >= 2) {
        m /= 2;
        ++levels;
    }
    return levels;
}

FusionParams fusionParams(const ParameterValues& values) {
    const ParameterList d = kFusionParameters;
    FusionParams params;
    params.contrastPosition = positionOf(d, values, "contrast");
    params.saturationPosition = positionOf(d, values, "saturation");
    params.exposurePosition = positionOf(d, values, "exposure");
    return params;
}

ParameterValues fusionValues(const FusionParams& params) {
    return {{"contrast", params.contrastPosition},
            {"saturation", params.saturationPosition},
            {"exposure", params.exposurePosition}};
}

std::int64_t fusionProgressSteps(int exposureCount, int imageHeight) {
    return (4ll * exposureCount + 1) * imageHeight;
}

namespace {

constexpr float kEpsilon = 1e-12f;
constexpr float kSmallest = 1.17549435e-38f;  // the smallest normal float
// 2 x 0.2^2: the width of the well-exposedness Gaussian around 0.5.
constexpr float kExposedWidth = 0.08f;

// How the three measures enter a weight: an exponent of 0 leaves the measure out, 1 uses it as it
// is, any other goes through exp(e x log(measure)), all such terms summed under one exp.
struct WeightRule {
    bool contrast, saturation, exposure;
    bool contrastAsIs, saturationAsIs;
    float wc, ws, we;
};

WeightRule weightRule(const FusionParams& p) {
    // Positions beyond the track bars' range are held to it (a negative exponent would turn a
    // measure of 0 into an infinite weight).
    auto exponent = [](int position) {
        return static_cast<float>(std::clamp(position, kFusionWeightMin, kFusionWeightMax) * 0.01);
    };
    WeightRule r{};
    r.wc = exponent(p.contrastPosition);
    r.ws = exponent(p.saturationPosition);
    r.we = exponent(p.exposurePosition);
    r.contrast = r.wc != 0.0f;
    r.saturation = r.ws != 0.0f;
    r.exposure = r.we != 0.0f;
    r.contrastAsIs = r.wc == 1.0f;
    r.saturationAsIs = r.ws == 1.0f;
    return r;
}

inline float heldToUnit(float v) { return v >= 0.0f ? (v <= 1.0f ? v : 1.0f) : 0.0f; }

// The exposure in stack coordinates, in place: scaled, held to 0..1, shifted with its edge
// pixels repeated into what it does not cover. Returns the covered rectangle.
Region placeExposure(FusionExposure& e) {
    FloatImage& p = e.pixels;
    const int W = p.width(), H = p.height();
    const float m = e.multiplier;
    parallelRows(0, H, [&](int y) {
        float* row = p.row(y);
        for (std::size_t i = 0; i < p.rowSamples(); ++i) row[i] = heldToUnit(row[i] * m);
    });
    const int dx = std::clamp(e.shiftX, -W, W);
    const int dy = std::clamp(e.shiftY, -H, H);
    // Rows: stack row y shows row clamp(y - dy). Walking away from the source side never
    // overwrites a row that is still to be read.
    const std::size_t rowBytes = p.rowSamples() * sizeof(float);
    auto sourceRow = [&](int y) { return std::clamp(y - dy, 0, H - 1); };
    if (dy > 0) {
        for (int y = H - 1; y >= 0; --y) {
            if (sourceRow(y) != y) std::memcpy(p.row(y), p.row(sourceRow(y)), rowBytes);
        }
    } else if (dy < 0) {
        for (int y = 0; y < H; ++y) {
            if (sourceRow(y) != y) std::memcpy(p.row(y), p.row(sourceRow(y)), rowBytes);
        }
    }
    if (dx != 0) {
        parallelRows(0, H, [&](int y) {
            float* row = p.row(y);
            auto move = [&](int x) {
                const int s = std::clamp(x - dx, 0, W - 1);
                if (s != x) std::memcpy(row + 3 * x, row + 3 * s, 3 * sizeof(float));
            };
            if (dx > 0) {
                for (int x = W - 1; x >= 0; --x) move(x);
            } else {
                for (int x = 0; x < W; ++x) move(x);
            }
        });
    }
    Region covered;
    covered.x = std::max(0, dx);
    covered.width = std::min(W, W + dx) - covered.x;
    covered.y = std::max(0, dy);
    covered.height = std::min(H, H + dy) - covered.y;
    if (covered.width <= 0 || covered.height <= 0) covered = Region{};
    return covered;
}

// glibc's vector maths (libmvec, the x86-64 vector function ABI): four floats per call. Every
// element goes through the vector form, the last few in a padded group, so a pixel's weight does
// not depend on where in its row it falls.
extern "C" __m128 _ZGVbN4v_expf(__m128);
extern "C" __m128 _ZGVbN4v_logf(__m128);

template <__m128 (*kFunction)(__m128)>
void vectorMap(const float* in, float* out, int n) {
    int x = 0;
    for (; x + 4 <= n; x += 4) _mm_storeu_ps(out + x, kFunction(_mm_loadu_ps(in + x)));
    if (x < n) {
        alignas(16) float tail[4] = {1.0f, 1.0f, 1.0f, 1.0f};
        std::copy(in + x, in + n, tail);
        _mm_store_ps(tail, kFunction(_mm_load_ps(tail)));
        std::copy(tail, tail + (n - x), out + x);
    }
}
inline void vectorExp(const float* in, float* out, int n) { vectorMap<_ZGVbN4v_expf>(in, out, n); }
inline void vectorLog(const float* in, float* out, int n) { vectorMap<_ZGVbN4v_logf>(in, out, n); }

// The rows of an exposure placed in stack coordinates: its float picture, or the 8-bit copy kept
// from the first pass. A stored sample k stands for exactly k / 256, the value it was made from.
class PlacedRows {
public:
    PlacedRows(const FloatImage* image, const std::uint8_t* bytes, int width, int height)
        : image_(image), bytes_(bytes), width_(width), height_(height) {}
    int width() const { return width_; }
    int height() const { return height_; }
    // Row y as floats; `scratch` (3 x width floats) holds it when it has to be converted.
    const float* row(int y, float* scratch) const {
        if (!bytes_) return image_->row(y);
        const std::size_t n = 3 * static_cast<std::size_t>(width_);
        const std::uint8_t* __restrict b = bytes_ + static_cast<std::size_t>(y) * n;
        float* __restrict out = scratch;
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(b[i]) * (1.0f / 256.0f);
        return scratch;
    }

private:
    const FloatImage* image_;
    const std::uint8_t* bytes_;
    int width_, height_;
};

// Keeps an 8-bit copy of a placed exposure when every sample is some k / 256 with k in 0..255
// (any 8-bit picture at multiplier 1), so that the second pass need not read the file again.
// Returns an empty vector when a sample would not survive the copy.
std::vector<std::uint8_t> eightBitCopy(const FloatImage& p) {
    std::vector<std::uint8_t> bytes(p.sampleCount());
    std::atomic<bool> exact{true};
    parallelRows(0, p.height(), [&](int y) {
        if (!exact.load(std::memory_order_relaxed)) return;
        const float* row = p.row(y);
        std::uint8_t* out = bytes.data() + static_cast<std::size_t>(y) * p.rowSamples();
        const std::size_t n = p.rowSamples();
        // t = sample x 256 is exact (a power of two); the sample survives when t is a whole
        // number below 256.
        const __m128 scale = _mm_set1_ps(256.0f), top = _mm_set1_ps(255.0f);
        __m128 same = _mm_castsi128_ps(_mm_set1_epi32(-1));
        std::size_t i = 0;
        for (; i + 16 <= n; i += 16) {
            __m128i level[4];
            for (int v = 0; v < 4; ++v) {
                const __m128 t = _mm_mul_ps(_mm_loadu_ps(row + i + 4 * v), scale);
                level[v] = _mm_cvttps_epi32(_mm_min_ps(t, top));
                same = _mm_and_ps(same, _mm_cmpeq_ps(_mm_cvtepi32_ps(level[v]), t));
            }
            const __m128i words = _mm_packus_epi16(_mm_packs_epi32(level[0], level[1]), _mm_packs_epi32(level[2], level[3]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), words);
        }
        bool rowExact = _mm_movemask_ps(same) == 0xF;
        for (; i < n; ++i) {
            const float t = row[i] * 256.0f;
            const int level = static_cast<int>(t < 255.0f ? t : 255.0f);
            rowExact &= static_cast<float>(level) == t;
            out[i] = static_cast<std::uint8_t>(level);
        }
        if (!rowExact) exact.store(false, std::memory_order_relaxed);
    });
    if (!exact.load()) bytes.clear();
    return bytes;
}

// Interleaved R, G, B samples of a row into three planes (four pixels at a time by shuffles).
void splitChannels(const float* p, int width, float* r, float* g, float* b) {
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        const float* q = p + 3 * x;
        const __m128 a = _mm_loadu_ps(q);      // r0 g0 b0 r1
        const __m128 m = _mm_loadu_ps(q + 4);  // g1 b1 r2 g2
        const __m128 c = _mm_loadu_ps(q + 8);  // b2 r3 g3 b3
        const __m128 rr = _mm_shuffle_ps(m, c, _MM_SHUFFLE(1, 1, 2, 2));  // r2 r2 r3 r3
        const __m128 gg0 = _mm_shuffle_ps(a, m, _MM_SHUFFLE(0, 0, 1, 1));  // g0 g0 g1 g1
        const __m128 gg1 = _mm_shuffle_ps(m, c, _MM_SHUFFLE(2, 2, 3, 3));  // g2 g2 g3 g3
        const __m128 bb0 = _mm_shuffle_ps(a, m, _MM_SHUFFLE(1, 1, 2, 2));  // b0 b0 b1 b1
        const __m128 bb1 = _mm_shuffle_ps(c, c, _MM_SHUFFLE(3, 3, 0, 0));  // b2 b2 b3 b3
        _mm_storeu_ps(r + x, _mm_shuffle_ps(a, rr, _MM_SHUFFLE(2, 0, 3, 0)));
        _mm_storeu_ps(g + x, _mm_shuffle_ps(gg0, gg1, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(b + x, _mm_shuffle_ps(bb0, bb1, _MM_SHUFFLE(2, 0, 2, 0)));
    }
    for (; x < width; ++x) {
        r[x] = p[3 * x];
        g[x] = p[3 * x + 1];
        b[x] = p[3 * x + 2];
    }
}

// Thread-local rows the weights are worked in. The grey rows are kept by row index: a sweep down
// the picture asks for each one three times.
class WeightScratch {
public:
    explicit WeightScratch(int width)
        : width_(static_cast<std::size_t>(width)), grey_(3 * width_), measure_(5 * width_), converted_(3 * width_),
          planes_(3 * width_) {}

    // Grey row y of the picture, computed unless one of the three slots holds it. `keep` names
    // the rows the caller is about to use, which must not be evicted.
    const float* greyRow(const PlacedRows& I, int y, const int keep[3]) {
        for (int s = 0; s < 3; ++s) {
            if (rowOf_[s] == y) return grey_.data() + s * width_;
        }
        int slot = 0;
        while (rowOf_[slot] == keep[0] || rowOf_[slot] == keep[1] || rowOf_[slot] == keep[2]) ++slot;
        rowOf_[slot] = y;
        float* __restrict g = grey_.data() + slot * width_;
        split(I, y);
        const float* __restrict r = red();
        const float* __restrict gr = green();
        const float* __restrict b = blue();
        for (std::size_t x = 0; x < width_; ++x) g[x] = (0.299f * r[x] + 0.587f * gr[x]) + 0.114f * b[x];
        return g;
    }
    // Row y as three planes (red(), green(), blue()).
    void split(const PlacedRows& I, int y) {
        splitChannels(I.row(y, converted_.data()), static_cast<int>(width_), red(), green(), blue());
    }
    float* red() { return planes_.data(); }
    float* green() { return planes_.data() + width_; }
    float* blue() { return planes_.data() + 2 * width_; }
    float* contrast() { return measure_.data(); }
    float* saturation() { return measure_.data() + width_; }
    float* exposedness() { return measure_.data() + 2 * width_; }
    float* argument() { return measure_.data() + 3 * width_; }
    float* logarithm() { return measure_.data() + 4 * width_; }

private:
    std::size_t width_;
    std::vector<float> grey_;
    std::vector<float> measure_;
    std::vector<float> converted_;
    std::vector<float> planes_;
    int rowOf_[3] = {-1, -1, -1};
};

// The three measures of a row, each in its own loop over planes so that they run on vectors.
void measureRow(const PlacedRows& I, int y, const WeightRule& rule, WeightScratch& s) {
    const int W = I.width(), H = I.height();
    if (rule.contrast) {
        const int rows[3] = {mirror(y - 1, H), y, mirror(y + 1, H)};
        const float* __restrict up = s.greyRow(I, rows[0], rows);
        const float* __restrict g = s.greyRow(I, rows[1], rows);
        const float* __restrict down = s.greyRow(I, rows[2], rows);
        float* __restrict c = s.contrast();
        auto at = [&](int x, float left, float right) {
            return std::fabs((((left + right) + up[x]) + down[x]) - 4.0f * g[x]);
        };
        c[0] = at(0, g[mirror(-1, W)], g[mirror(1, W)]);
        for (int x = 1; x < W - 1; ++x) c[x] = std::fabs((((g[x - 1] + g[x + 1]) + up[x]) + down[x]) - 4.0f * g[x]);
        if (W > 1) c[W - 1] = at(W - 1, g[W - 2], g[mirror(W, W)]);
    }
    if (!rule.saturation && !rule.exposure) return;
    s.split(I, y);
    const float* __restrict r = s.red();
    const float* __restrict gr = s.green();
    const float* __restrict b = s.blue();
    if (rule.saturation) {
        float* __restrict sd = s.saturation();
        for (int x = 0; x < W; ++x) {
            const float mu = ((r[x] + gr[x]) + b[x]) / 3.0f;
            const float dr = r[x] - mu, dg = gr[x] - mu, db = b[x] - mu;
            sd[x] = std::sqrt(((dr * dr + dg * dg) + db * db) / 3.0f);
        }
    }
    if (rule.exposure) {
        float* __restrict q = s.exposedness();
        for (int x = 0; x < W; ++x) {
            const float er = r[x] - 0.5f, eg = gr[x] - 0.5f, eb = b[x] - 0.5f;
            q[x] = ((er * er + eg * eg) + eb * eb) / kExposedWidth;
        }
    }
}

// The weight W of every pixel of stack row y (before normalising).
void weightRow(const PlacedRows& I, int y, const Region& covered, const std::vector<float>& mask,
               const WeightRule& rule, WeightScratch& s, float* out) {
    const int W = I.width();
    if (covered.empty() || y < covered.y || y >= covered.bottom()) {
        std::fill(out, out + W, 0.0f);
        return;
    }
    measureRow(I, y, rule, s);
    const float* c = s.contrast();
    const float* sd = s.saturation();
    const float* q = s.exposedness();
    // W = C^wc x S^ws x E^we: exponents of 1 multiply the measure in, the others meet under one
    // exp as e x log(measure), with E^we = exp(-we x q).
    const bool viaExp = rule.exposure || (rule.contrast && !rule.contrastAsIs) || (rule.saturation && !rule.saturationAsIs);
    float* __restrict arg = s.argument();
    if (viaExp) {
        const float we = rule.exposure ? rule.we : 0.0f;
        for (int x = 0; x < W; ++x) arg[x] = -(we * q[x]);
        // A measure of 0 would send log to -infinity (and the vector functions to their slow
        // scalar path): it is taken as the smallest normal float here and its weight set to 0
        // below, which is what 0^e is for e > 0.
        auto addLogTerm = [&](const float* measure, float e) {
            float* __restrict t = s.logarithm();
            for (int x = 0; x < W; ++x) t[x] = measure[x] > kSmallest ? measure[x] : kSmallest;
            vectorLog(t, t, W);
            for (int x = 0; x < W; ++x) arg[x] += e * t[x];
        };
        if (rule.contrast && !rule.contrastAsIs) addLogTerm(c, rule.wc);
        if (rule.saturation && !rule.saturationAsIs) addLogTerm(sd, rule.ws);
        // Below e^-80 a weight is lost in the 1e-12 added to it anyway; held there, exp never
        // meets an argument that underflows.
        for (int x = 0; x < W; ++x) arg[x] = arg[x] > -80.0f ? arg[x] : -80.0f;
        vectorExp(arg, out, W);
        if (rule.contrast && !rule.contrastAsIs) {
            for (int x = 0; x < W; ++x) out[x] = c[x] > 0.0f ? out[x] : 0.0f;
        }
        if (rule.saturation && !rule.saturationAsIs) {
            for (int x = 0; x < W; ++x) out[x] = sd[x] > 0.0f ? out[x] : 0.0f;
        }
    } else {
        std::fill(out, out + W, 1.0f);
    }
    if (rule.contrast && rule.contrastAsIs) {
        for (int x = 0; x < W; ++x) out[x] *= c[x];
    }
    if (rule.saturation && rule.saturationAsIs) {
        for (int x = 0; x < W; ++x) out[x] *= sd[x];
    }
    for (int x = 0; x < W; ++x) out[x] += kEpsilon;
    std::fill(out, out + covered.x, 0.0f);
    std::fill(out + covered.right(), out + W, 0.0f);
    if (!mask.empty()) {
        const float* m = mask.data() + static_cast<std::size_t>(y) * W;
        for (int x = 0; x < W; ++x) out[x] *= m[x];
    }
}

// Normalised weights of a row: W / sum W, or 1 / N where no exposure has any weight.
void normaliseRow(float* w, const float* sum, int width, float equalShare) {
    for (int x = 0; x < width; ++x) w[x] = sum[x] > 0.0f ? w[x] / sum[x] : equalShare;
}

// Where the fused samples go: the processed buffer, or a crop whose pixel (0, 0) is picture
// pixel (originX, originY).
struct OutputView {
    float* data;
    std::size_t rowSamples;
    int originX, originY;
    float* at(int x, int y) const {
        return data + static_cast<std::size_t>(y - originY) * rowSamples + static_cast<std::size_t>(x - originX) * 3;
    }
};

class Fusion {
public:
    Fusion(FusionSource& source, const FusionParams& params, int width, int height, Region region, OutputView out,
           FusionKeptExposures& kept, bool keepAfter, ProgressSink& progress)
        : source_(source), rule_(weightRule(params)), W_(width), H_(height), out_(out), progress_(progress),
          levels_(fusionLevels(width, height)), count_(source.exposureCount()), kept_(kept), keepAfter_(keepAfter) {
        windows_.resize(static_cast<std::size_t>(levels_));
        windows_[0] = Window{Span{region.x, region.right()}, Span{region.y, region.bottom()}};
        int w = W_, h = H_;
        for (int l = 1; l < levels_; ++l) {
            const Window& fine = windows_[static_cast<std::size_t>(l - 1)];
            windows_[static_cast<std::size_t>(l)] = Window{expandSupport(fine.columns, w), expandSupport(fine.rows, h)};
            w = coarserSize(w);
            h = coarserSize(h);
        }
    }

    FusionOutcome run();

private:
    // An exposure as the passes see it: placed, with its mask and covered rectangle.
    struct Placed {
        FusionExposure exposure;
        Region covered;
        PlacedRows rows{nullptr, nullptr, 0, 0};
    };
    bool read(int k, Placed& p, FusionOutcome& outcome);
    void sumWeights(const Placed& p, bool first);
    void blendExposure(Placed& p, bool first, bool last);
    void blendFinest(const Placed& p, const Plane* g1, Plane* gw1, bool first, bool last);
    void addCoarse(const Plane& c1);
    void clearOutput();
    const Window& window(int level) const { return windows_[static_cast<std::size_t>(level)]; }

    FusionSource& source_;
    WeightRule rule_;
    int W_, H_;
    OutputView out_;
    ProgressSink& progress_;
    int levels_;
    int count_;
    std::vector<Window> windows_;
    Plane weightSum_;
    // 8-bit copies from the first pass (or an earlier fusion of the bracket), while they fit in
    // one float picture's bytes; dropped after their blend unless keepAfter_.
    FusionKeptExposures& kept_;
    bool keepAfter_;
    std::vector<Plane> pyramid_, weightPyramid_;
    Plane coarseSum_;  // level 1: the exposures' collapsed coarser levels, summed
};

bool Fusion::read(int k, Placed& p, FusionOutcome& outcome) {
    p = Placed{};
    if (!source_.loadExposure(k, p.exposure)) {
        outcome = FusionOutcome{FusionStatus::ExposureUnavailable, k};
        return false;
    }
    const FusionExposure& e = p.exposure;
    const bool maskFits = e.weightMask.empty() || e.weightMask.size() == static_cast<std::size_t>(W_) * H_;
    if (e.pixels.width() != W_ || e.pixels.height() != H_ || !maskFits) {
        outcome = FusionOutcome{FusionStatus::WrongSize, k};
        return false;
    }
    progress_.advance(H_);
    p.covered = placeExposure(p.exposure);
    p.rows = PlacedRows(&p.exposure.pixels, nullptr, W_, H_);
    return true;
}

void Fusion::sumWeights(const Placed& p, bool first) {
    tbb::enumerable_thread_specific<WeightScratch> scratch([&] { return WeightScratch(W_); });
    tbb::enumerable_thread_specific<std::vector<float>> rows([&] { return std::vector<float>(static_cast<std::size_t>(W_)); });
    parallelRows(0, H_, [&](int y) {
        float* sum = weightSum_.row(y);
        if (first) {
            weightRow(p.rows, y, p.covered, p.exposure.weightMask, rule_, scratch.local(), sum);
            return;
        }
        float* w = rows.local().data();
        weightRow(p.rows, y, p.covered, p.exposure.weightMask, rule_, scratch.local(), w);
        for (int x = 0; x < W_; ++x) sum[x] += w[x];
    }, &progress_);
}

// The finest level in one sweep down the picture: each row's normalised weights are made once,
// multiplied into the row's Laplacian (exposure - expanded level 1) inside the window, and
// reduced, five rows at a time, into level 1 of the weights' pyramid. Bands of level-1 rows run
// in parallel; each works out the two weight rows either side of its own as well.
void Fusion::blendFinest(const Placed& p, const Plane* g1, Plane* gw1, bool first, bool last) {
    const float equalShare = 1.0f / static_cast<float>(count_);
    const Window& win = window(0);
    const std::size_t W = static_cast<std::size_t>(W_);
    struct Scratch {
        WeightScratch weights;
        std::vector<float> ring;      // five weight rows
        std::vector<float> reduce;    // one row of the reduce
        std::vector<float> expandV;   // one coarse row of the expand
        std::vector<float> expanded;  // the window's columns of the expanded row
        std::vector<float> spread;    // the window's weights, one per sample
        std::vector<float> pixels;    // one converted row of the exposure
        Scratch(int width, std::size_t coarseSamples, int windowColumns)
            : weights(width), ring(5 * static_cast<std::size_t>(width)), reduce(static_cast<std::size_t>(width) + kRowPadding),
              expandV(coarseSamples + kRowPadding), expanded(3 * static_cast<std::size_t>(windowColumns) + kRowPadding),
              spread(3 * static_cast<std::size_t>(windowColumns)), pixels(3 * static_cast<std::size_t>(width)) {}
    };
    const std::size_t coarseSamples = g1 ? g1->rowSamples() : 0;
    tbb::enumerable_thread_specific<Scratch> scratch(
        [&] { return Scratch(W_, coarseSamples, std::max(win.columns.size(), 0)); });

    // Row y of the finest level of the blend, inside the window: out (+)= w x (exposure - lowpass).
    auto blendRow = [&](int y, const float* weights, Scratch& s) {
        if (y < win.rows.begin || y >= win.rows.end || win.columns.empty()) return;
        const std::size_t n = 3 * static_cast<std::size_t>(win.columns.size());
        const float* __restrict in = p.rows.row(y, s.pixels.data()) + 3 * static_cast<std::size_t>(win.columns.begin);
        float* __restrict w3 = s.spread.data();
        for (int x = win.columns.begin; x < win.columns.end; ++x) {
            float* t = w3 + 3 * static_cast<std::size_t>(x - win.columns.begin);
            t[0] = t[1] = t[2] = weights[x];
        }
        float* __restrict o = out_.at(win.columns.begin, y);
        if (!g1) {
            // A single level: the blend is the weighted sum itself.
            for (std::size_t i = 0; i < n; ++i) {
                const float v = first ? w3[i] * in[i] : o[i] + w3[i] * in[i];
                o[i] = last ? heldToUnit(v) : v;
            }
            return;
        }
        expandRow(*g1, W_, H_, y, win.columns, s.expandV.data(), s.expanded.data());
        const float* __restrict lowpass = s.expanded.data();
        if (first) {
            for (std::size_t i = 0; i < n; ++i) o[i] = w3[i] * (in[i] - lowpass[i]);
        } else {
            for (std::size_t i = 0; i < n; ++i) o[i] = o[i] + w3[i] * (in[i] - lowpass[i]);
        }
    };
    auto weightsOf = [&](int y, float* w, Scratch& s) {
        weightRow(p.rows, y, p.covered, p.exposure.weightMask, rule_, s.weights, w);
        normaliseRow(w, weightSum_.row(y), W_, equalShare);
    };

    if (!gw1) {
        // A single level: no pyramid, every row on its own.
        parallelRows(0, H_, [&](int y) {
            if (y < win.rows.begin || y >= win.rows.end) return;
            Scratch& s = scratch.local();
            weightsOf(y, s.ring.data(), s);
            blendRow(y, s.ring.data(), s);
        }, &progress_);
        return;
    }
    // Each band works out four weight rows beyond its own: bands of at least 32 level-1 rows keep
    // that below a twentieth.
    tbb::parallel_for(tbb::blocked_range<int>(0, gw1->height(), 64), [&](const tbb::blocked_range<int>& band) {
        Scratch& s = scratch.local();
        const int j0 = band.begin(), j1 = band.end();
        const int firstRow = 2 * j0 - 2;  // virtual rows, mirrored into the picture
        for (int r = firstRow; r <= 2 * j1; ++r) {
            float* w = s.ring.data() + static_cast<std::size_t>((r - firstRow) % 5) * W;
            weightsOf(mirror(r, H_), w, s);
            if (r >= 2 * j0 && r < 2 * j1 && r < H_) blendRow(r, w, s);
            if (r >= 2 * j0 + 2 && ((r - 2 * j0 - 2) & 1) == 0) {
                const int j = (r - 2) / 2;
                const float* rows[5];
                for (int m = 0; m < 5; ++m) rows[m] = s.ring.data() + static_cast<std::size_t>((r - 4 + m - firstRow) % 5) * W;
                fusion::reduceRow(rows, W_, 1, s.reduce.data(), gw1->row(j));
            }
        }
        progress_.advance(std::min(2 * j1, H_) - 2 * j0);
    });
}

// Adds the expanded sum of the exposures' collapsed coarser levels to the window of the output,
// and holds every sample to 0..1.
void Fusion::addCoarse(const Plane& c1) {
    const Window& win = window(0);
    if (win.columns.empty()) return;
    struct Scratch {
        std::vector<float> v, e;
    };
    tbb::enumerable_thread_specific<Scratch> scratch([&] {
        return Scratch{std::vector<float>(c1.rowSamples() + kRowPadding),
                       std::vector<float>(3 * static_cast<std::size_t>(win.columns.size()) + kRowPadding)};
    });
    parallelRows(win.rows.begin, win.rows.end, [&](int y) {
        Scratch& s = scratch.local();
        expandRow(c1, W_, H_, y, win.columns, s.v.data(), s.e.data());
        float* __restrict o = out_.at(win.columns.begin, y);
        const float* __restrict e = s.e.data();
        const std::size_t n = 3 * static_cast<std::size_t>(win.columns.size());
        for (std::size_t i = 0; i < n; ++i) o[i] = heldToUnit(o[i] + e[i]);
    });
}

void Fusion::blendExposure(Placed& p, bool first, bool last) {
    if (levels_ == 1) {
        blendFinest(p, nullptr, nullptr, first, last);
        return;
    }
    // Gaussian pyramids of the exposure and of its normalised weight, levels 1 .. top (kept for
    // the next exposure unless a file has to be read in between).
    std::vector<Plane>& g = pyramid_;
    std::vector<Plane>& gw = weightPyramid_;
    if (g.empty()) {
        g.resize(static_cast<std::size_t>(levels_));
        gw.resize(static_cast<std::size_t>(levels_));
        int w = W_, h = H_;
        for (int l = 1; l < levels_; ++l) {
            w = coarserSize(w);
            h = coarserSize(h);
            g[static_cast<std::size_t>(l)] = Plane(w, h, 3);
            gw[static_cast<std::size_t>(l)] = Plane(w, h, 1);
        }
    }
    const int h = g[1].height();
    {
        // Level 1 of the exposure straight from its rows.
        struct Scratch {
            std::vector<float> rows, reduce;
        };
        tbb::enumerable_thread_specific<Scratch> scratch([&] {
            return Scratch{std::vector<float>(5 * 3 * static_cast<std::size_t>(W_)),
                           std::vector<float>(3 * static_cast<std::size_t>(W_) + kRowPadding)};
        });
        tbb::parallel_for(tbb::blocked_range<int>(0, h), [&](const tbb::blocked_range<int>& r) {
            Scratch& s = scratch.local();
            for (int j = r.begin(); j != r.end(); ++j) {
                const float* rows[5];
                for (int m = 0; m < 5; ++m) {
                    rows[m] = p.rows.row(mirror(2 * j - 2 + m, H_), s.rows.data() + static_cast<std::size_t>(m) * 3 * W_);
                }
                fusion::reduceRow(rows, W_, 3, s.reduce.data(), g[1].row(j));
            }
        });
    }
    blendFinest(p, &g[1], &gw[1], first, last);
    p.exposure.pixels.release();  // everything further works on the coarser levels
    for (int l = 2; l < levels_; ++l) {
        fusion::reduceLevel(g[static_cast<std::size_t>(l - 1)], g[static_cast<std::size_t>(l)]);
        fusion::reduceLevel(gw[static_cast<std::size_t>(l - 1)], gw[static_cast<std::size_t>(l)]);
    }
    // In place, finest first (each level's expand reads the next, still Gaussian, level):
    // level l becomes weight x Laplacian; the top level weight x Gaussian.
    const int top = levels_ - 1;
    struct Scratch {
        std::vector<float> v, e;
    };
    for (int l = 1; l <= top; ++l) {
        Plane& G = g[static_cast<std::size_t>(l)];
        const Plane& Gw = gw[static_cast<std::size_t>(l)];
        const Window& win = window(l);
        if (win.columns.empty()) continue;
        const Plane* next = l < top ? &g[static_cast<std::size_t>(l + 1)] : nullptr;
        tbb::enumerable_thread_specific<Scratch> scratch([&] {
            return Scratch{std::vector<float>(next ? next->rowSamples() + kRowPadding : 0),
                           std::vector<float>(3 * static_cast<std::size_t>(win.columns.size()) + kRowPadding)};
        });
        parallelRows(win.rows.begin, win.rows.end, [&](int y) {
            Scratch& s = scratch.local();
            float* row = G.row(y);
            const float* wrow = Gw.row(y);
            if (next) expandRow(*next, G.width(), G.height(), y, win.columns, s.v.data(), s.e.data());
            for (int x = win.columns.begin; x < win.columns.end; ++x) {
                const std::size_t i = static_cast<std::size_t>(x - win.columns.begin) * 3;
                for (int c = 0; c < 3; ++c) {
                    const float detail = next ? row[3 * x + c] - s.e[i + c] : row[3 * x + c];
                    row[3 * x + c] = wrow[x] * detail;
                }
            }
        });
    }
    // Collapse this exposure's coarser levels down to level 1 and add them up there: the expand
    // is linear, so the sum over the exposures reaches the finest level in one expand at the end.
    for (int l = top - 1; l >= 1; --l) {
        Plane& G = g[static_cast<std::size_t>(l)];
        const Plane& next = g[static_cast<std::size_t>(l + 1)];
        const Window& win = window(l);
        if (win.columns.empty()) continue;
        tbb::enumerable_thread_specific<Scratch> scratch([&] {
            return Scratch{std::vector<float>(next.rowSamples() + kRowPadding),
                           std::vector<float>(3 * static_cast<std::size_t>(win.columns.size()) + kRowPadding)};
        });
        parallelRows(win.rows.begin, win.rows.end, [&](int y) {
            Scratch& s = scratch.local();
            expandRow(next, G.width(), G.height(), y, win.columns, s.v.data(), s.e.data());
            float* row = G.row(y) + static_cast<std::size_t>(win.columns.begin) * 3;
            const std::size_t n = 3 * static_cast<std::size_t>(win.columns.size());
            for (std::size_t i = 0; i < n; ++i) row[i] += s.e[i];
        });
    }
    const Window& win1 = window(1);
    if (coarseSum_.empty()) coarseSum_ = Plane(g[1].width(), g[1].height(), 3);
    if (!win1.columns.empty()) {
        const std::size_t from = 3 * static_cast<std::size_t>(win1.columns.begin);
        const std::size_t n = 3 * static_cast<std::size_t>(win1.columns.size());
        parallelRows(win1.rows.begin, win1.rows.end, [&](int y) {
            const float* __restrict c = g[1].row(y) + from;
            float* __restrict sum = coarseSum_.row(y) + from;
            if (first) {
                std::copy(c, c + n, sum);
            } else {
                for (std::size_t i = 0; i < n; ++i) sum[i] += c[i];
            }
        });
    }
    if (last) addCoarse(coarseSum_);
}

void Fusion::clearOutput() {
    const Window& win = window(0);
    for (int y = win.rows.begin; y < win.rows.end; ++y) {
        std::fill(out_.at(win.columns.begin, y), out_.at(win.columns.end, y), 0.0f);
    }
}

FusionOutcome Fusion::run() {
    FusionOutcome outcome;
    if (count_ <= 0) return FusionOutcome{FusionStatus::NoExposures, -1};
    // One exposure at a time, and the fusion's own planes: the weight sum (a float per pixel) and
    // the exposure's two pyramids from level 1 on (a float and a third per pixel).
    const std::uint64_t pixels = static_cast<std::uint64_t>(W_) * static_cast<std::uint64_t>(H_);
    if (!floatImagesFit(W_, H_, 1, pixels * sizeof(float) * 3u)) return FusionOutcome{FusionStatus::NotEnoughMemory, -1};
    const std::uint64_t keepBudget = pixels * 3u * sizeof(float);
    if (kept_.copies.size() != static_cast<std::size_t>(count_)) kept_.clear();
    kept_.copies.resize(static_cast<std::size_t>(count_));
    kept_.covered.resize(static_cast<std::size_t>(count_));
    auto fromCopy = [&](int k, Placed& p) {
        p = Placed{};
        p.covered = kept_.covered[static_cast<std::size_t>(k)];
        p.rows = PlacedRows(nullptr, kept_.copies[static_cast<std::size_t>(k)].data(), W_, H_);
        progress_.advance(H_);
    };
    bool blending = false;
    try {
        weightSum_ = Plane(W_, H_, 1);
        Placed p;
        for (int k = 0; k < count_; ++k) {
            std::vector<std::uint8_t>& copy = kept_.copies[static_cast<std::size_t>(k)];
            if (!copy.empty()) {
                fromCopy(k, p);
                sumWeights(p, k == 0);
                continue;
            }
            if (!read(k, p, outcome)) return outcome;
            sumWeights(p, k == 0);
            // An exposure that survives an 8-bit copy (and has no mask to keep) is not read again.
            if (p.exposure.weightMask.empty() && kept_.bytes() + pixels * 3u <= keepBudget &&
                floatImagesFit(W_, H_, 0, pixels * 3u)) {
                copy = eightBitCopy(p.exposure.pixels);
                kept_.covered[static_cast<std::size_t>(k)] = p.covered;
            }
        }
        for (int k = 0; k < count_; ++k) {
            std::vector<std::uint8_t>& copy = kept_.copies[static_cast<std::size_t>(k)];
            if (copy.empty()) {
                // A file read again should not find the pyramids still held.
                pyramid_.clear();
                weightPyramid_.clear();
                if (!read(k, p, outcome)) {
                    if (blending) clearOutput();
                    return outcome;
                }
            } else {
                fromCopy(k, p);
            }
            blending = true;
            blendExposure(p, k == 0, k == count_ - 1);
            if (!keepAfter_) std::vector<std::uint8_t>().swap(copy);
        }
    } catch (const std::bad_alloc&) {
        if (blending) clearOutput();
        return FusionOutcome{FusionStatus::NotEnoughMemory, -1};
    }
    progress_.advance(H_);
    return outcome;
}
}  // namespace

FusionOutcome fusePicture(FusionSource& source, const FusionParams& params, FloatImage& processedBuffer,
                          ProgressSink& progress, FusionKeptExposures* kept) {
    if (source.exposureCount() <= 0) return FusionOutcome{FusionStatus::NoExposures, -1};
    if (processedBuffer.empty() || processedBuffer.width() != source.pictureWidth() ||
        processedBuffer.height() != source.pictureHeight()) {
        return FusionOutcome{FusionStatus::WrongSize, -1};
    }
    const OutputView out{processedBuffer.data(), processedBuffer.rowSamples(), 0, 0};
    FusionKeptExposures once;
    Fusion fusion(source, params, processedBuffer.width(), processedBuffer.height(), processedBuffer.bounds(), out,
                  kept ? *kept : once, kept != nullptr, progress);
    return fusion.run();
}

FusionOutcome fuseRegion(FusionSource& source, const FusionParams& params, const Region& region, FloatImage& crop,
                         ProgressSink& progress, FusionKeptExposures* kept) {
    if (source.exposureCount() <= 0) return FusionOutcome{FusionStatus::NoExposures, -1};
    const int width = source.pictureWidth(), height = source.pictureHeight();
    if (width <= 0 || height <= 0) return FusionOutcome{FusionStatus::WrongSize, -1};
    const Region r = clippedRegion(region, width, height);
    if (r.empty()) {
        crop = FloatImage();
        return FusionOutcome{};
    }
    try {
        crop = FloatImage(r.width, r.height);
    } catch (const std::bad_alloc&) {
        return FusionOutcome{FusionStatus::NotEnoughMemory, -1};
    }
    const OutputView out{crop.data(), crop.rowSamples(), r.x, r.y};
    FusionKeptExposures once;
    Fusion fusion(source, params, width, height, r, out, kept ? *kept : once, kept != nullptr, progress);
    return fusion.run();
}

void FusionKeptExposures::clear() {
    copies.clear();
    covered.clear();
}

std::uint64_t FusionKeptExposures::bytes() const {
    std::uint64_t total = 0;
    for (const auto& c : copies) total += c.size();
    return total;
}

void FusionPreviewCache::adopt(const std::string& bracketKey) {
    if (bracketKey == key_) return;
    // Another bracket: nothing kept speaks for it.
    fused_.release();
    valid_ = false;
    kept_.clear();
    key_ = bracketKey;
}

bool FusionPreviewCache::holds(const FusionParams& params, const Region& region, const std::string& bracketKey) const {
    return valid_ && params == params_ && region == region_ && bracketKey == key_;
}

FusionOutcome FusionPreviewCache::update(FusionSource& source, const FusionParams& params, const Region& region,
                                         const std::string& bracketKey, ProgressSink& progress) {
    if (holds(params, region, bracketKey)) return FusionOutcome{};
    adopt(bracketKey);
    fused_.release();
    valid_ = false;
    FloatImage crop;
    const FusionOutcome outcome = fuseRegion(source, params, region, crop, progress, &kept_);
    if (!outcome.ok()) return outcome;
    fused_ = std::move(crop);
    region_ = region;
    params_ = params;
    valid_ = true;
    return outcome;
}

FusionOutcome FusionPreviewCache::fuseWhole(FusionSource& source, const FusionParams& params,
                                            const std::string& bracketKey, FloatImage& processedBuffer,
                                            ProgressSink& progress) {
    adopt(bracketKey);
    return fusePicture(source, params, processedBuffer, progress, &kept_);
}

void FusionPreviewCache::clear() {
    fused_.release();
    valid_ = false;
    kept_.clear();
    key_.clear();
}

}  // namespace sv
