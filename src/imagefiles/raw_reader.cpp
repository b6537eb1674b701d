#include "imagefiles/raw_reader.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "image/memory_budget.h"
#include "image/parallel_rows.h"
#include "imagefiles/exif_metadata.h"
#include "imagefiles/input_scales.h"
#include "imagefiles/tiff_reader.h"

namespace sv {

namespace {

// The tile buffers of LibRaw's default (AHD) demosaicing and its smaller tables.
constexpr std::uint64_t kDemosaicScratch = 8ull << 20;

// LibRaw's stages that take time, in the order they run; the gauge counts them before the rows.
constexpr LibRaw_progress kStages[] = {LIBRAW_PROGRESS_LOAD_RAW,       LIBRAW_PROGRESS_RAW2_IMAGE,
                                       LIBRAW_PROGRESS_SCALE_COLORS,   LIBRAW_PROGRESS_PRE_INTERPOLATE,
                                       LIBRAW_PROGRESS_INTERPOLATE,    LIBRAW_PROGRESS_CONVERT_RGB,
                                       LIBRAW_PROGRESS_STRETCH};
constexpr int kStageCount = static_cast<int>(sizeof kStages / sizeof kStages[0]);

struct RawWatch {
    ProgressSink* progress = nullptr;
    int stagesDone = 0;
    bool damagedData = false;  // LibRaw met data it could not decode (it goes on regardless)
};

int onProgress(void* data, LibRaw_progress stage, int, int) {
    auto* watch = static_cast<RawWatch*>(data);
    for (int i = 0; i < kStageCount; ++i) {
        if (kStages[i] == stage && i + 1 > watch->stagesDone) {
            watch->stagesDone = i + 1;
            watch->progress->setPosition(watch->stagesDone);
        }
    }
    return 0;  // go on
}

void onDataError(void* data, const char*, const int offset) {
    // A negative offset is the end of the file, which LibRaw reports as an I/O error of its own.
    if (offset >= 0) static_cast<RawWatch*>(data)->damagedData = true;
}

std::string cameraOf(const LibRaw& raw) {
    const auto& id = raw.imgdata.idata;
    std::string make(id.make, strnlen(id.make, sizeof id.make));
    std::string model(id.model, strnlen(id.model, sizeof id.model));
    if (model.rfind(make, 0) == 0) make.clear();  // "Canon" and "Canon EOS R5" say it once
    std::string camera = make.empty() ? model : (model.empty() ? make : make + " " + model);
    // Only printable text goes into a message.
    camera.erase(std::remove_if(camera.begin(), camera.end(), [](char c) { return c < 0x20 || c == 0x7f; }),
                 camera.end());
    return camera;
}

Message notReadable(const std::string& name, const std::string& camera) {
    return Message{MessageId::RawNotReadable, 0, camera.empty() ? name : name + " (" + camera + ")"};
}

// The size dcraw_make_mem_image will give: the visible area, stretched to square pixels and
// turned as the camera was held. (An old Fuji sensor laid at 45 degrees comes out otherwise; the
// real size is admitted again before it is used.)
void predictedSize(const libraw_image_sizes_t& s, long long& width, long long& height) {
    width = s.width;
    height = s.height;
    if (s.pixel_aspect > 0.0 && s.pixel_aspect != 1.0 && std::isfinite(s.pixel_aspect)) {
        if (s.pixel_aspect < 1.0) height = static_cast<long long>(height / s.pixel_aspect + 0.5);
        else width = static_cast<long long>(width * s.pixel_aspect + 0.5);
    }
    if (s.flip & 4) std::swap(width, height);
}

// What LibRaw holds while it works: the unpacked raw data (one to four 16-bit samples a pixel),
// its four-sample working picture, the 16-bit RGB output and the demosaicing tiles.
std::uint64_t librawScratch(const LibRaw& raw, long long width, long long height) {
    const auto& s = raw.imgdata.sizes;
    const std::uint64_t rawPixels = static_cast<std::uint64_t>(s.raw_width) * s.raw_height;
    const std::uint64_t rawSamples = raw.imgdata.idata.filters ? 1 : 4;
    const std::uint64_t working = static_cast<std::uint64_t>(s.width) * s.height * 8;
    const std::uint64_t output = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 6;
    return rawPixels * rawSamples * 2 + working + output + kDemosaicScratch;
}

std::string timeText(time_t stamp) {
    struct tm local {};
    if (stamp <= 0 || !localtime_r(&stamp, &local)) return {};
    char text[32];
    if (std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local) == 0) return {};
    return text;
}

// LibRaw keeps single floats: 1/250 s is 0.00400000019. The shortest decimal of the float reads
// as the camera meant it.
double decimalOf(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(v));
    return std::strtod(text, nullptr);
}

