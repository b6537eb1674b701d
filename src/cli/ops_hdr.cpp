// --save-hdr: the merged HDR itself for other programs.
#include <string>

#include "cli/cli.h"
#include "imagefiles/hdr_save.h"

namespace sv::cli {

namespace {

HdrSaveOptions parseHdrOptions(const std::string& path, const Modifiers& modifiers) {
    HdrSaveOptions o;
    if (const auto it = modifiers.find("--hdr-format"); it != modifiers.end()) {
        const auto format = hdrFormatFromName(it->second);
        if (!format) throw CliError(kUsage, "--hdr-format takes exr, hdr, tiff or pfm");
        o.format = *format;
    } else {
        const auto format = hdrFormatFromExtension(path);
        if (!format) {
            throw CliError(kUsage, "--save-hdr " + path + ": give --hdr-format exr|hdr|tiff|pfm for this file name");
        }
        o.format = *format;
    }
    if (modifiers.count("--exr-half")) {
        const std::string& v = modifiers.at("--exr-half");
        if (v != "yes" && v != "no") throw CliError(kUsage, "--exr-half takes yes or no");
        if (o.format != HdrFormat::Exr) throw CliError(kUsage, "--exr-half applies to OpenEXR only");
        o.exrHalf = v == "yes";
    }
    return o;
}

void saveHdrOperator(CliContext& context, const std::string& path, const Modifiers& modifiers) {
    const HdrSaveOptions options = parseHdrOptions(path, modifiers);
    const Project& project = context.project;
    if (project.exposureCount == 0 || !project.buffersAllocated) throw CliError(kBadInput, "no picture has been opened");
    WriteError error;
    if (!saveHdr(path, project.stackBuffer, project.stackMax, options, context.progress, error)) {
        throw CliError(kBadOutput, "cannot write " + path + ": " + englishText(error));
    }
}

}  // namespace

void registerHdrOperators(std::vector<Operator>& table) {
    table.push_back({"--save-hdr", "FILE", {"--hdr-format", "--exr-half"},
                     "save the merged HDR (the stack divided by stackMax, linear sRGB): --hdr-format exr|hdr|tiff|pfm "
                     "(default: by the extension; OpenEXR with ZIP, Radiance RGBE, 32-bit float TIFF or PFM), "
                     "--exr-half yes|no (no: 32-bit floats)",
                     saveHdrOperator});
}

}  // namespace sv::cli
