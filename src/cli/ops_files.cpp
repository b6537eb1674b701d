#include <unistd.h>

#include <climits>
#include <string>

#include "cli/cli.h"
#include "imagefiles/bmp_writer.h"
#include "imagefiles/exif_metadata.h"
#include "imagefiles/jpeg_saver.h"
#include "imagefiles/png_writer.h"
#include "imagefiles/save_format.h"
#include "imagefiles/tiff_writer.h"
#include "tone/render.h"

namespace sv::cli {

namespace {

struct SaveOptions {
    SaveFormat format = SaveFormat::Tiff;
    int bits = 8;
    TiffCompressionChoice compression = TiffCompressionChoice::Deflate;
    int quality = kDefaultJpegQuality;
    // The first exposure's EXIF and an sRGB profile: by default in JPEG and PNG, not in TIFF,
    // whose documented layout other tools rely on.
    bool metadata = false;
};

const std::string* find(const Modifiers& modifiers, const char* name) {
    const auto it = modifiers.find(name);
    return it == modifiers.end() ? nullptr : &it->second;
}

// All usage errors come out before anything is rendered or written.
// `recipe`: the options of the last --recipe, taken for those not given when the format is its.
SaveOptions parseSaveOptions(const std::string& path, const Modifiers& modifiers,
                             const std::optional<RecipeSave>& recipe) {
    SaveOptions o;
    if (const std::string* f = find(modifiers, "--format")) {
        const auto format = saveFormatFromName(*f);
        if (!format) throw CliError(kUsage, "--format takes tiff, bmp, jpeg or png");
        o.format = *format;
    } else {
        const auto format = saveFormatFromExtension(path);
        if (!format) throw CliError(kUsage, "--save " + path + ": give --format tiff|bmp|jpeg|png for this file name");
        o.format = *format;
    }
    const std::string* bits = find(modifiers, "--bits");
    const std::string* compression = find(modifiers, "--compression");
    const std::string* quality = find(modifiers, "--quality");
    const std::string* metadata = find(modifiers, "--metadata");
    if (o.format != SaveFormat::Tiff && compression) throw CliError(kUsage, "--compression applies to TIFF only");
    if (o.format != SaveFormat::Tiff && o.format != SaveFormat::Png && bits) {
        throw CliError(kUsage, "--bits applies to TIFF and PNG only");
    }
    if (o.format == SaveFormat::Bmp && metadata) throw CliError(kUsage, "--metadata applies to JPEG, PNG and TIFF only");
    o.metadata = o.format == SaveFormat::Jpeg || o.format == SaveFormat::Png;
    if (recipe && recipe->format == o.format) {
        o.bits = recipe->bits;
        o.compression = recipe->compression;
        o.quality = recipe->quality;
        o.metadata = recipe->metadata;
    }
    if (metadata) {
        if (*metadata != "yes" && *metadata != "no") throw CliError(kUsage, "--metadata takes yes or no");
        o.metadata = *metadata == "yes";
    }
    if (o.format != SaveFormat::Jpeg && quality) throw CliError(kUsage, "--quality applies to JPEG only");
    if (bits) {
        if (*bits != "8" && *bits != "16") throw CliError(kUsage, "--bits takes 8 or 16");
        o.bits = *bits == "8" ? 8 : 16;
    }
    if (compression) {
        if (*compression == "none") o.compression = TiffCompressionChoice::None;
        else if (*compression == "deflate") o.compression = TiffCompressionChoice::Deflate;
        else throw CliError(kUsage, "--compression takes none or deflate");
    }
    if (quality) o.quality = parseIntInRange(*quality, kJpegQualityMin, kJpegQualityMax, "--quality");
    return o;
}

// The encoder is looked for next to this program first, as the window does.
std::string programFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    const std::string exe(buffer, static_cast<std::size_t>(n));
    const auto slash = exe.find_last_of('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

void saveOperator(CliContext& context, const std::string& path, const Modifiers& modifiers) {
    const SaveOptions options = parseSaveOptions(path, modifiers, context.recipeSave);
    // A build without a render saves the processed picture as it stands.
    if (context.process) {
        context.ensureProcessed();
    } else if (context.project.exposureCount == 0) {
        throw CliError(kBadInput, "no picture has been opened");
    }
    const FloatImage& picture = context.project.processedBuffer;
    if (picture.empty()) throw CliError(kBadInput, "there is no processed picture to save");

    Failure failed;
    // Taken from the first exposure as it was opened.
    OutputMetadata kept;
    if (options.metadata && context.project.exposureCount > 0) {
        const ExposureRecord& first = context.project.exposures[0];
        kept = outputMetadata(first.path, first.exif, picture.width(), picture.height());
    }
    const OutputMetadata* metadata = options.metadata ? &kept : nullptr;
    switch (options.format) {
        case SaveFormat::Tiff:
            failed = writeTiff(path, picture, picture.width(), picture.height(), options.bits, options.compression,
                               metadata, context.progress);
            break;
        case SaveFormat::Png: {
            WriteError failure;
            bool ok = false;
            if (options.bits == 8) {
                const DisplayBitmap display = drawPicture(picture, context.progress);
                ok = writePng8(display, path, metadata, context.progress, failure);
            } else {
                ok = writePng16(picture, path, metadata, context.progress, failure);
            }
            if (!ok) failed = cannotWrite(std::move(failure));
            break;
        }
        case SaveFormat::Bmp: {
            // BMP and JPEG take the display bitmap: the whole processed picture drawn as it stands.
            const DisplayBitmap display = drawPicture(picture, context.progress);
            failed = writeBmp(display, path);
            break;
        }
        case SaveFormat::Jpeg: {
            const std::string encoder = locateJpegEncoder(programFolder());
            if (encoder.empty()) {
                throw CliError(kBadOutput,
                               "cannot write " + path + ": " + englishReason(WriteFailure::JpegEncoderMissing));
            }
            const DisplayBitmap display = drawPicture(picture, context.progress);
            failed = saveJpeg(display, path, options.quality, encoder, metadata);
            break;
        }
    }
    if (failed) throw CliError(kBadOutput, "cannot write " + path + ": " + englishText(*failed));
    context.lastSave = RecipeSave{options.format, options.bits, options.compression, options.quality, options.metadata};
}

}  // namespace

void checkSaveOptions(const std::string& path, const Modifiers& modifiers) { (void)parseSaveOptions(path, modifiers, std::nullopt); }

void registerFileOperators(std::vector<Operator>& table) {
    table.push_back({"--save", "FILE", {"--format", "--bits", "--compression", "--quality", "--metadata"},
                     "save the processed picture: --format tiff|bmp|jpeg|png (default: by the extension), "
                     "TIFF --bits 8|16 (8) --compression none|deflate (deflate), JPEG --quality 10..100 (95), "
                     "PNG --bits 8|16 (8); --metadata yes|no copies the first exposure's EXIF (orientation 1, "
                     "software Sombrel Varno) and embeds an sRGB profile (default: yes for JPEG and PNG, no for TIFF)",
                     saveOperator});
}

}  // namespace sv::cli