ExposureExif rawExposure(const LibRaw& raw, const unsigned char* data, std::size_t size) {
    // The file's own EXIF, where Exiv2 reads it, fills what LibRaw does not keep (the bias).
    ExposureExif exif = readExposureExif(data, size);
    const auto& other = raw.imgdata.other;
    if (other.shutter > 0.0f && std::isfinite(other.shutter)) exif.exposureTime = decimalOf(other.shutter);
    if (other.aperture > 0.0f && std::isfinite(other.aperture)) exif.fNumber = decimalOf(other.aperture);
    if (other.iso_speed > 0.0f && std::isfinite(other.iso_speed)) exif.iso = decimalOf(other.iso_speed);
    const std::string time = timeText(other.timestamp);
    if (!time.empty()) exif.captureTime = time;
    return exif;
}

}  // namespace

const std::vector<std::string>& rawExtensions() {
    static const std::vector<std::string> extensions = {
        ".dng", ".cr2", ".cr3", ".crw", ".nef", ".nrw", ".arw", ".sr2", ".srf", ".raf", ".orf", ".rw2", ".rwl",
        ".raw", ".pef", ".srw", ".3fr", ".fff", ".iiq", ".cap", ".mos", ".mrw", ".x3f", ".kdc", ".dcr", ".erf",
        ".mef"};
    return extensions;
}

bool isRawExtension(std::string_view extension) {
    const auto& all = rawExtensions();
    return std::find(all.begin(), all.end(), extension) != all.end();
}

