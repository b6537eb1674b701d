#include "cli/batch_plan.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <filesystem>

#include <nlohmann/json.hpp>

namespace sv::cli {

namespace {

// Exposures of one bracket differ by a stop or more; the light drifting between brackets, and
// shutter speeds rounded to the camera's steps, move a value by less than this.
constexpr double kStopTolerance = 0.3;
// A bracket longer than this is not believed without a repetition to show its length.
constexpr std::size_t kLongestLoneBracket = 9;
// How far the light may move one bracket's start from the one before (in stops).
constexpr double kMaxDrift = 1.0;

bool sameStop(double a, double b) { return std::fabs(a - b) <= kStopTolerance; }

bool allDifferent(const std::vector<double>& v, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        for (std::size_t j = i + 1; j < end; ++j) {
            if (sameStop(v[i], v[j])) return false;
        }
    }
    return true;
}

bool repeatsWithLength(const std::vector<double>& v, std::size_t p) {
    if (!allDifferent(v, 0, p)) return false;
    double smallestStep = kMaxDrift * 2.0;
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = i + 1; j < p; ++j) smallestStep = std::min(smallestStep, std::fabs(v[i] - v[j]));
    }
    // A bracket starts near where the one before started: a steady climb of values (0, 1, 2, 3, ...)
    // has repeating steps but is no repetition of brackets.
    const double drift = std::min(kMaxDrift, smallestStep / 2.0);
    for (std::size_t start = p; start < v.size(); start += p) {
        if (std::fabs(v[start] - v[start - p]) > drift) return false;
        for (std::size_t k = 0; k < p && start + k < v.size(); ++k) {
            if (!sameStop(v[start + k] - v[start], v[k] - v[0])) return false;
        }
    }
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool digitsAt(const std::string& text, std::size_t at, std::size_t count, int& value) {
    const char* first = text.data() + at;
    const auto [end, ec] = std::from_chars(first, first + count, value);
    return ec == std::errc() && end == first + count;
}

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

Brackets groupByCount(std::size_t pictures, std::size_t size) {
    Brackets brackets;
    if (size == 0) return brackets;
    for (std::size_t start = 0; start < pictures; start += size) {
        brackets.emplace_back();
        for (std::size_t i = start; i < pictures && i < start + size; ++i) brackets.back().push_back(i);
    }
    return brackets;
}

std::optional<Brackets> groupByTimeGap(const std::vector<BatchPicture>& pictures, long long gapSeconds,
                                       std::size_t* missing) {
    Brackets brackets;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        if (!pictures[i].captureSeconds) {
            if (missing) *missing = i;
            return std::nullopt;
        }
        const bool joins = i > 0 && std::llabs(*pictures[i].captureSeconds - *pictures[i - 1].captureSeconds) <= gapSeconds;
        if (!joins) brackets.emplace_back();
        brackets.back().push_back(i);
    }
    return brackets;
}

std::optional<Brackets> groupByRepeatingValues(const std::vector<std::optional<double>>& values) {
    std::vector<double> v;
    for (const auto& value : values) {
        if (!value || !std::isfinite(*value)) return std::nullopt;
        v.push_back(*value);
    }
    const std::size_t n = v.size();
    // A second run of two pictures or more must show the repetition.
    for (std::size_t p = 2; p + 2 <= n; ++p) {
        if (repeatsWithLength(v, p)) return groupByCount(n, p);
    }
    if (n >= 2 && n <= kLongestLoneBracket && allDifferent(v, 0, n)) return groupByCount(n, n);
    return std::nullopt;
}

ExposureGrouping groupByExposure(const std::vector<BatchPicture>& pictures) {
    std::vector<std::optional<double>> biases, stops;
    for (const BatchPicture& p : pictures) {
        biases.push_back(p.exposureBias);
        stops.push_back(p.exposureTime && *p.exposureTime > 0.0 ? std::optional<double>(std::log2(*p.exposureTime))
                                                                : std::nullopt);
    }
    // Many cameras record the bracket's offsets as the bias; others leave it at 0 and vary the time.
    if (auto brackets = groupByRepeatingValues(biases)) return {std::move(*brackets), ExposureSource::Bias};
    if (auto brackets = groupByRepeatingValues(stops)) return {std::move(*brackets), ExposureSource::Time};
    return {groupByCount(pictures.size(), 3), ExposureSource::None};
}

