// sombrel-cli's tone operators, end to end: the processed picture it dumps must be exactly what
// the engine's render makes of the stack it dumps, with the same settings.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "support/test_support.h"
#include "tone/render.h"
#include "tone/tone_curve.h"

namespace sv {
namespace {

bool cliBuilt() { return std::filesystem::exists(SV_CLI_PATH); }

int runCli(const std::string& arguments) {
    const int status = std::system((std::string(SV_CLI_PATH) + " --quiet " + arguments + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Standard PFM: "PF", width height, scale, rows bottom to top.
FloatImage readPfm(const std::string& path) {
    const std::string bytes = test::readBytes(path);
    std::istringstream header(bytes);
    std::string magic;
    int width = 0, height = 0;
    double scale = 0;
    header >> magic >> width >> height >> scale;
    EXPECT_EQ(magic, "PF");
    EXPECT_LT(scale, 0.0);
    const std::size_t start = static_cast<std::size_t>(header.tellg()) + 1;
    FloatImage image(width, height);
    EXPECT_EQ(bytes.size() - start, image.sampleCount() * sizeof(float));
    for (int y = 0; y < height; ++y) {
        std::memcpy(image.row(height - 1 - y), bytes.data() + start + y * image.rowSamples() * sizeof(float),
                    image.rowSamples() * sizeof(float));
    }
    return image;
}

std::string jsonValue(const std::string& json, const std::string& key) {
    const std::size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return {};
    std::size_t start = at + key.size() + 3;
    while (json[start] == ' ') ++start;
    const std::size_t end = json.find_first_of(json[start] == '[' ? "]" : ",\n}", start);
    return json.substr(start, end - start + (json[start] == '[' ? 1 : 0));
}

class CliTone : public testing::Test {
protected:
    void SetUp() override {
        if (!cliBuilt()) GTEST_SKIP() << "sombrel-cli is not built";
        ASSERT_TRUE(test::writeJpeg(dir.file("a.jpg"), test::randomRgb(48, 32, 1), 48, 32));
        ASSERT_TRUE(test::writeJpeg(dir.file("b.jpg"), test::randomRgb(48, 32, 2), 48, 32));
        opens = "--open " + dir.file("a.jpg") + " --open " + dir.file("b.jpg");
    }

    // Renders the dumped stack in-process with the given settings.
    FloatImage renderStack(const RenderParams& params, RenderHistogram& result) {
        const FloatImage stack = readPfm(dir.file("stack.pfm"));
        const float stackMax = std::stof(jsonValue(test::readBytes(dir.file("report.json")), "stackMax"));
        FloatImage out(stack.width(), stack.height());
        NullProgress progress;
        renderRegion(stack, stackMax, stack.bounds(), params, out, result, progress);
        return out;
    }

    test::TempDir dir;
    std::string opens;
};

bool sameBits(const FloatImage& a, const FloatImage& b) {
    return a.sameSize(b) && std::memcmp(a.data(), b.data(), a.sampleCount() * sizeof(float)) == 0;
}

TEST_F(CliTone, ProcessWithDefaultsMatchesTheEngineAndReportsTheHistogram) {
    ASSERT_EQ(runCli(opens + " --dump-stack " + dir.file("stack.pfm") + " --process --report " +
                     dir.file("report.json") + " --dump-processed " + dir.file("processed.pfm")),
              0);
    RenderHistogram expected;
    const FloatImage reference = renderStack(RenderParams{}, expected);
    EXPECT_TRUE(sameBits(readPfm(dir.file("processed.pfm")), reference));
    const std::string json = test::readBytes(dir.file("report.json"));
    std::string bins = "[";
    for (int i = 0; i < kHistogramBins; ++i) bins += (i ? ", " : "") + std::to_string(expected.histogram[static_cast<std::size_t>(i)]);
    EXPECT_EQ(jsonValue(json, "histogram"), bins + "]");
    EXPECT_EQ(jsonValue(json, "histogramPeak"), std::to_string(expected.histogramPeak));
}

TEST_F(CliTone, SettingsAndCurvePointsReachTheRender) {
    // No --process: the dump renders first, with the settings given so far.
    ASSERT_EQ(runCli(opens + " --dump-stack " + dir.file("stack.pfm") + " --report " + dir.file("report.json") +
                     " --gamma 150 --saturation 40 --white 200 --black 20 --curve linear --point 140,170"
                     " --point 60,90 --dump-processed " + dir.file("processed.pfm")),
              0);
    RenderParams params;
    params.gammaPosition = 150;
    params.saturationPosition = 40;
    params.whitePosition = 200;
    params.blackPosition = 20;
    ToneCurve curve;
    curve.setCurveMode(CurveMode::Linear);
    std::string reason;
    ASSERT_TRUE(curve.setMovablePoints({{60, 90}, {140, 170}}, reason));
    params.curveTable = curve.curveTable();
    RenderHistogram result;
    EXPECT_TRUE(sameBits(readPfm(dir.file("processed.pfm")), renderStack(params, result)));
}

TEST_F(CliTone, OnePointOnTheDiagonalIsTheStraightCurve) {
    ASSERT_EQ(runCli(opens + " --dump-processed " + dir.file("plain.pfm")), 0);
    ASSERT_EQ(runCli(opens + " --point 99,99 --dump-processed " + dir.file("point.pfm")), 0);
    ASSERT_EQ(runCli(opens + " --curve linear --dump-processed " + dir.file("linear.pfm")), 0);
    ASSERT_EQ(runCli(opens + " --point 99,140 --dump-processed " + dir.file("bent.pfm")), 0);
    const std::string plain = test::readBytes(dir.file("plain.pfm"));
    EXPECT_EQ(test::readBytes(dir.file("point.pfm")), plain);
    EXPECT_EQ(test::readBytes(dir.file("linear.pfm")), plain);
    EXPECT_NE(test::readBytes(dir.file("bent.pfm")), plain);
}

TEST_F(CliTone, TheBlackPointPushesTheWhitePointUp) {
    ASSERT_EQ(runCli(opens + " --white 80 --black 100 --dump-processed " + dir.file("crossed.pfm")), 0);
    ASSERT_EQ(runCli(opens + " --white 101 --black 100 --dump-processed " + dir.file("direct.pfm")), 0);
    EXPECT_EQ(test::readBytes(dir.file("crossed.pfm")), test::readBytes(dir.file("direct.pfm")));
    // Equal points render too, with a finite result.
    ASSERT_EQ(runCli(opens + " --white 128 --black 128 --dump-processed " + dir.file("equal.pfm")), 0);
    const FloatImage equal = readPfm(dir.file("equal.pfm"));
    for (std::size_t i = 0; i < equal.sampleCount(); ++i) {
        ASSERT_TRUE(equal.data()[i] == 0.0f || equal.data()[i] == 1.0f);
    }
}

TEST_F(CliTone, RefusesBadSettingsAsUsageErrors) {
    EXPECT_EQ(runCli(opens + " --gamma 0 --process"), 1);
    EXPECT_EQ(runCli(opens + " --gamma 401 --process"), 1);
    EXPECT_EQ(runCli(opens + " --saturation -100 --process"), 1);
    EXPECT_EQ(runCli(opens + " --white 256 --process"), 1);
    EXPECT_EQ(runCli(opens + " --curve wavy --process"), 1);
    EXPECT_EQ(runCli(opens + " --point 10,10 --point 10,20 --process"), 1);
    EXPECT_EQ(runCli(opens + " --point 199,10 --process"), 1);
    EXPECT_EQ(runCli(opens + " --point 10,200 --process"), 1);
    EXPECT_EQ(runCli(opens + " --point 10 --process"), 1);
    std::string seven;
    for (int i = 1; i <= 7; ++i) seven += " --point " + std::to_string(i * 20) + ",50";
    EXPECT_EQ(runCli(opens + seven + " --process"), 0);
    EXPECT_EQ(runCli(opens + seven + " --point 190,50 --process"), 1);
    EXPECT_EQ(runCli("--process"), 2);
    EXPECT_EQ(runCli("--dump-processed " + dir.file("none.pfm")), 2);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.pfm")));
}

}  // namespace
}  // namespace sv