DecodedPicture decodeRawMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress) {
    DecodedPicture out;
    out.failure = Message{MessageId::CannotReadFile, 0, name};
    std::unique_ptr<LibRaw> raw;
    try {
        raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    } catch (const std::bad_alloc&) {
        out.failure = Message{MessageId::NotEnoughMemory, 0, name};
        out.outOfMemory = true;
        return out;
    }
    RawWatch watch;
    watch.progress = &progress;
    raw->set_progress_handler(onProgress, &watch);
    raw->set_dataerror_handler(onDataError, &watch);
    libraw_output_params_t& params = raw->imgdata.params;
    params.output_bps = 16;
    params.gamm[0] = 1.0;
    params.gamm[1] = 1.0;
    params.no_auto_bright = 1;
    params.output_color = 1;  // sRGB
    params.use_camera_wb = 1;
    // LibRaw's own ceiling on raw data follows what this process may take.
    const std::uint64_t freeMb = availableMemory().bytes >> 20;
    params.max_raw_memory_mb = static_cast<unsigned>(std::clamp<std::uint64_t>(freeMb, 1, 2048));

    int rc = raw->open_buffer(const_cast<unsigned char*>(data), size);
    if (rc != LIBRAW_SUCCESS) {
        if (rc == LIBRAW_IO_ERROR) {
            out.incomplete = true;
            out.failure = Message{MessageId::IncompleteFile, 0, name};
        } else {
            out.failure = notReadable(name, cameraOf(*raw));
        }
        return out;
    }
    const std::string camera = cameraOf(*raw);
    // Read now: recycling LibRaw's buffers clears what it parsed.
    const ExposureExif exif = rawExposure(*raw, data, size);
    long long width = 0, height = 0;
    predictedSize(raw->imgdata.sizes, width, height);
    if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX) {
        out.failure = notReadable(name, camera);
        return out;
    }
    const bool gamma = chooseGammaCorrection(hooks);
    PictureClaim claim;
    claim.name = name;
    claim.width = static_cast<int>(width);
    claim.height = static_cast<int>(height);
    claim.scratchBytes = librawScratch(*raw, width, height);
    out.probedWidth = claim.width;
    out.probedHeight = claim.height;
    if (std::optional<Message> refusal = admitPicture(claim, hooks)) {
        out.failure = *refusal;
        out.outOfMemory = refusal->id == MessageId::NotEnoughMemory;
        out.incomplete = refusal->id == MessageId::IncompleteFile;
        return out;
    }

    beginProgress(progress, kStageCount + claim.height);
    libraw_processed_image_t* image = nullptr;
    rc = raw->unpack();
    if (rc == LIBRAW_SUCCESS && !watch.damagedData) rc = raw->dcraw_process();
    if (rc == LIBRAW_SUCCESS && !watch.damagedData) image = raw->dcraw_make_mem_image(&rc);
    const std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t*)> held(
        image, [](libraw_processed_image_t* p) { LibRaw::dcraw_clear_mem(p); });
    // The output is all that is needed now: LibRaw's own buffers go before ours are obtained.
    raw->recycle();
    if (!image || rc != LIBRAW_SUCCESS || watch.damagedData) {
        endProgress(progress, claim.height);
        if (rc == LIBRAW_UNSUFFICIENT_MEMORY || rc == LIBRAW_TOO_BIG || rc == LIBRAW_MEMPOOL_OVERFLOW) {
            out.failure = Message{MessageId::NotEnoughMemory, 0, name};
            out.outOfMemory = true;
        } else if (rc == LIBRAW_IO_ERROR) {
            out.incomplete = true;
            out.failure = Message{MessageId::IncompleteFile, 0, name};
        } else if (watch.damagedData || rc == LIBRAW_DATA_ERROR) {
            out.failure = Message{MessageId::DamagedFile, 0, name};
        } else {
            out.failure = notReadable(name, camera);
        }
        return out;
    }
    if (image->type != LIBRAW_IMAGE_BITMAP || image->colors != 3 || image->bits != 16 || image->width == 0 ||
        image->height == 0 ||
        image->data_size < static_cast<unsigned>(image->width) * image->height * 6u) {
        endProgress(progress, claim.height);
        out.failure = notReadable(name, camera);
        return out;
    }
    claim.width = image->width;
    claim.height = image->height;
    claim.scratchBytes = image->data_size;
    if (!preparePicture(out, claim, hooks)) {
        endProgress(progress, claim.height);
        return out;
    }
    const int w = claim.width;
    const auto* samples = reinterpret_cast<const std::uint16_t*>(image->data);
    progress.setPosition(kStageCount);
    parallelRows(0, claim.height, [&](int y) {
        const std::uint16_t* src = samples + static_cast<std::size_t>(y) * w * 3;
        float* dst = out.pixels.row(y);
        std::uint32_t* display = out.bitmap.row(y);
        for (int x = 0; x < w; ++x) {
            std::uint32_t bytes[3];
            for (int c = 0; c < 3; ++c) {
                const float v = static_cast<float>(src[3 * x + c]) / 65536.0f;
                dst[3 * x + c] = v;
                bytes[c] = tiffDisplayChannel(v);
            }
            display[x] = packRgb(bytes[0], bytes[1], bytes[2]);
        }
    }, &progress);
    endProgress(progress, claim.height);
    if (gamma) applyGammaCorrection(out.pixels);
    out.exif = exif;
    out.ok = true;
    return out;
}

}  // namespace sv
