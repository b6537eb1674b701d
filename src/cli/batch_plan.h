#pragma once
// Grouping pictures into brackets and planning a batch's outputs: pure functions over what was
// read from the files, so that each rule is tested without a picture.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace sv::cli {

// What grouping knows about one picture, from its EXIF; each value is absent when not recorded.
struct BatchPicture {
    std::string path;
    std::optional<double> exposureBias;       // EV
    std::optional<double> exposureTime;       // seconds
    std::optional<long long> captureSeconds;  // seconds since 1970 of the camera's clock
};

// Brackets as lists of indices into the pictures, in order.
using Brackets = std::vector<std::vector<std::size_t>>;

// Runs of `size` pictures; the last one may be shorter.
Brackets groupByCount(std::size_t pictures, std::size_t size);

// A new bracket wherever the capture times of neighbours differ by more than `gapSeconds` (either
// way, so that a clock or a file counter that wrapped does not join two brackets). Absent when a
// picture has no capture time; `missing` is then its index.
std::optional<Brackets> groupByTimeGap(const std::vector<BatchPicture>& pictures, long long gapSeconds,
                                       std::size_t* missing = nullptr);

// The smallest bracket length p (2 or more) whose steps repeat: every run of p pictures has the
// same exposure values relative to its first, within 0.3 of a stop, no two of a run are equal,
// and each run starts within a stop (and half the smallest step) of where the run before
// started. A second run of at least two pictures must show the repetition; the last run may be
// shorter. A set of two to nine different values that never repeats is one bracket. Absent when
// a value is missing or no length fits. `values` are in stops (EV).
std::optional<Brackets> groupByRepeatingValues(const std::vector<std::optional<double>>& values);

// How the default grouping decided, for the message that tells the user.
enum class ExposureSource { Bias, Time, None };
struct ExposureGrouping {
    Brackets brackets;
    ExposureSource source = ExposureSource::None;
};
// The default: the repeating pattern of the exposure biases, else of the exposure times (in
// stops), else runs of three.
ExposureGrouping groupByExposure(const std::vector<BatchPicture>& pictures);

// "YYYY:MM:DD HH:MM:SS" as cameras write it, in seconds since 1970 (the clock's own zone);
// absent for anything else, including the "0000:00:00 00:00:00" of an unset clock.
std::optional<long long> captureSecondsOf(const std::string& exifTime);

// The file name of a bracket's output from a pattern: {first} the first picture's name without
// its extension, {index} the bracket's number (from 1, with leading zeros to the width of the
// last number), {count} the number of pictures in it; "{{" and "}}" stand for braces. The
// extension is added. Absent, with `problem` set, for an unknown field or a name with a '/'.
std::optional<std::string> outputName(const std::string& pattern, const std::string& firstPath, std::size_t index,
                                      std::size_t brackets, std::size_t pictures, const std::string& extension,
                                      std::string* problem = nullptr);

// One bracket of the plan: its number (from 1), its pictures and its output path.
struct PlannedBracket {
    std::size_t index = 0;
    std::vector<std::string> files;
    std::string output;
};

// A share of the plan for one of N machines or jobs: brackets first, first + N, first + 2N, ...
struct Shard {
    std::size_t first = 1;  // 1..count
    std::size_t count = 1;
};
std::optional<Shard> parseShard(const std::string& text);
bool inShard(std::size_t index, const Shard& shard);

// The plan's JSON line for a bracket: {"index": 1, "files": [...], "output": "..."}.
std::string planLine(const PlannedBracket& bracket);

}  // namespace sv::cli
