#include "imagefiles/hdr_save.h"

#include <algorithm>
#include <cctype>
#include <new>

#include "image/parallel_rows.h"
#include "imagefiles/pfm_writer.h"

namespace sv {

namespace {
std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}
}  // namespace

std::optional<HdrFormat> hdrFormatFromName(std::string_view name) {
    const std::string n = lowered(name);
    if (n == "exr") return HdrFormat::Exr;
    if (n == "hdr") return HdrFormat::Radiance;
    if (n == "tiff" || n == "tif") return HdrFormat::FloatTiff;
    if (n == "pfm") return HdrFormat::Pfm;
    return std::nullopt;
}

std::optional<HdrFormat> hdrFormatFromExtension(std::string_view path) {
    const auto slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string ext = lowered(name.substr(dot + 1));
    if (ext == "tif") return HdrFormat::FloatTiff;
    return hdrFormatFromName(ext);
}

FloatImage normalisedStack(const FloatImage& stack, float stackMax, ProgressSink& progress) {
    FloatImage out(stack.width(), stack.height());
    parallelRows(0, stack.height(), [&](int y) {
        const float* src = stack.row(y);
        float* dst = out.row(y);
        for (std::size_t i = 0; i < stack.rowSamples(); ++i) dst[i] = src[i] / stackMax;
    }, &progress);
    return out;
}

bool saveHdr(const std::string& path, const FloatImage& stack, float stackMax, const HdrSaveOptions& options,
             ProgressSink& progress, WriteError& error) {
    if (stack.empty() || !(stackMax > 0.0f)) {
        error = WriteError{WriteFailure::NothingToWrite, 0, {}};
        return false;
    }
    // The name is checked before the long work, so that one that cannot be written is refused at once.
    {
        AtomicFile probe;
        if (!probe.open(path, error)) return false;
    }
    FloatImage picture;
    try {
        beginProgress(progress, stack.height());
        picture = normalisedStack(stack, stackMax, progress);
        endProgress(progress, stack.height());
    } catch (const std::bad_alloc&) {
        endProgress(progress, stack.height());
        error = WriteError{WriteFailure::NotEnoughMemory, 0, {}};
        return false;
    }
    switch (options.format) {
        case HdrFormat::Exr: return writeExr(path, picture, options.exrHalf, progress, error);
        case HdrFormat::Radiance: return writeRadiance(path, picture, progress, error);
        case HdrFormat::FloatTiff: return writeFloatTiff(path, picture, progress, error);
        case HdrFormat::Pfm: return writePfm(path, picture, error);
    }
    error = WriteError{WriteFailure::NothingToWrite, 0, {}};
    return false;
}

}  // namespace sv
