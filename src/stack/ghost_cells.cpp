#include "stack/ghost_cells.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "stack/ghost_removal.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define SV_CELLS_AVX2 1
#endif

namespace sv::ghost_detail {

namespace {

constexpr int kTable = CellTables::kTable;
constexpr std::size_t kChannelTable = kTable + 1;

inline int tableIndex(const CellTables& tables, int c, float v) {
    const float t = v * tables.toIndex[static_cast<std::size_t>(c)] + 0.5f;
    return t > 0.0f ? static_cast<int>(std::min(t, static_cast<float>(kTable))) : 0;
}

inline float mappedAt(const CellTables& tables, int c, float v) {
    return tables.mapped[c * kChannelTable + static_cast<std::size_t>(tableIndex(tables, c, v))];
}

inline float inverseSpreadAt(const CellTables& tables, int c, float v) {
    return tables.inverseSpread[c * kChannelTable + static_cast<std::size_t>(tableIndex(tables, c, v))];
}

}  // namespace

CellTables cellTables(const BrightnessMapping& mapping) {
    CellTables tables;
    tables.mapped.resize(3 * kChannelTable);
    tables.inverseSpread.resize(3 * kChannelTable);
    for (int c = 0; c < 3; ++c) {
        tables.toIndex[static_cast<std::size_t>(c)] = kTable / mapping.sourceMax[static_cast<std::size_t>(c)];
        for (int i = 0; i <= kTable; ++i) {
            const float v = mapping.sourceMax[static_cast<std::size_t>(c)] * static_cast<float>(i) / kTable;
            tables.mapped[c * kChannelTable + static_cast<std::size_t>(i)] = mapping.apply(c, v);
            tables.inverseSpread[c * kChannelTable + static_cast<std::size_t>(i)] = 1.0f / mapping.spreadAt(c, v);
        }
    }
    return tables;
}

void cellDisagreementPlain(const CellTables& tables, const float* e0, const float* e1, const float* r0,
                           const float* r1, int cells, float* d) {
    for (int i = 0; i < cells; ++i) {
        float worst = 0.0f;
        for (int c = 0; c < 3; ++c) {
            const std::size_t a = 6 * static_cast<std::size_t>(i) + static_cast<std::size_t>(c);
            const std::size_t b = a + 3;
            const float diff = (e0[a] - mappedAt(tables, c, r0[a])) + (e0[b] - mappedAt(tables, c, r0[b])) +
                               (e1[a] - mappedAt(tables, c, r1[a])) + (e1[b] - mappedAt(tables, c, r1[b]));
            const float level = 0.25f * ((r0[a] + r0[b]) + (r1[a] + r1[b]));
            worst = std::max(worst, 0.25f * std::fabs(diff) * inverseSpreadAt(tables, c, level));
        }
        d[i] = worst;
    }
}

#ifdef SV_CELLS_AVX2

#define SV_AVX2 __attribute__((target("avx2")))

namespace {

constexpr int kRunCells = 128;

// Eight samples' channels, which repeat every three vectors: lane constants for each phase.
struct Lanes {
    alignas(32) float toIndex[3][8];
    alignas(32) int base[3][8];
};

// t = v x toIndex + 0.5; t > 0 ? min(t, kTable) truncated : 0 (NaN gives 0, as one at a time),
// plus where the sample's channel starts in the tables.
SV_AVX2 inline __m256i tableIndexes(__m256 v, const Lanes& lanes, int phase) {
    const __m256 t = _mm256_add_ps(_mm256_mul_ps(v, _mm256_load_ps(lanes.toIndex[phase])), _mm256_set1_ps(0.5f));
    const __m256i i = _mm256_cvttps_epi32(_mm256_min_ps(t, _mm256_set1_ps(static_cast<float>(kTable))));
    const __m256i kept = _mm256_and_si256(i, _mm256_castps_si256(_mm256_cmp_ps(t, _mm256_setzero_ps(), _CMP_GT_OQ)));
    return _mm256_add_epi32(kept, _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.base[phase])));
}

