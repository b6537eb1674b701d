#pragma once
// Small helpers shared by the engine tests: temporary folders, random pictures, external tools.

#include <turbojpeg.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "image/float_image.h"
#include "image/outcome.h"

namespace sv::test {

// A writer's outcome with its reason where the tests read it: one line of English as the command
// line prints it, or the reason itself. True when it was written.
inline bool written(const Failure& failed, std::string& error) {
    if (failed) error = englishText(*failed);
    return !failed;
}
inline bool written(const Failure& failed, WriteError& error) {
    if (failed) error = failed->write;
    return !failed;
}

// A fresh folder under the system temp dir, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sv-test-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) std::abort();
        path_ = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Interleaved 8-bit RGB with reproducible random content.
inline std::vector<unsigned char> randomRgb(int width, int height, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(0, 255);
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
    for (auto& v : rgb) v = static_cast<unsigned char>(dist(rng));
    return rgb;
}

// A float picture with samples in [low, high).
inline FloatImage randomImage(int width, int height, unsigned seed, float low = 0.0f, float high = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(low, high);
    FloatImage image(width, height);
    for (std::size_t i = 0; i < image.sampleCount(); ++i) image.data()[i] = dist(rng);
    return image;
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lossless-enough JPEG of the given RGB through libjpeg-turbo (quality 100, no subsampling).
inline bool writeJpeg(const std::string& path, const std::vector<unsigned char>& rgb, int width, int height,
                      int quality = 100) {
    tjhandle h = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const bool ok = tjCompress2(h, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_444, quality, 0) == 0;
    if (ok) writeBytes(path, std::string(reinterpret_cast<char*>(jpeg), size));
    tjFree(jpeg);
    tjDestroy(h);
    return ok;
}

// Decodes a JPEG with libjpeg-turbo directly (the reference for what our decoder must yield).
inline std::vector<unsigned char> decodeJpegRgb(const std::string& path, int& width, int& height) {
    const std::string bytes = readBytes(path);
    tjhandle h = tjInitDecompress();
    int sub = 0, cs = 0;
    std::vector<unsigned char> rgb;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (tjDecompressHeader3(h, data, bytes.size(), &width, &height, &sub, &cs) == 0) {
        rgb.resize(static_cast<std::size_t>(width) * height * 3);
        tjDecompress2(h, data, bytes.size(), rgb.data(), width, 0, height, TJPF_RGB, 0);
    }
    tjDestroy(h);
    return rgb;
}

// Runs a shell command (test set-up only: fixed arguments, quoted paths from TempDir).
inline int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

inline bool haveTool(const std::string& name) { return run("command -v " + name) == 0; }

// Debian's own Python with PIL (python3 on PATH may be another interpreter).
inline const char* systemPython() { return "/usr/bin/python3"; }

}  // namespace sv::test
