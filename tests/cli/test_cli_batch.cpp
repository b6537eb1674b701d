// sombrel-cli batch as a user runs it: grouping by EXIF written by exiftool, the plan, failing
// brackets, shards, skipping, names, reports and exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/cli_runner.h"
#include "support/test_support.h"

namespace sv {
namespace {

namespace fs = std::filesystem;
using test::CliRun;
using test::cli;

struct Shot {
    std::string name;
    int width = 24, height = 16;
    std::optional<double> bias;
    std::string time;  // EXIF capture time; empty: none
};

class CliBatch : public testing::Test {
protected:
    void SetUp() override {
        if (!test::haveTool("exiftool")) GTEST_SKIP() << "exiftool (libimage-exiftool-perl) is not installed";
    }
    // Writes the pictures into folder "shot" and their EXIF with one exiftool run.
    void makeShoot(const std::vector<Shot>& shots) {
        fs::create_directories(shot());
        std::string args = "-overwrite_original\n-q\n";
        bool anyExif = false;
        unsigned seed = 1;
        for (const Shot& s : shots) {
            const std::string path = shot(s.name);
            ASSERT_TRUE(test::writeJpeg(path, test::randomRgb(s.width, s.height, seed++), s.width, s.height, 90));
            if (!s.bias && s.time.empty()) continue;
            anyExif = true;
            if (s.bias) args += "-ExposureCompensation=" + std::to_string(*s.bias) + "\n";
            if (!s.time.empty()) args += "-DateTimeOriginal=" + s.time + "\n";
            args += path + "\n-execute\n";
        }
        if (!anyExif) return;
        test::writeBytes(dir.file("exif.args"), args);
        ASSERT_EQ(test::run("exiftool -@ '" + dir.file("exif.args") + "'"), 0);
    }
    // Nine pictures, brackets of -2, 0, +2 EV named in shooting order.
    void makeBiasShoot(int count = 9) {
        std::vector<Shot> shots;
        for (int i = 1; i <= count; ++i) shots.push_back({name(i), 24, 16, (i - 1) % 3 * 2.0 - 2.0, {}});
        makeShoot(shots);
    }
    static std::string name(int i) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "IMG_%04d.jpg", i);
        return buffer;
    }
    std::string shot(const std::string& file = {}) const { return file.empty() ? dir.file("shot") : dir.file("shot/" + file); }
    std::string out(const std::string& file = {}) const { return file.empty() ? dir.file("out") : dir.file("out/" + file); }

    CliRun batch(std::vector<std::string> args) {
        args.insert(args.begin(), "batch");
        return cli(args, dir);
    }
    // What the ordinary command line writes for these pictures (and operators).
    std::string ordinary(const std::vector<int>& pictures, const std::vector<std::string>& operators = {}) {
        std::vector<std::string> args;
        for (const int i : pictures) args.insert(args.end(), {"--open", shot(name(i))});
        args.insert(args.end(), operators.begin(), operators.end());
        const std::string target = dir.file("ordinary.tif");
        args.insert(args.end(), {"--save", target});
        const CliRun r = cli(args, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        return test::readBytes(target);
    }
    static std::vector<nlohmann::json> jsonLines(const std::string& text) {
        std::vector<nlohmann::json> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
        }
        return lines;
    }
    std::map<int, nlohmann::json> reportByIndex(const std::string& path) {
        std::map<int, nlohmann::json> byIndex;
        for (const auto& line : jsonLines(test::readBytes(path))) {
            EXPECT_TRUE(byIndex.emplace(line.at("index").get<int>(), line).second) << "reported twice: " << line;
        }
        return byIndex;
    }

    test::TempDir dir;
};

