#pragma once
// The Gaussian and Laplacian pyramid steps of exposure fusion: reduce (binomial 5 x 5 filter,
// every second pixel) and expand (zeros between the pixels, 4 x the same filter), both mirroring
// about the edge pixel. Every output sample is computed by one fixed formula whatever part of a
// level is asked for, so a region computed alone equals the same region of a whole level.

#include <cstddef>
#include <memory>
#include <vector>

namespace sv::fusion {

// A level of a pyramid: width x height pixels of 1 or 3 interleaved channels, obtained as the
// pictures are (large ones in huge pages). Throws std::bad_alloc when it cannot be had.
class Plane {
public:
    Plane() = default;
    Plane(int width, int height, int channels);
    int width() const { return width_; }
    int height() const { return height_; }
    int channels() const { return channels_; }
    std::size_t rowSamples() const { return static_cast<std::size_t>(width_) * channels_; }
    float* row(int y) { return data_.get() + static_cast<std::size_t>(y) * rowSamples(); }
    const float* row(int y) const { return data_.get() + static_cast<std::size_t>(y) * rowSamples(); }
    bool empty() const { return !data_; }

private:
    struct FreeDeleter {
        std::size_t bytes;
        void operator()(float* p) const;
    };
    int width_ = 0;
    int height_ = 0;
    int channels_ = 1;
    std::unique_ptr<float[], FreeDeleter> data_;
};

// A half-open range of indices along one side of a level.
struct Span {
    int begin = 0;
    int end = 0;
    bool empty() const { return end <= begin; }
    int size() const { return end - begin; }
};

// A rectangle of a level: columns x rows.
struct Window {
    Span columns;
    Span rows;
};

// Index i mirrored about the edge pixels into 0 .. n-1 (..., 2, 1, 0, 1, 2, ...); n = 1 gives 0.
int mirror(int i, int n);

// Size of the next coarser level along one side: ceil(size / 2).
inline int coarserSize(int size) { return (size + 1) / 2; }

// The coarse indices that expanding reads for the fine indices of `fine` (a level of `fineSize`
// along this side, the coarse one of coarserSize(fineSize)).
Span expandSupport(Span fine, int fineSize);

// Where one output index of a reduce or expand takes its samples from along one side.
struct ExpandTaps {
    int a, b, c;  // even outputs: (a + 6 b + c) / 8; odd outputs: (a + b) / 2 (c unused)
};
ExpandTaps expandTaps(int fineIndex, int fineSize);

// Scratch rows and expanded rows are read and written a few floats past their end by the vector
// loops: they hold this many floats more than their samples.
inline constexpr std::size_t kRowPadding = 4;

// One output row j of a reduce: the five source rows mirror(2j - 2) .. mirror(2j + 2) given as
// pointers (each sourceWidth x channels samples). `scratch` holds sourceWidth x channels floats
// plus kRowPadding.
void reduceRow(const float* const sourceRows[5], int sourceWidth, int channels, float* scratch, float* out);

// Reduces a whole level into the next (target sized coarserSize x coarserSize), on all cores.
void reduceLevel(const Plane& source, Plane& target);

// Expand of `coarse` at fine row y of a level of fineWidth x fineHeight, for the fine columns
// `columns`: writes columns.size() x channels samples to `out` (which holds kRowPadding more).
// `scratch` holds coarse.rowSamples() + kRowPadding floats.
void expandRow(const Plane& coarse, int fineWidth, int fineHeight, int y, Span columns, float* scratch, float* out);

}  // namespace sv::fusion
