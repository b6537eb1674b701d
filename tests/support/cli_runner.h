#pragma once
// Runs sombrel-cli from a test and reads back what it wrote.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/float_image.h"
#include "support/test_support.h"

namespace sv::test {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the CLI with the given arguments (no shell), capturing stdout and stderr.
inline CliRun cli(const std::vector<std::string>& args, const TempDir& dir) {
    const std::string outPath = dir.file("stdout.txt"), errPath = dir.file("stderr.txt");
    std::string command = std::string("'") + SV_CLI_PATH + "' --quiet";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " >'" + outPath + "' 2>'" + errPath + "'";
    const int raw = std::system(command.c_str());
    CliRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = test::readBytes(outPath);
    r.err = test::readBytes(errPath);
    return r;
}

// Reads a little-endian PFM written bottom to top back into a top-to-bottom FloatImage.
inline FloatImage readPfm(const std::string& path) {
    const std::string bytes = test::readBytes(path);
    int w = 0, h = 0, consumed = 0;
    char scale[16] = {};
    if (std::sscanf(bytes.c_str(), "PF\n%d %d\n%15s\n%n", &w, &h, scale, &consumed) != 3 || w <= 0 || h <= 0) {
        return FloatImage();
    }
    EXPECT_STREQ(scale, "-1.0");
    FloatImage image(w, h);
    const std::size_t rowBytes = image.rowSamples() * sizeof(float);
    if (bytes.size() != static_cast<std::size_t>(consumed) + rowBytes * h) return FloatImage();
    for (int y = 0; y < h; ++y) {
        std::memcpy(image.row(h - 1 - y), bytes.data() + consumed + rowBytes * y, rowBytes);
    }
    return image;
}

}  // namespace sv::test