SV_AVX2 inline __m256 lookUp(const float* table, __m256i index) {
    alignas(32) int at[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
    return _mm256_setr_ps(table[at[0]], table[at[1]], table[at[2]], table[at[3]], table[at[4]], table[at[5]],
                          table[at[6]], table[at[7]]);
}

// out = e - map(r) over n samples.
SV_AVX2 void differences(const CellTables& tables, const Lanes& lanes, const float* e, const float* r, int n,
                         float* out) {
    int j = 0;
    for (int p = 0; j + 8 <= n; j += 8, p = p == 2 ? 0 : p + 1) {
        const __m256 m = lookUp(tables.mapped.data(), tableIndexes(_mm256_loadu_ps(r + j), lanes, p));
        _mm256_storeu_ps(out + j, _mm256_sub_ps(_mm256_loadu_ps(e + j), m));
    }
    for (; j < n; ++j) out[j] = e[j] - mappedAt(tables, j % 3, r[j]);
}

// The row pair's samples are taken as one flat run, sample j of channel j mod 3: the differences
// e - map(r) of both rows first, then for every sample the sum over its cell (the sample three
// further on is the cell's other pixel), in the plain version's order of operations. Half the
// cell sums belong to no cell (they start on a cell's second pixel) and are not read.
SV_AVX2 void cellDisagreementRun(const CellTables& tables, const Lanes& lanes, const float* e0, const float* e1,
                                 const float* r0, const float* r1, int cells, float* d) {
    const int n = 6 * cells;
    alignas(32) float diff0[6 * kRunCells], diff1[6 * kRunCells], judged[6 * kRunCells];

    differences(tables, lanes, e0, r0, n, diff0);
    differences(tables, lanes, e1, r1, n, diff1);

    // Samples 0 .. n - 4 start a cell or a cell's second pixel; vectors stop where the other pixel
    // of the last one would lie past the row.
    const __m256 quarter = _mm256_set1_ps(0.25f);
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    int j = 0;
    for (int p = 0; j + 11 <= n; j += 8, p = p == 2 ? 0 : p + 1) {
        const __m256 sum = _mm256_add_ps(
            _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(diff0 + j), _mm256_loadu_ps(diff0 + j + 3)),
                          _mm256_loadu_ps(diff1 + j)),
            _mm256_loadu_ps(diff1 + j + 3));
        const __m256 level =
            _mm256_mul_ps(quarter, _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(r0 + j), _mm256_loadu_ps(r0 + j + 3)),
                                                 _mm256_add_ps(_mm256_loadu_ps(r1 + j), _mm256_loadu_ps(r1 + j + 3))));
        const __m256 weight = lookUp(tables.inverseSpread.data(), tableIndexes(level, lanes, p));
        _mm256_storeu_ps(judged + j, _mm256_mul_ps(_mm256_mul_ps(quarter, _mm256_and_ps(sum, magnitude)), weight));
    }
    for (; j + 3 < n; ++j) {
        const float sum = ((diff0[j] + diff0[j + 3]) + diff1[j]) + diff1[j + 3];
        const float level = 0.25f * ((r0[j] + r0[j + 3]) + (r1[j] + r1[j + 3]));
        judged[j] = 0.25f * std::fabs(sum) * inverseSpreadAt(tables, j % 3, level);
    }
    for (int i = 0; i < cells; ++i) {
        const float* q = judged + 6 * static_cast<std::size_t>(i);
        d[i] = std::max(std::max(std::max(0.0f, q[0]), q[1]), q[2]);
    }
}

}  // namespace

bool cellDisagreementVectorUsable() { return __builtin_cpu_supports("avx2"); }

// In runs short enough that their differences stay in the first-level cache.
SV_AVX2 void cellDisagreementVector(const CellTables& tables, const float* e0, const float* e1, const float* r0,
                                    const float* r1, int cells, float* d) {
    Lanes lanes;
    for (int p = 0; p < 3; ++p) {
        for (int lane = 0; lane < 8; ++lane) {
            const int c = (8 * p + lane) % 3;
            lanes.toIndex[p][lane] = tables.toIndex[static_cast<std::size_t>(c)];
            lanes.base[p][lane] = c * static_cast<int>(kChannelTable);
        }
    }
    for (int first = 0; first < cells; first += kRunCells) {
        const std::size_t at = 6 * static_cast<std::size_t>(first);
        cellDisagreementRun(tables, lanes, e0 + at, e1 + at, r0 + at, r1 + at, std::min(kRunCells, cells - first),
                            d + first);
    }
}

#else

bool cellDisagreementVectorUsable() { return false; }

void cellDisagreementVector(const CellTables& tables, const float* e0, const float* e1, const float* r0,
                            const float* r1, int cells, float* d) {
    cellDisagreementPlain(tables, e0, e1, r0, r1, cells, d);
}

#endif

void cellDisagreement(const CellTables& tables, const float* e0, const float* e1, const float* r0, const float* r1,
                      int cells, float* d) {
    static const bool vector = cellDisagreementVectorUsable();
    if (vector) {
        cellDisagreementVector(tables, e0, e1, r0, r1, cells, d);
    } else {
        cellDisagreementPlain(tables, e0, e1, r0, r1, cells, d);
    }
}

}  // namespace sv::ghost_detail
