#include "imagefiles/picture_decoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "image/memory_budget.h"
#include "image/parallel_rows.h"
#include "imagefiles/exif_metadata.h"
#include "imagefiles/exr_reader.h"
#include "imagefiles/pfm_reader.h"
#include "imagefiles/png_reader.h"
#include "imagefiles/raw_reader.h"
#include "imagefiles/rgbe_reader.h"
#include "imagefiles/tiff_reader.h"

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
    if (ext == ".png") return PictureFormat::Png;
    if (ext == ".exr") return PictureFormat::Exr;
    if (ext == ".pfm") return PictureFormat::Pfm;
    if (isRawExtension(ext)) return PictureFormat::Raw;
    return PictureFormat::Unknown;
}

bool chooseGammaCorrection(const DecodeHooks& hooks) {
    if (hooks.batch && !hooks.alwaysAskGamma) return true;
    return hooks.askGamma ? hooks.askGamma() : true;
}

void notifyUser(const DecodeHooks& hooks, const Message& message) {
    if (hooks.notify) hooks.notify(message);
}

std::optional<Message> readPictureFile(const std::string& path, std::string& contents) {
    const std::string name = fileNameOf(path);
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer. The type is checked on
    // the descriptor itself, so nothing can be swapped in between a check and the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return Message{MessageId::CannotReadFile, 0, name};
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info{};
    if (::fstat(fd, &info) != 0) return Message{MessageId::CannotReadFile, 0, name};
    if (!S_ISREG(info.st_mode)) return Message{MessageId::NotRegularFile, 0, name};
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    const MemoryLimit limit = availableMemory();
    if (!fits(bytesNeed(size), limit) || size > contents.max_size()) {
        return memoryRefusal(name, bytesNeed(size), limit);
    }
    try {
        contents.assign(static_cast<std::size_t>(size), '\0');
    } catch (const std::bad_alloc&) {
        return Message{MessageId::NotEnoughMemory, 0, name};
    }
    // Reads what the file held when it was opened; a file that shrinks meanwhile gives what is left.
    std::size_t done = 0;
    while (done < contents.size()) {
        const ssize_t got = ::read(fd, contents.data() + done, contents.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Message{MessageId::CannotReadFile, 0, name};
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    contents.resize(done);
    return std::nullopt;
}

bool readWholeFile(const std::string& path, std::string& contents) { return !readPictureFile(path, contents); }

Message memoryRefusal(const std::string& name, MemoryNeed need, const MemoryLimit& limit) {
    Message m{MessageId::NotEnoughMemory, 0, name};
    m.bytesNeeded = need.bytes;
    m.bytesAvailable = limit.bytes;
    return m;
}

std::optional<Message> admitBySize(const PictureClaim& claim, MemoryNeed besides, const MemoryLimit& limit) {
    const MemoryNeed need = claim.decodeNeed() + besides;
    if (!fits(need, limit)) return memoryRefusal(claim.name, need, limit);
    if (claim.fileTooShort) return Message{MessageId::IncompleteFile, 0, claim.name};
    return std::nullopt;
}

std::optional<Message> admitPicture(const PictureClaim& claim, const DecodeHooks& hooks) {
    if (hooks.admit) return hooks.admit(claim);
    if (const MemoryLimit limit = availableMemory(); !fits(claim.decodeNeed(), limit)) {
        return memoryRefusal(claim.name, claim.decodeNeed(), limit);
    }
    return std::nullopt;
}

bool preparePicture(DecodedPicture& out, const PictureClaim& claim, const DecodeHooks& hooks) {
    out.probedWidth = claim.width;
    out.probedHeight = claim.height;
    if (claim.width <= 0 || claim.height <= 0) {
        out.failure = Message{MessageId::CannotReadFile, 0, claim.name};
        return false;
    }
    if (std::optional<Message> refusal = admitPicture(claim, hooks)) {
        out.failure = *refusal;
        out.outOfMemory = refusal->id == MessageId::NotEnoughMemory;
        out.incomplete = refusal->id == MessageId::IncompleteFile;
        return false;
    }
    try {
        out.pixels = FloatImage(claim.width, claim.height);
        out.bitmap = DisplayBitmap(claim.width, claim.height);
    } catch (const std::bad_alloc&) {
        refuseOutOfMemory(out, claim.name);
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

namespace {

// Reads the file (regular files only) and hands its bytes to one of the memory decoders. For the
// formats that carry EXIF, a picture that opened gets the exposure's values from the same bytes.
template <typename Decode>
DecodedPicture decodeFile(const std::string& path, Decode decode, bool withExif = false) {
    std::string contents;
    if (std::optional<Message> failure = readPictureFile(path, contents)) {
        DecodedPicture out;
        out.failure = *failure;
        out.outOfMemory = failure->id == MessageId::NotEnoughMemory;
        return out;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(contents.data());
    DecodedPicture picture = decode(bytes, contents.size(), fileNameOf(path));
    if (withExif && picture.ok) picture.exif = readExposureExif(bytes, contents.size());
    return picture;
}

}  // namespace

// Each format from a path: the file's bytes with the decoder of that format.
#define SV_DECODE_FROM_PATH(decoder, ...)                                                             \
    decodeFile(path, [&](const unsigned char* data, std::size_t size, const std::string& name) {   \
        return decoder(data, size, name, hooks, progress);                                          \
    } __VA_OPT__(,) __VA_ARGS__)

DecodedPicture decodeTiffPicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress) {
    return SV_DECODE_FROM_PATH(decodeTiffMemory);
}

DecodedPicture decodeRgbePicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress) {
    return SV_DECODE_FROM_PATH(decodeRgbeMemory);
}

DecodedPicture decodeBmpFile(const std::string& path, ProgressSink& progress) {
    const DecodeHooks hooks;
    return SV_DECODE_FROM_PATH(decodeBmpMemory);
}

DecodedPicture decodeJpegFile(const std::string& path, ProgressSink& progress) {
    const DecodeHooks hooks;
    return SV_DECODE_FROM_PATH(decodeJpegMemory);
}

DecodedPicture decodePicture(const std::string& path, const DecodeHooks& hooks, ProgressSink& progress) {
    switch (formatFromPath(path)) {
        case PictureFormat::Bmp: return SV_DECODE_FROM_PATH(decodeBmpMemory);
        case PictureFormat::Jpeg: return SV_DECODE_FROM_PATH(decodeJpegMemory, true);
        case PictureFormat::Tiff: return SV_DECODE_FROM_PATH(decodeTiffMemory, true);
        case PictureFormat::Rgbe: return SV_DECODE_FROM_PATH(decodeRgbeMemory);
        case PictureFormat::Png: return SV_DECODE_FROM_PATH(decodePngMemory, true);
        // EXR carries its own exposure attributes; the raw decoder reads the camera's values itself.
        case PictureFormat::Exr: return SV_DECODE_FROM_PATH(decodeExrMemory);
        case PictureFormat::Pfm: return SV_DECODE_FROM_PATH(decodePfmMemory);
        case PictureFormat::Raw: return SV_DECODE_FROM_PATH(decodeRawMemory);
        case PictureFormat::Unknown: break;
    }
#undef SV_DECODE_FROM_PATH
    DecodedPicture unknown;
    unknown.failure = Message{MessageId::UnsupportedFileType, 0, fileNameOf(path)};
    return unknown;
}

void refuseOutOfMemory(DecodedPicture& out, const std::string& name) {
    out.pixels.release();
    out.bitmap = DisplayBitmap();
    out.failure = Message{MessageId::NotEnoughMemory, 0, name};
    out.outOfMemory = true;
}

}  // namespace sv
