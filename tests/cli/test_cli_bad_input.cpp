// sombrel-cli and input it must not use: incomplete pictures, TIFFs the reader cannot decode and
// files that are not regular files all stop the run with status 2, before anything is written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "imagefiles/file_builders.h"
#include "imagefiles/tool_support.h"
#include "support/test_support.h"

namespace sv {
namespace {

struct CliOutcome {
    int status = -1;
    std::string err;
};

class CliBadInput : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::writeJpeg(dir.file("good.jpg"), test::randomRgb(24, 16, 1), 24, 16, 90));
    }
    // Runs the CLI under `timeout`, so that a read that blocks fails the test instead of hanging it.
    CliOutcome cli(const std::string& args) {
        const std::string command = "timeout 30 '" + std::string(SV_CLI_PATH) + "' --quiet " + args + " >/dev/null 2>'" +
                                    dir.file("err.txt") + "'";
        const int raw = std::system(command.c_str());
        CliOutcome r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.err = test::readBytes(dir.file("err.txt"));
        return r;
    }
    std::string path(const std::string& name) const { return test::quoted(dir.file(name)); }
    void write(const std::string& name, const test::Bytes& b) {
        test::writeBytes(dir.file(name), std::string(b.begin(), b.end()));
    }
    test::TempDir dir;
};

TEST_F(CliBadInput, AnIncompletePictureStopsTheRunWithStatusTwo) {
    const std::string whole = test::readBytes(dir.file("good.jpg"));
    test::writeBytes(dir.file("cut.jpg"), whole.substr(0, whole.size() * 2 / 3));
    for (const char* first : {"", "--open GOOD "}) {
        std::string args = std::string(first) + "--open " + path("cut.jpg") + " --save " + path("out.tif");
        if (const auto at = args.find("GOOD"); at != std::string::npos) args.replace(at, 4, path("good.jpg"));
        const CliOutcome r = cli(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find("incomplete"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("cut.jpg"), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.tif")));
    }
}

TEST_F(CliBadInput, ATiffTheReaderCannotDecodeStopsTheRunWithItsNotice) {
    test::TiffSpec t = test::uniformTiff(24, 16, 5);
    t.compression = 8;
    t.predictor = 2;
    write("pred.tif", test::buildTiff(t));
    const CliOutcome r = cli("--open " + path("good.jpg") + " --open " + path("pred.tif") + " --report " + path("r.json"));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("TIFF error. Compression with predictor is not supported."), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("r.json")));
}

TEST_F(CliBadInput, AFifoOrADeviceIsRefusedAtOnce) {
    ASSERT_EQ(mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir.file("zero.bmp"));
    for (const char* name : {"pipe.jpg", "zero.bmp"}) {
        const CliOutcome r = cli("--open " + path(name));
        EXPECT_EQ(r.status, 2) << name << ": " << r.err;
        EXPECT_NE(r.err.find("Not a regular file"), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace sv
