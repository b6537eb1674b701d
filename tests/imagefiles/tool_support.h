#pragma once
// Running the independent tools the file tests compare with (libtiff tools, ImageMagick, PIL).

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace sv::test {

// ImageMagick's own convert when it is installed where Debian puts it.
inline std::string convertTool() {
    if (std::FILE* f = std::fopen("/usr/bin/convert", "r")) {
        std::fclose(f);
        return "/usr/bin/convert";
    }
    return "convert";
}

inline bool havePil() { return run(std::string(systemPython()) + " -c 'import PIL.Image'") == 0; }

// Runs a command and returns its standard output (standard error discarded).
inline std::string capture(const std::string& command, int* status = nullptr) {
    std::string out;
    if (std::FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        const int rc = pclose(p);
        if (status) *status = rc;
    } else if (status) {
        *status = -1;
    }
    return out;
}

inline std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Writes a Python script into the folder and runs it with Debian's Python.
inline std::string runPython(const TempDir& dir, const std::string& script, const std::string& args, int* status) {
    const std::string path = dir.file("script.py");
    writeBytes(path, script);
    return capture(std::string(systemPython()) + " " + quoted(path) + " " + args, status);
}

// A binary PPM (8 or 16 bits per sample, big-endian as the format requires).
inline void writePpm(const std::string& path, int width, int height, const std::vector<unsigned>& samples, int maxval) {
    std::string bytes = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n" + std::to_string(maxval) + "\n";
    for (unsigned v : samples) {
        if (maxval > 255) bytes.push_back(static_cast<char>(v >> 8));
        bytes.push_back(static_cast<char>(v & 0xFF));
    }
    writeBytes(path, bytes);
}

// The decoded strip bytes `tiffinfo -d` prints (libtiff does the decompression).
inline std::vector<unsigned char> tiffinfoStripBytes(const std::string& path) {
    std::istringstream in(capture("tiffinfo -d " + quoted(path)));
    std::vector<unsigned char> bytes;
    std::string line;
    bool inStrip = false;
    while (std::getline(in, line)) {
        if (line.rfind("Strip ", 0) == 0) {
            inStrip = true;
            continue;
        }
        if (line.empty()) continue;  // rows are separated by empty lines
        if (!inStrip || line[0] != ' ') {
            inStrip = false;
            continue;
        }
        std::istringstream hex(line);
        std::string word;
        while (hex >> word) bytes.push_back(static_cast<unsigned char>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

}  // namespace sv::test
