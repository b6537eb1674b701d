#include "imagefiles/picture_decoder.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "image/memory_budget.h"
#include "image/parallel_rows.h"

namespace sv {

std::string fileNameOf(std::string_view path) {
    const auto slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

PictureFormat formatFromPath(std::string_view path) {
    const std::string name = fileNameOf(path);
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos) return PictureFormat::Unknown;
    std::string ext = name.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".bmp") return PictureFormat::Bmp;
    if (ext == ".jpg" || ext == ".jpeg") return PictureFormat::Jpeg;
    if (ext == ".tif" || ext == ".tiff") return PictureFormat::Tiff;
    if (ext == ".hdr") return PictureFormat::Rgbe;
    return PictureFormat::Unknown;
}

bool chooseGammaCorrection(const DecodeHooks& hooks) {
    if (hooks.batch && !hooks.alwaysAskGamma) return true;
    return hooks.askGamma ? hooks.askGamma() : true;
}

void notifyUser(const DecodeHooks& hooks, const Message& message) {
    if (hooks.notify) hooks.notify(message);
}

bool readWholeFile(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    contents = std::move(buffer).str();
    return true;
}

bool preparePicture(DecodedPicture& out, int width, int height, const std::string& name) {
    out.probedWidth = width;
    out.probedHeight = height;
    if (width <= 0 || height <= 0) {
        out.failure = Message{MessageId::CannotReadFile, 0, name};
        return false;
    }
    const std::uint64_t bitmapBytes = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 4u;
    if (!floatImagesFit(width, height, 1, bitmapBytes)) {
        out.failure = Message{MessageId::NotEnoughMemory, 0, name};
        out.outOfMemory = true;
        return false;
    }
    try {
        out.pixels = FloatImage(width, height);
        out.bitmap = DisplayBitmap(width, height);
    } catch (const std::bad_alloc&) {
        out.pixels.release();
        out.bitmap = DisplayBitmap();
        out.failure = Message{MessageId::NotEnoughMemory, 0, name};
        out.outOfMemory = true;
        return false;
    }
    return true;
}

void floatsFromBitmapRows(DisplayBitmap& bitmap, FloatImage& pixels, int firstRow, int endRow) {
    const int width = bitmap.width();
    for (int y = firstRow; y < endRow; ++y) {
        std::uint32_t* src = bitmap.row(y);
        float* dst = pixels.row(y);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t p = src[x] & 0x00FFFFFFu;
            src[x] = p;
            dst[3 * x + 0] = static_cast<float>(redOf(p)) / 256.0f;
            dst[3 * x + 1] = static_cast<float>(greenOf(p)) / 256.0f;
            dst[3 * x + 2] = static_cast<float>(blueOf(p)) / 256.0f;
        }
    }
}

void floatsFromBitmap(DisplayBitmap& bitmap, FloatImage& pixels, ProgressSink& progress) {
    parallelRows(0, bitmap.height(), [&](int y) { floatsFromBitmapRows(bitmap, pixels, y, y + 1); }, &progress);
}

DecodedPicture decodePicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress) {
    switch (formatFromPath(path)) {
        case PictureFormat::Bmp: return decodeBmpFile(path, progress);
        case PictureFormat::Jpeg: return decodeJpegFile(path, progress);
        case PictureFormat::Tiff: return decodeTiffPicture(path, hooks, progress);
        case PictureFormat::Rgbe: return decodeRgbePicture(path, hooks, progress);
        case PictureFormat::Unknown: break;
    }
    DecodedPicture unknown;
    unknown.failure = Message{MessageId::UnsupportedFileType, 0, fileNameOf(path)};
    return unknown;
}

}  // namespace sv
