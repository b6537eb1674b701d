#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>

#include "file_builders.h"
#include "imagefiles/tiff_reader.h"
#include "tool_support.h"

namespace sv {
namespace {

class CliSave : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::writeJpeg(dir.file("in.jpg"), test::randomRgb(24, 16, 1), 24, 16));
    }
    // Runs sombrel-cli with the given arguments (already quoted); returns the exit status.
    int cli(const std::string& args) {
        const std::string command = std::string(SV_CLI_PATH) + " --quiet " + args + " 2>" + test::quoted(dir.file("stderr"));
        const int rc = std::system(command.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    std::size_t filesIn() {
        std::size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
            (void)e;
            ++n;
        }
        return n;
    }
    std::string err() { return test::readBytes(dir.file("stderr")); }
    std::string in() { return "--open " + test::quoted(dir.file("in.jpg")); }
    std::string out(const std::string& name) { return test::quoted(dir.file(name)); }
    test::TempDir dir;
};

TEST_F(CliSave, WritesEachFormatWithItsOptions) {
    ASSERT_EQ(cli(in() + " --save " + out("a.tif") + " --save " + out("b.tiff") + " --bits 16 --compression none" +
                  " --save " + out("c.bmp") + " --save " + out("d.jpg") + " --quality 60" + " --save " + out("e.dat") +
                  " --format bmp"),
              0)
        << err();
    const auto probe = [&](const std::string& name) {
        const std::string bytes = test::readBytes(dir.file(name));
        return probeTiffMemory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    };
    EXPECT_EQ(probe("a.tif").compression, 32946u);
    EXPECT_EQ(probe("a.tif").bitsPerSample, 8u);
    EXPECT_EQ(probe("b.tiff").compression, 1u);
    EXPECT_EQ(probe("b.tiff").bitsPerSample, 16u);
    EXPECT_EQ(probe("b.tiff").width, 24u);
    EXPECT_EQ(test::readBytes(dir.file("c.bmp")), test::readBytes(dir.file("e.dat")));
    if (!test::havePil()) GTEST_SKIP() << "Python PIL is not installed";
    int status = 0;
    const std::string sizes = test::runPython(dir, R"(
import sys
from PIL import Image
for f in sys.argv[1:]:
    im = Image.open(f)
    print(im.format, im.size[0], im.size[1])
)", out("a.tif") + " " + out("b.tiff") + " " + out("c.bmp") + " " + out("d.jpg"), &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(sizes, "TIFF 24 16\nTIFF 24 16\nBMP 24 16\nJPEG 24 16\n");
}

TEST_F(CliSave, UsageErrorsComeBeforeAnyWork) {
    const char* bad[] = {"--save x.webp", "--save x.tif --bits 12", "--save x.tif --compression lzw",
                         "--save x.bmp --quality 50", "--save x.jpg --quality 5", "--save x.jpg --bits 16",
                         "--save x.tif --format gif"};
    for (const char* args : bad) {
        SCOPED_TRACE(args);
        EXPECT_EQ(cli(in() + " " + args), 1);
        EXPECT_FALSE(err().empty());
    }
    EXPECT_EQ(filesIn(), 2u);  // in.jpg and stderr: nothing was written
}

TEST_F(CliSave, OutputThatCannotBeWrittenIsStatusThree) {
    EXPECT_EQ(cli(in() + " --save " + out("missing/x.tif")), 3);
    EXPECT_NE(err().find("x.tif"), std::string::npos);
    std::filesystem::create_directory(dir.file("taken.bmp"));
    EXPECT_EQ(cli(in() + " --save " + out("taken.bmp")), 3);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken.bmp")));
    EXPECT_EQ(cli("--save " + out("x.tif")), 2);  // nothing opened: no picture to save
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.tif")));
}

TEST_F(CliSave, RefusedTiffStopsTheRun) {
    test::TiffSpec s;
    s.width = 24;
    s.height = 16;
    s.compression = 5;
    s.samples.assign(24 * 16 * 3, 1);
    const auto lzw = test::buildTiff(s);
    test::writeBytes(dir.file("lzw.tif"), std::string(lzw.begin(), lzw.end()));
    EXPECT_EQ(cli("--open " + out("lzw.tif") + " --save " + out("y.tif")), 2);
    EXPECT_NE(err().find("TIFF error. Not supported compression type."), std::string::npos) << err();
    EXPECT_FALSE(std::filesystem::exists(dir.file("y.tif")));
}

}  // namespace
}  // namespace sv
