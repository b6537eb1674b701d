// The batch's grouping rules, output names, shards and plan lines, as functions.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <set>

#include <nlohmann/json.hpp>

#include "cli/batch_plan.h"

namespace sv::cli {
namespace {

std::vector<std::optional<double>> stops(std::initializer_list<double> values) {
    return {values.begin(), values.end()};
}

std::vector<std::size_t> lengths(const Brackets& brackets) {
    std::vector<std::size_t> out;
    for (const auto& b : brackets) out.push_back(b.size());
    return out;
}

using Sizes = std::vector<std::size_t>;

TEST(BatchGrouping, CountMakesRunsInOrderWithAShorterLastOne) {
    const Brackets b = groupByCount(7, 3);
    ASSERT_EQ(lengths(b), (Sizes{3, 3, 1}));
    EXPECT_EQ(b[1], (std::vector<std::size_t>{3, 4, 5}));
    EXPECT_EQ(b[2], (std::vector<std::size_t>{6}));
    EXPECT_EQ(lengths(groupByCount(2, 5)), (Sizes{2}));
    EXPECT_TRUE(groupByCount(0, 3).empty());
}

TEST(BatchGrouping, TimeGapsSplitBracketsEitherWayAndAGapEqualToTheLimitJoins) {
    std::vector<BatchPicture> pictures;
    for (const long long t : {100LL, 101LL, 103LL, 130LL, 131LL, 132LL, 20LL, 21LL}) {
        BatchPicture p;
        p.captureSeconds = t;
        pictures.push_back(p);
    }
    // 103 - 101 = 2 joins at a limit of 2; 130 - 103 splits; the clock going back 112 s splits too.
    const auto b = groupByTimeGap(pictures, 2);
    ASSERT_TRUE(b);
    EXPECT_EQ(lengths(*b), (Sizes{3, 3, 2}));
    EXPECT_EQ(lengths(*groupByTimeGap(pictures, 1)), (Sizes{2, 1, 3, 2}));
    EXPECT_EQ(lengths(*groupByTimeGap(pictures, 1000)), (Sizes{8}));

    pictures[4].captureSeconds.reset();
    std::size_t missing = 99;
    EXPECT_FALSE(groupByTimeGap(pictures, 2, &missing));
    EXPECT_EQ(missing, 4u);
}

TEST(BatchGrouping, RepeatingExposureValuesGiveTheBracketLength) {
    // -2, 0, +2 three times; in any order of the camera's, the shortest repeat wins.
    EXPECT_EQ(lengths(*groupByRepeatingValues(stops({-2, 0, 2, -2, 0, 2, -2, 0, 2}))), (Sizes{3, 3, 3}));
    EXPECT_EQ(lengths(*groupByRepeatingValues(stops({0, -2, 2, 0, -2, 2}))), (Sizes{3, 3}));
    EXPECT_EQ(lengths(*groupByRepeatingValues(stops({0, -1, 1, -2, 2, 0, -1, 1, -2, 2}))), (Sizes{5, 5}));
    // An interrupted last bracket follows the pattern as far as it goes.
    EXPECT_EQ(lengths(*groupByRepeatingValues(stops({-1, 0, 1, -1, 0, 1, -1, 0}))), (Sizes{3, 3, 2}));
    // Shutter times drift with the light between brackets; the steps inside a bracket stay.
    std::vector<std::optional<double>> times;
    for (const double t : {1 / 250.0, 1 / 60.0, 1 / 15.0, 1 / 200.0, 1 / 50.0, 1 / 13.0, 1 / 320.0, 1 / 80.0, 1 / 20.0}) {
        times.push_back(std::log2(t));
    }
    EXPECT_EQ(lengths(*groupByRepeatingValues(times)), (Sizes{3, 3, 3}));
}

TEST(BatchGrouping, NoPatternWithoutDistinctRepeatingValues) {
    // Cameras that leave the bias at 0 say nothing about brackets.
    EXPECT_FALSE(groupByRepeatingValues(stops({0, 0, 0, 0, 0, 0})));
    // A pattern that breaks half way is no pattern.
    EXPECT_FALSE(groupByRepeatingValues(stops({-2, 0, 2, -2, 0, 2, 0, 2, -2, 1})));
    EXPECT_FALSE(groupByRepeatingValues(stops({-2, 0, 2, -2, std::nan(""), 2})));
    std::vector<std::optional<double>> gap = stops({-2, 0, 2, -2, 0, 2});
    gap[3].reset();
    EXPECT_FALSE(groupByRepeatingValues(gap));
    // Twelve different values never repeat: too long to be one bracket.
    std::vector<std::optional<double>> rising;
    for (int i = 0; i < 12; ++i) rising.push_back(i);
    EXPECT_FALSE(groupByRepeatingValues(rising));
    // One bracket alone: its values differ and there are few of them.
    EXPECT_EQ(lengths(*groupByRepeatingValues(stops({-3, -1.5, 0, 1.5, 3}))), (Sizes{5}));
    // A third of a stop apart counts as different; a tenth does not.
    EXPECT_EQ(lengths(*groupByRepeatingValues(stops({0, 1 / 3.0, 0, 1 / 3.0}))), (Sizes{2, 2}));
    EXPECT_FALSE(groupByRepeatingValues(stops({0, 0.1, 0, 0.1})));
}

TEST(BatchGrouping, DefaultUsesTheBiasThenTheTimesThenThrees) {
    std::vector<BatchPicture> pictures(6);
    const double bias[] = {-1, 1, -1, 1, -1, 1};
    const double time[] = {1 / 100.0, 1 / 50.0, 1 / 25.0, 1 / 100.0, 1 / 50.0, 1 / 25.0};
    for (int i = 0; i < 6; ++i) {
        pictures[i].exposureBias = bias[i];
        pictures[i].exposureTime = time[i];
    }
    ExposureGrouping g = groupByExposure(pictures);
    EXPECT_EQ(g.source, ExposureSource::Bias);
    EXPECT_EQ(lengths(g.brackets), (Sizes{2, 2, 2}));

    for (auto& p : pictures) p.exposureBias = 0.0;
    g = groupByExposure(pictures);
    EXPECT_EQ(g.source, ExposureSource::Time);
    EXPECT_EQ(lengths(g.brackets), (Sizes{3, 3}));

    // Without EXIF (or with a time missing) brackets of three.
    pictures.push_back(BatchPicture{});
    g = groupByExposure(pictures);
    EXPECT_EQ(g.source, ExposureSource::None);
    EXPECT_EQ(lengths(g.brackets), (Sizes{3, 3, 1}));
}

TEST(BatchGrouping, CaptureTimesReadAsTheCameraWroteThem) {
    std::tm tm{};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 4;
    tm.tm_mday = 1;
    tm.tm_hour = 10;
    tm.tm_min = 2;
    tm.tm_sec = 3;
    EXPECT_EQ(captureSecondsOf("2024:05:01 10:02:03"), static_cast<long long>(timegm(&tm)));
    EXPECT_EQ(captureSecondsOf("2024-05-01 10:02:03"), static_cast<long long>(timegm(&tm)));
    EXPECT_EQ(*captureSecondsOf("2025:01:01 00:00:01") - *captureSecondsOf("2024:12:31 23:59:59"), 2);
    EXPECT_EQ(*captureSecondsOf("2024:03:01 00:00:00") - *captureSecondsOf("2024:02:29 00:00:00"), 86400);
    for (const char* bad : {"0000:00:00 00:00:00", "2023:02:29 12:00:00", "2024:13:01 00:00:00", "2024:05:01 24:00:00",
                            "2024:05:01", "    :  :     :  :  ", "2024:05:01 1a:00:00", ""}) {
        EXPECT_FALSE(captureSecondsOf(bad)) << bad;
    }
}

TEST(BatchNames, PatternFieldsPaddingAndRefusals) {
    EXPECT_EQ(*outputName("{first}-hdr", "shoot/IMG_0042.JPG", 1, 3, 3, ".tif"), "IMG_0042-hdr.tif");
    // The index has the width of the last one, so that names sort in bracket order.
    EXPECT_EQ(*outputName("b{index}_{count}x_{first}", "/a/x.y.jpg", 7, 120, 5, ".png"), "b007_5x_x.y.png");
    EXPECT_EQ(*outputName("{{{index}}}", "a.jpg", 3, 9, 3, ".bmp"), "{3}.bmp");
    std::string problem;
    EXPECT_FALSE(outputName("{frist}", "a.jpg", 1, 1, 3, ".tif", &problem));
    EXPECT_NE(problem.find("{frist}"), std::string::npos) << problem;
    EXPECT_FALSE(outputName("out/{first}", "a.jpg", 1, 1, 3, ".tif", &problem));
    EXPECT_NE(problem.find("--out"), std::string::npos) << problem;
    EXPECT_FALSE(outputName("{index", "a.jpg", 1, 1, 3, ".tif"));
    EXPECT_FALSE(outputName("a}", "a.jpg", 1, 1, 3, ".tif"));
    EXPECT_FALSE(outputName("", "a.jpg", 1, 1, 3, ".tif"));
}

TEST(BatchShards, EveryBracketFallsInExactlyOneShard) {
    for (std::size_t n = 1; n <= 5; ++n) {
        std::vector<int> seen(24, 0);
        for (std::size_t i = 1; i <= n; ++i) {
            const auto shard = parseShard(std::to_string(i) + "/" + std::to_string(n));
            ASSERT_TRUE(shard);
            for (std::size_t index = 1; index < seen.size(); ++index) seen[index] += inShard(index, *shard);
        }
        for (std::size_t index = 1; index < seen.size(); ++index) EXPECT_EQ(seen[index], 1) << index << " of " << n;
    }
    EXPECT_TRUE(inShard(3, *parseShard("3/4")));
    EXPECT_FALSE(inShard(2, *parseShard("3/4")));
    EXPECT_TRUE(inShard(7, *parseShard("3/4")));
    for (const char* bad : {"0/4", "5/4", "1/0", "1", "a/2", "1/2/3", "-1/2", "/2", "1/"}) {
        EXPECT_FALSE(parseShard(bad)) << bad;
    }
}

TEST(BatchPlanLine, IsOneJsonObjectWithTheFilesAndTheOutput) {
    PlannedBracket b;
    b.index = 12;
    b.files = {"a \"quoted\".jpg", "b\\c.jpg", std::string("bad\xff.jpg")};
    b.output = "out/a-hdr.tif";
    const std::string line = planLine(b);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto json = nlohmann::json::parse(line);
    EXPECT_EQ(json.at("index"), 12);
    EXPECT_EQ(json.at("files").size(), 3u);
    EXPECT_EQ(json.at("files")[0], "a \"quoted\".jpg");
    EXPECT_EQ(json.at("files")[1], "b\\c.jpg");
    EXPECT_EQ(json.at("files")[2], "bad\xEF\xBF\xBD.jpg");
    EXPECT_EQ(json.at("output"), "out/a-hdr.tif");
    EXPECT_EQ(line.rfind("{\"index\":12,\"files\":", 0), 0u) << line;
}

}  // namespace
}  // namespace sv::cli
