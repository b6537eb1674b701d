// What sombrel-cli says about memory: the project's need in the report, and a refusal that
// gives what was needed and what was available.
#include <gtest/gtest.h>

#include <regex>

#include "image/memory_budget.h"
#include "imagefiles/file_builders.h"
#include "support/cli_runner.h"

namespace sv {
namespace {

TEST(CliMemory, TheReportStatesTheProjectsNeed) {
    test::TempDir dir;
    const std::string a = dir.file("a.jpg");
    ASSERT_TRUE(test::writeJpeg(a, test::randomRgb(30, 20, 1), 30, 20, 90));
    test::CliRun r = test::cli({"--report", "-"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"memoryNeeded\": 0"), std::string::npos) << r.out;
    r = test::cli({"--open", a, "--open", a, "--report", "-"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"memoryNeeded\": " + std::to_string(projectNeed(30, 20).bytes)), std::string::npos)
        << r.out;
}

TEST(CliMemory, NotEnoughMemorySaysNeededAndAvailableInGigabytes) {
    test::TempDir dir;
    // A Radiance header claiming 100000 x 100000 pixels: no machine has room for its decode.
    const std::string header = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 100000 +X 100000\n";
    test::writeBytes(dir.file("huge.hdr"), header);
    const test::CliRun r = test::cli({"--open", dir.file("huge.hdr")}, dir);
    EXPECT_EQ(r.status, 2);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"(huge\.hdr: Not enough memory! \(needed ([0-9]+)\.([0-9]) GB, available ([0-9]+)\.([0-9]) GB\))")))
        << r.err;
    const std::uint64_t needed = std::stoull(m[1]) * 10 + std::stoull(m[2]);
    const std::uint64_t available = std::stoull(m[3]) * 10 + std::stoull(m[4]);
    EXPECT_GE(needed, tenthsOfGigabyte(pictureNeed(100000, 100000).bytes, true));
    EXPECT_LT(available, needed);
}

}  // namespace
}  // namespace sv