TEST_F(CliBatch, DryRunPlansBracketsByTheExposurePatternAndWritesNothing) {
    makeBiasShoot();
    // Left out of the folder: a hidden companion file and a file we do not open.
    test::writeBytes(shot("._IMG_0001.jpg"), "not a picture");
    test::writeBytes(shot("notes.txt"), "hello");
    const auto before = std::distance(fs::directory_iterator(shot()), fs::directory_iterator());
    const CliRun r = batch({shot(), "--out", out(), "--report", dir.file("r.jsonl"), "--dry-run"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto plan = jsonLines(r.out);
    ASSERT_EQ(plan.size(), 3u) << r.out;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(plan[k].at("index"), k + 1);
        const std::vector<std::string> files = plan[k].at("files");
        EXPECT_EQ(files, (std::vector<std::string>{shot(name(3 * k + 1)), shot(name(3 * k + 2)), shot(name(3 * k + 3))}));
        EXPECT_EQ(plan[k].at("output"), out(name(3 * k + 1).substr(0, 8) + "-hdr.tif"));
    }
    EXPECT_FALSE(fs::exists(out())) << "a dry run makes no folder";
    EXPECT_FALSE(fs::exists(dir.file("r.jsonl"))) << "a dry run writes no report";
    EXPECT_EQ(std::distance(fs::directory_iterator(shot()), fs::directory_iterator()), before);
}

TEST_F(CliBatch, BracketsOfFiveByBiasAndGroupsByTimeGaps) {
    std::vector<Shot> shots;
    const char* times[] = {"2024:05:01 10:00:00", "2024:05:01 10:00:01", "2024:05:01 10:00:02", "2024:05:01 10:00:03",
                           "2024:05:01 10:00:04", "2024:05:01 10:03:00", "2024:05:01 10:03:01", "2024:05:01 10:03:03"};
    for (int i = 1; i <= 8; ++i) shots.push_back({name(i), 24, 16, (i - 1) % 5 - 2.0, times[i - 1]});
    makeShoot(shots);
    // Biases -2..2 repeat every five pictures; the last bracket was cut short.
    CliRun r = batch({shot(), "--dry-run"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto plan = jsonLines(r.out);
    ASSERT_EQ(plan.size(), 2u) << r.out;
    EXPECT_EQ(plan[0].at("files").size(), 5u);
    EXPECT_EQ(plan[1].at("files").size(), 3u);
    // A gap of 2 s joins 10:03:01 and 10:03:03; a limit of 1 s parts them.
    r = batch({shot(), "--group", "time:2", "--dry-run"});
    ASSERT_EQ(r.status, 0) << r.err;
    plan = jsonLines(r.out);
    ASSERT_EQ(plan.size(), 2u) << r.out;
    EXPECT_EQ(plan[1].at("files")[0], shot(name(6)));
    r = batch({shot(), "--group", "time:1", "--dry-run"});
    EXPECT_EQ(jsonLines(r.out).size(), 3u) << r.out;
    // A picture without a capture time cannot be placed by time: the batch refuses (status 2).
    ASSERT_TRUE(test::writeJpeg(shot("IMG_0009.jpg"), test::randomRgb(24, 16, 99), 24, 16, 90));
    r = batch({shot(), "--group", "time:2", "--dry-run"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("IMG_0009.jpg: no capture time"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    // Without a pattern (the new picture has no bias) the default falls back to threes.
    r = batch({shot(), "--dry-run"});
    EXPECT_EQ(jsonLines(r.out).size(), 3u) << r.out;
}

TEST_F(CliBatch, AFailingBracketInTheMiddleIsReportedAndTheOthersAreWritten) {
    std::vector<Shot> shots;
    for (int i = 1; i <= 9; ++i) shots.push_back({name(i), i == 5 ? 12 : 24, 16, {}, {}});
    makeShoot(shots);
    const std::string report = dir.file("r.jsonl");
    const CliRun r = batch({shot(), "--group", "count:3", "--out", out(), "--jobs", "2", "--report", report});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("Wrong image size!"), std::string::npos) << r.err;
    // In-process brackets, two at a time, write what the ordinary command line writes.
    EXPECT_EQ(test::readBytes(out("IMG_0001-hdr.tif")), ordinary({1, 2, 3}));
    EXPECT_EQ(test::readBytes(out("IMG_0007-hdr.tif")), ordinary({7, 8, 9}));
    EXPECT_FALSE(fs::exists(out("IMG_0004-hdr.tif")));

    const auto lines = reportByIndex(report);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.at(1).at("status"), "done");
    EXPECT_EQ(lines.at(1).at("message"), "");
    EXPECT_EQ(lines.at(2).at("status"), "failed");
    EXPECT_NE(lines.at(2).at("message").get<std::string>().find("Wrong image size!"), std::string::npos);
    EXPECT_EQ(lines.at(3).at("status"), "done");
    EXPECT_EQ(lines.at(3).at("output"), out("IMG_0007-hdr.tif"));
    EXPECT_EQ(lines.at(2).at("files"), nlohmann::json({shot(name(4)), shot(name(5)), shot(name(6))}));
    for (const auto& [index, line] : lines) EXPECT_GE(line.at("seconds").get<double>(), 0.0);
}

TEST_F(CliBatch, ShardsTogetherProcessEveryBracketExactlyOnce) {
    std::vector<Shot> shots;
    for (int i = 1; i <= 7; ++i) shots.push_back({name(i), 8, 6, {}, {}});
    makeShoot(shots);
    std::map<int, int> seen;
    for (int s = 1; s <= 3; ++s) {
        const std::string report = dir.file("r" + std::to_string(s) + ".jsonl");
        const CliRun r = batch({shot(), "--group", "count:1", "--out", out(), "--name", "b{index}", "--shard",
                                std::to_string(s) + "/3", "--report", report, "--jobs", s == 2 ? "2" : "1"});
        ASSERT_EQ(r.status, 0) << r.err;
        for (const auto& [index, line] : reportByIndex(report)) {
            ++seen[index];
            EXPECT_EQ((index - s) % 3, 0) << "bracket " << index << " in shard " << s;
            EXPECT_EQ(line.at("output"), out("b" + std::to_string(index) + ".tif"));
        }
    }
    ASSERT_EQ(seen.size(), 7u);
    for (const auto& [index, times] : seen) EXPECT_EQ(times, 1) << index;
    EXPECT_EQ(std::distance(fs::directory_iterator(out()), fs::directory_iterator()), 7);
}

TEST_F(CliBatch, SkipExistingKeepsTheOldFileAndOperatorsRunOnEachBracket) {
    makeBiasShoot(6);
    fs::create_directories(out());
    test::writeBytes(out("IMG_0004-hdr.tif"), "old");
    const std::string report = dir.file("r.jsonl");
    const std::vector<std::string> operators = {"--gamma", "140", "--sharpen", "amount=80"};
    std::vector<std::string> args = {shot(), "--out", out(), "--skip-existing", "--report", report, "--"};
    args.insert(args.end(), operators.begin(), operators.end());
    const CliRun r = batch(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::readBytes(out("IMG_0004-hdr.tif")), "old");
    EXPECT_EQ(test::readBytes(out("IMG_0001-hdr.tif")), ordinary({1, 2, 3}, operators));
    const auto lines = reportByIndex(report);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines.at(2).at("status"), "skipped");
    EXPECT_EQ(lines.at(1).at("status"), "done");
    // A dry run with --skip-existing plans only what is left.
    const CliRun plan = batch({shot(), "--out", out(), "--skip-existing", "--dry-run"});
    EXPECT_TRUE(plan.out.empty()) << plan.out;
}

TEST_F(CliBatch, NamePatternAndFormatNameTheOutputs) {
    makeBiasShoot(6);
    const CliRun r = batch({shot(), "--out", out(), "--name", "{index}_{count}x_{first}", "--format", "png",
                            "--bits", "16"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(out("1_3x_IMG_0001.png")));
    EXPECT_TRUE(fs::exists(out("2_3x_IMG_0004.png")));
    EXPECT_EQ(test::readBytes(out("1_3x_IMG_0001.png")).substr(1, 3), "PNG");
}

TEST_F(CliBatch, MistakesOfTheBatchItselfStopItBeforeAnyWork) {
    makeBiasShoot(6);
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{shot(), "--frobnicate"}, 1},
        {{shot(), "--group", "pairs"}, 1},
        {{shot(), "--group", "count:0"}, 1},
        {{shot(), "--shard", "0/2"}, 1},
        {{shot(), "--format", "gif"}, 1},
        {{shot(), "--format", "jpeg", "--bits", "16"}, 1},
        {{shot(), "--", "--save", "x.tif"}, 1},
        {{shot(), "--", "--frobnicate"}, 1},
        // Two brackets to one name, and a name over a picture of the shoot.
        {{shot(), "--out", out(), "--name", "same"}, 1},
        {{shot(), "--out", shot(), "--name", "{first}", "--format", "jpeg"}, 1},
        {{}, 1},
        {{dir.file("missing")}, 2},
        {{dir.file("exif.args")}, 2},
        {{shot(), "--out", out(), "--report", dir.file("no/such/folder/r.jsonl")}, 3},
    };
    for (const auto& [args, status] : cases) {
        const CliRun r = batch(args);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(r.status, status) << shown << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << shown;
        EXPECT_FALSE(fs::exists(out()) && !fs::is_empty(out())) << shown << ": something was written";
    }
    // A value every bracket would refuse stops the batch after the first (status 1, as the
    // ordinary command line).
    const std::string report = dir.file("r.jsonl");
    const CliRun r = batch({shot(), "--out", out(), "--jobs", "1", "--report", report, "--", "--white", "300"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("--white must lie in"), std::string::npos) << r.err;
    EXPECT_EQ(reportByIndex(report).size(), 1u);
}

TEST_F(CliBatch, ProgressSaysWhichBracketOfHowManyThePercentageAndTheTimeLeft) {
    makeBiasShoot(6);
    const std::string err = dir.file("progress.txt");
    const std::string command = std::string("'") + SV_CLI_PATH + "' batch '" + shot() + "' --out '" + out() +
                                "' --jobs 1 >/dev/null 2>'" + err + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string text = test::readBytes(err);
    EXPECT_NE(text.find("brackets of 3 pictures, by the repeating exposure bias"), std::string::npos) << text;
    EXPECT_NE(text.find("bracket 1 of 2 (50%): wrote " + out("IMG_0001-hdr.tif") + "; about "), std::string::npos) << text;
    EXPECT_NE(text.find(" s left\n"), std::string::npos) << text;
    EXPECT_NE(text.find("bracket 2 of 2 (100%): wrote " + out("IMG_0004-hdr.tif") + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("batch: 2 written, 0 failed, 0 skipped in "), std::string::npos) << text;
}

TEST_F(CliBatch, HelpDescribesTheBatch) {
    const CliRun r = batch({"--help"});
    ASSERT_EQ(r.status, 0);
    for (const char* option : {"--group count:N|time:SECONDS", "--dry-run", "--shard I/N", "--skip-existing", "--jobs N",
                               "--report FILE", "{first}", "{index}", "{count}", "4 some failed"}) {
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace sv
