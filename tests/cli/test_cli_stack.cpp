// sombrel-cli as a user runs it: opening, shifting, removing, dumps, reports and exit statuses.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "stack/exposure_stack.h"
#include "support/cli_runner.h"
#include "support/test_support.h"

namespace sv {
namespace {

using test::TempDir;
using test::CliRun;
using test::cli;
using test::readPfm;

class CliStack : public testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            paths.push_back(dir.file("e" + std::to_string(i) + ".jpg"));
            ASSERT_TRUE(test::writeJpeg(paths.back(), test::randomRgb(20, 12, 40 + i), 20, 12, 90));
        }
    }
    TempDir dir;
    std::vector<std::string> paths;
};

TEST_F(CliStack, DumpedStackEqualsTheEngineMergingTheSameFiles) {
    const std::string pfm = dir.file("s.pfm");
    const CliRun r = cli({"--open", paths[0], "--open", paths[1], "--shift", "3,-2", "--open", paths[2],
                       "--dump-stack", pfm, "--report", "-"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;

    Project p;
    DecodeHooks hooks;
    NullProgress progress;
    p.openInProgress = true;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(loadPicture(p, paths[i], false, hooks, progress).opened);
        if (i == 1) {
            p.exposures[1].shiftX = 3;
            p.exposures[1].shiftY = -2;
        }
        addExposure(p, progress);
    }
    const FloatImage dumped = readPfm(pfm);
    ASSERT_EQ(dumped.width(), 20);
    ASSERT_EQ(dumped.height(), 12);
    EXPECT_EQ(std::memcmp(dumped.data(), p.stackBuffer.data(), p.stackBuffer.sampleCount() * sizeof(float)), 0);

    EXPECT_NE(r.out.find("\"width\": 20"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"height\": 12"), std::string::npos);
    EXPECT_NE(r.out.find("\"shiftX\": 3, \"shiftY\": -2"), std::string::npos) << r.out;
    char max[40];
    std::snprintf(max, sizeof max, "\"stackMax\": %.9g", p.stackMax);
    EXPECT_NE(r.out.find(max), std::string::npos) << r.out;
    EXPECT_EQ(r.out.front(), '{') << "the JSON stands alone on stdout";
}

TEST_F(CliStack, RemoveTakesTheExposureOutAgain) {
    const std::string report = dir.file("r.json");
    const CliRun r = cli({"--open", paths[0], "--open", paths[1], "--remove", "1", "--remove", "1",
                       "--dump-stack", dir.file("zero.pfm"), "--report", report}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const FloatImage stack = readPfm(dir.file("zero.pfm"));
    ASSERT_FALSE(stack.empty());
    for (std::size_t i = 0; i < stack.sampleCount(); ++i) ASSERT_NEAR(stack.data()[i], 0.0f, 1e-6f);
    const std::string json = test::readBytes(report);
    EXPECT_NE(json.find("\"exposures\": []"), std::string::npos) << json;
    EXPECT_NE(json.find("\"stackMax\": 1"), std::string::npos) << json;
}

TEST_F(CliStack, ExitStatusesSayWhoIsAtFault) {
    // 1: bad usage.
    EXPECT_EQ(cli({}, dir).status, 1);
    EXPECT_EQ(cli({"--frobnicate"}, dir).status, 1);
    EXPECT_EQ(cli({"--open"}, dir).status, 1);
    EXPECT_EQ(cli({"--shift", "1,2"}, dir).status, 1);
    EXPECT_EQ(cli({"--open", paths[0], "--shift", "1"}, dir).status, 1);
    EXPECT_EQ(cli({"--open", paths[0], "--remove", "2"}, dir).status, 1);
    EXPECT_EQ(cli({"--tiff-gamma", "maybe"}, dir).status, 1);

    // 2: an input that cannot be used, with the window's message.
    const std::string odd = dir.file("odd.jpg");
    ASSERT_TRUE(test::writeJpeg(odd, test::randomRgb(21, 12, 1), 21, 12));
    CliRun r = cli({"--open", paths[0], "--open", odd}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Wrong image size!"), std::string::npos) << r.err;
    EXPECT_EQ(cli({"--open", dir.file("missing.jpg")}, dir).status, 2);
    EXPECT_EQ(cli({"--dump-stack", dir.file("x.pfm")}, dir).status, 2);

    // 3: an output that cannot be written; nothing half-written is left behind.
    r = cli({"--open", paths[0], "--dump-stack", dir.file("no/such/folder/s.pfm")}, dir);
    EXPECT_EQ(r.status, 3);
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(cli({"--open", paths[0], "--report", dir.file("no/such/r.json")}, dir).status, 3);

    const CliRun help = cli({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    for (const char* op : {"--open", "--shift", "--remove", "--dump-stack", "--report", "--tiff-gamma"}) {
        EXPECT_NE(help.out.find(op), std::string::npos) << op;
    }
}

TEST_F(CliStack, AFailedWriteLeavesTheOldFileIntact) {
    const std::string target = dir.file("keep.pfm");
    test::writeBytes(target, "old contents");
    // A directory in the way of the rename makes the write fail after the temporary file was made.
    std::filesystem::create_directory(dir.file("blocked.pfm"));
    EXPECT_EQ(cli({"--open", paths[0], "--dump-stack", dir.file("blocked.pfm")}, dir).status, 3);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find("blocked.pfm."), std::string::npos)
            << "temporary file left behind: " << entry.path();
    }
    ASSERT_EQ(cli({"--open", paths[0], "--dump-stack", target}, dir).status, 0);
    EXPECT_NE(test::readBytes(target), "old contents");
}

}  // namespace
}  // namespace sv