std::optional<long long> captureSecondsOf(const std::string& exifTime) {
    // "YYYY:MM:DD HH:MM:SS"; some writers use '-' in the date.
    if (exifTime.size() < 19) return std::nullopt;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    const auto dateSeparator = [&](std::size_t at) { return exifTime[at] == ':' || exifTime[at] == '-'; };
    if (!digitsAt(exifTime, 0, 4, year) || !dateSeparator(4) || !digitsAt(exifTime, 5, 2, month) ||
        !dateSeparator(7) || !digitsAt(exifTime, 8, 2, day) || (exifTime[10] != ' ' && exifTime[10] != 'T') ||
        !digitsAt(exifTime, 11, 2, hour) || exifTime[13] != ':' || !digitsAt(exifTime, 14, 2, minute) ||
        exifTime[16] != ':' || !digitsAt(exifTime, 17, 2, second)) {
        return std::nullopt;
    }
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (day > kDays[month - 1] + (month == 2 && leapYear(year) ? 1 : 0)) return std::nullopt;
    return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400LL + hour * 3600LL +
           minute * 60LL + second;
}

std::optional<std::string> outputName(const std::string& pattern, const std::string& firstPath, std::size_t index,
                                      std::size_t brackets, std::size_t pictures, const std::string& extension,
                                      std::string* problem) {
    const auto fail = [&](const std::string& why) -> std::optional<std::string> {
        if (problem) *problem = why;
        return std::nullopt;
    };
    std::string number = std::to_string(index);
    const std::size_t width = std::to_string(brackets).size();
    if (number.size() < width) number.insert(0, width - number.size(), '0');
    std::string name;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if ((c == '{' || c == '}') && i + 1 < pattern.size() && pattern[i + 1] == c) {
            name += c;
            ++i;
            continue;
        }
        if (c == '}') return fail("a '}' without its '{' (write '}}' for a brace)");
        if (c != '{') {
            name += c;
            continue;
        }
        const std::size_t close = pattern.find('}', i);
        if (close == std::string::npos) return fail("a '{' without its '}' (write '{{' for a brace)");
        const std::string field = pattern.substr(i + 1, close - i - 1);
        if (field == "first") name += std::filesystem::path(firstPath).stem().string();
        else if (field == "index") name += number;
        else if (field == "count") name += std::to_string(pictures);
        else return fail("unknown field {" + field + "} (use {first}, {index} and {count})");
        i = close;
    }
    if (name.find('/') != std::string::npos) return fail("the name may not hold a '/' (give the folder with --out)");
    if (name.empty() || name == "." || name == "..") return fail("the name is empty");
    return name + extension;
}

std::optional<Shard> parseShard(const std::string& text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) return std::nullopt;
    Shard shard;
    const auto number = [](const std::string& part, std::size_t& value) {
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        return ec == std::errc() && end == part.data() + part.size() && !part.empty();
    };
    if (!number(text.substr(0, slash), shard.first) || !number(text.substr(slash + 1), shard.count)) return std::nullopt;
    if (shard.count == 0 || shard.first == 0 || shard.first > shard.count) return std::nullopt;
    return shard;
}

bool inShard(std::size_t index, const Shard& shard) {
    return index >= shard.first && (index - shard.first) % shard.count == 0;
}

std::string planLine(const PlannedBracket& bracket) {
    nlohmann::ordered_json line;
    line["index"] = bracket.index;
    line["files"] = bracket.files;
    line["output"] = bracket.output;
    // A file name is bytes: whatever is not UTF-8 becomes U+FFFD, as in the run's report.
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace sv::cli
