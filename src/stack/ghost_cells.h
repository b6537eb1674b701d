#pragma once

// How far the 2 x 2 cells of a row pair disagree with the reference, the innermost work of
// judging ghosts. Exposed for the tests, which hold the vector version to the plain one.

#include <array>
#include <vector>

namespace sv {

struct BrightnessMapping;

namespace ghost_detail {

// The mapping and the inverse spread as fine tables over the reference's range (judging only: the
// replacement itself uses the exact mapping). Channel after channel, kTable + 1 entries each.
struct CellTables {
    static constexpr int kTable = 4096;
    std::array<float, 3> toIndex{};
    std::vector<float> mapped;
    std::vector<float> inverseSpread;
};
CellTables cellTables(const BrightnessMapping& mapping);

// The disagreement of `cells` cells: cell i is pixels 2i and 2i + 1 of exposure rows e0, e1 (RGB)
// against the same pixels of reference rows r0, r1:
//   d = max over channels of |mean(e - map(r))| x inverse spread at the cell's mean reference level.
void cellDisagreement(const CellTables& tables, const float* e0, const float* e1, const float* r0, const float* r1,
                      int cells, float* d);

// The two ways of working it out: one value after another, and eight at a time (AVX2, where the
// processor has it; the same bits).
void cellDisagreementPlain(const CellTables& tables, const float* e0, const float* e1, const float* r0,
                           const float* r1, int cells, float* d);
bool cellDisagreementVectorUsable();
void cellDisagreementVector(const CellTables& tables, const float* e0, const float* e1, const float* r0,
                            const float* r1, int cells, float* d);

}  // namespace ghost_detail
}  // namespace sv
