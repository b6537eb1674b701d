// The command line's share of files in and out: --save-hdr in each format, PNG and --metadata in
// --save, and each exposure's EXIF in --report, with camera raw input of our own making.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <cmath>

#include "imagefiles/dng_builder.h"
#include "imagefiles/picture_decoder.h"
#include "support/test_support.h"
#include "tool_support.h"

namespace sv {
namespace {

class CliFiles : public testing::Test {
protected:
    void SetUp() override {
        for (int k = 0; k < 2; ++k) {
            test::DngSpec spec;
            spec.exposureDen = k ? 60 : 250;
            spec.iso = k ? 800 : 200;
            spec.cfa = test::rggbMosaic(spec.width, spec.height, static_cast<std::uint16_t>(9000 + 20000 * k),
                                        static_cast<std::uint16_t>(7000 + 15000 * k), 4000);
            const auto bytes = test::buildDng(spec);
            test::writeBytes(dir.file(k ? "b.dng" : "a.dng"), std::string(bytes.begin(), bytes.end()));
        }
    }
    int cli(const std::string& args) {
        const std::string command =
            std::string(SV_CLI_PATH) + " --quiet " + args + " 2>" + test::quoted(dir.file("stderr"));
        const int rc = std::system(command.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    std::string in() {
        return "--tiff-gamma no --open " + test::quoted(dir.file("a.dng")) + " --open " + test::quoted(dir.file("b.dng"));
    }
    std::string out(const std::string& name) { return test::quoted(dir.file(name)); }
    std::string err() { return test::readBytes(dir.file("stderr")); }
    DecodedPicture read(const std::string& name) {
        DecodeHooks hooks;
        hooks.askGamma = [] { return false; };
        NullProgress progress;
        return decodePicture(dir.file(name), hooks, progress);
    }
    test::TempDir dir;
};

TEST_F(CliFiles, SaveHdrWritesEveryFormatOfOneStack) {
    ASSERT_EQ(cli(in() + " --save-hdr " + out("f.exr") + " --save-hdr " + out("h.exr") + " --exr-half yes" +
                  " --save-hdr " + out("r.hdr") + " --save-hdr " + out("p.pfm") + " --save-hdr " + out("t.dat") +
                  " --hdr-format tiff"),
              0)
        << err();
    // Float EXR and PFM carry the same floats: our readers open them to the same picture.
    const DecodedPicture exr = read("f.exr"), pfm = read("p.pfm"), half = read("h.exr"), rgbe = read("r.hdr");
    ASSERT_TRUE(exr.ok && pfm.ok && half.ok && rgbe.ok);
    ASSERT_TRUE(exr.pixels.sameSize(pfm.pixels));
    double halfWorst = 0, rgbeWorst = 0;
    for (std::size_t i = 0; i < exr.pixels.sampleCount(); ++i) {
        const float v = exr.pixels.data()[i];
        ASSERT_EQ(v, pfm.pixels.data()[i]) << i;
        if (v > 0.2f) {
            halfWorst = std::max(halfWorst, std::abs(half.pixels.data()[i] - v) / double(v));
            rgbeWorst = std::max(rgbeWorst, std::abs(rgbe.pixels.data()[i] - v) / double(v));
        }
    }
    EXPECT_GT(halfWorst, 0.0) << "--exr-half wrote floats";
    EXPECT_LT(halfWorst, 1e-3);
    EXPECT_LT(rgbeWorst, 2e-2);
    EXPECT_EQ(test::readBytes(dir.file("t.dat")).substr(0, 4), std::string("II*\0", 4));

    // Usage errors come before any work, and name what is wrong.
    for (const char* args : {" --save-hdr x.png", " --save-hdr x.hdr --exr-half yes", " --save-hdr x.exr --hdr-format gif",
                             " --save-hdr x.exr --exr-half maybe"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(cli(in() + args), 1);
        EXPECT_NE(err().find("--"), std::string::npos) << err();
    }
    EXPECT_EQ(cli(in() + " --save-hdr " + out("missing/x.exr")), 3);
}

TEST_F(CliFiles, MetadataFollowTheFormatsDefaultsAndTheOption) {
    ASSERT_EQ(cli(in() + " --process --save " + out("a.jpg") + " --save " + out("b.jpg") + " --metadata no" +
                  " --save " + out("c.png") + " --save " + out("d.png") + " --bits 16 --metadata no" +
                  " --save " + out("e.tif") + " --save " + out("f.tif") + " --metadata no" + " --save " + out("g.tif") +
                  " --metadata yes"),
              0)
        << err();
    const std::string a = test::readBytes(dir.file("a.jpg")), b = test::readBytes(dir.file("b.jpg"));
    EXPECT_NE(a.find("ICC_PROFILE"), std::string::npos);
    EXPECT_NE(a.find("Test Camera"), std::string::npos);
    EXPECT_EQ(b.find("ICC_PROFILE"), std::string::npos);
    const std::string c = test::readBytes(dir.file("c.png")), d = test::readBytes(dir.file("d.png"));
    EXPECT_NE(c.find("eXIf"), std::string::npos);
    EXPECT_NE(c.find("iCCP"), std::string::npos);
    EXPECT_EQ(c[24], 8);
    EXPECT_EQ(d.find("eXIf"), std::string::npos);
    EXPECT_EQ(d[24], 16);
    // TIFF: without the option, the documented layout, byte for byte as --metadata no writes it.
    EXPECT_EQ(test::readBytes(dir.file("e.tif")), test::readBytes(dir.file("f.tif")));
    EXPECT_NE(test::readBytes(dir.file("g.tif")).find("Sombrel Varno"), std::string::npos);
    EXPECT_EQ(cli(in() + " --process --save " + out("x.bmp") + " --metadata yes"), 1);
    EXPECT_EQ(cli(in() + " --process --save " + out("x.png") + " --metadata sometimes"), 1);
    EXPECT_EQ(cli(in() + " --process --save " + out("x.png") + " --bits 12"), 1);

    if (!test::haveTool("exiftool")) GTEST_SKIP() << "exiftool is not installed";
    const std::string tags = test::capture("exiftool -S -n -ExposureTime -FNumber -ISO -Orientation -Software " + out("c.png"));
    EXPECT_EQ(tags, "ExposureTime: 0.004\nFNumber: 8\nISO: 200\nOrientation: 1\nSoftware: Sombrel Varno\n");
}

TEST_F(CliFiles, ReportGivesEachExposuresExifAndItsEv) {
    ASSERT_EQ(cli(in() + " --report " + out("r.json")), 0) << err();
    const auto report = nlohmann::json::parse(test::readBytes(dir.file("r.json")));
    const auto& first = report["exposures"][0]["exif"];
    const auto& second = report["exposures"][1]["exif"];
    EXPECT_EQ(first["exposureTime"].get<double>(), 0.004);
    EXPECT_EQ(first["fNumber"].get<double>(), 8.0);
    EXPECT_EQ(first["iso"].get<double>(), 200.0);
    EXPECT_NEAR(first["exposureBias"].get<double>(), -1.0 / 3, 1e-6);
    EXPECT_EQ(first["captureTime"].get<std::string>(), "2024:05:01 10:11:12");
    EXPECT_EQ(first["ev"].get<double>(), 0.0);
    // 1/60 s at ISO 800 against 1/250 s at ISO 200: log2(60/250) + log2(200/800).
    // LibRaw keeps the shutter time as a float.
    EXPECT_NEAR(second["ev"].get<double>(), std::log2(60.0 / 250) - 2, 1e-6);
}

}  // namespace
}  // namespace sv
