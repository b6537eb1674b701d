#include <cstdio>
#include <optional>

#include "cli/cli.h"
#include "image/atomic_file.h"
#include "imagefiles/pfm_writer.h"
#include "stack/exposure_stack.h"

namespace sv::cli {

namespace {

DecodeHooks cliHooks(CliContext& context, std::optional<Message>& refusal) {
    DecodeHooks hooks;
    const bool gamma = context.tiffGamma;
    hooks.askGamma = [gamma] { return gamma; };
    // A batch must not merge an exposure that was not read: every reader notice stops the run.
    hooks.notify = [&refusal](const Message& m) {
        if (!refusal) refusal = m;
    };
    return hooks;
}

void openOperator(CliContext& context, const std::string& path, const Modifiers& modifiers) {
    int shiftX = 0, shiftY = 0;
    if (auto it = modifiers.find("--shift"); it != modifiers.end()) {
        const auto parts = splitList(it->second, ',');
        if (parts.size() != 2) throw CliError(kUsage, "--shift takes DX,DY");
        shiftX = parseInt(parts[0], "--shift DX");
        shiftY = parseInt(parts[1], "--shift DY");
    }
    std::optional<Message> refusal;
    const DecodeHooks hooks = cliHooks(context, refusal);
    Project& project = context.project;
    project.openInProgress = true;
    OpenResult result = loadPicture(project, path, false, hooks, context.progress);
    project.openInProgress = false;
    if (result.error) throw CliError(kBadInput, path + ": " + englishText(*result.error));
    // A file the reader could not decode is not recorded; its notice says why.
    if (!result.opened) throw CliError(kBadInput, path + ": " + (refusal ? englishText(*refusal) : "not opened"));
    if (refusal) {
        // Take the record back out: nothing of this file reaches the stack.
        --project.exposureCount;
        throw CliError(kBadInput, path + ": " + englishText(*refusal));
    }
    ExposureRecord& record = project.newestExposure();
    record.shiftX = shiftX;
    record.shiftY = shiftY;
    addExposure(project, context.progress);
    context.processedStale = true;
}

void removeOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const int n = parseInt(value, "--remove");
    if (n < 1 || n > context.project.exposureCount) {
        throw CliError(kUsage, "--remove " + value + ": there are " +
                                   std::to_string(context.project.exposureCount) + " exposures");
    }
    std::optional<Message> refusal;
    const DecodeHooks hooks = cliHooks(context, refusal);
    const RemoveResult result = removeExposure(context.project, n - 1, hooks, context.progress);
    if (result.error) throw CliError(kBadInput, englishText(*result.error));
    context.processedStale = true;
    if (refusal) throw CliError(kBadInput, englishText(*refusal));
}

void dumpStackOperator(CliContext& context, const std::string& path, const Modifiers&) {
    if (!context.project.buffersAllocated) throw CliError(kBadInput, "no picture has been opened");
    std::string error;
    if (!writePfm(path, context.project.stackBuffer, error)) throw CliError(kBadOutput, error);
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string reportJson(const CliContext& context) {
    const Project& p = context.project;
    std::string json = "{\n";
    json += "  \"width\": " + std::to_string(p.imageWidth) + ",\n";
    json += "  \"height\": " + std::to_string(p.imageHeight) + ",\n";
    json += "  \"stackMax\": " + number(p.stackMax) + ",\n";
    json += "  \"exposures\": [";
    for (int i = 0; i < p.exposureCount; ++i) {
        const ExposureRecord& r = p.exposures[static_cast<std::size_t>(i)];
        json += i ? ",\n    " : "\n    ";
        json += "{\"path\": " + jsonString(r.path) + ", \"multiplier\": " + number(r.multiplier) +
                ", \"shiftX\": " + std::to_string(r.shiftX) + ", \"shiftY\": " + std::to_string(r.shiftY) + "}";
    }
    json += p.exposureCount ? "\n  ]" : "]";
    if (!context.histogram.empty() && !context.processedStale) {
        json += ",\n  \"histogram\": [";
        for (std::size_t i = 0; i < context.histogram.size(); ++i) {
            json += (i ? ", " : "") + std::to_string(context.histogram[i]);
        }
        json += "],\n  \"histogramPeak\": " + std::to_string(context.histogramPeak);
    }
    json += "\n}\n";
    return json;
}

void reportOperator(CliContext& context, const std::string& path, const Modifiers&) {
    const std::string json = reportJson(context);
    if (path == "-") {
        std::fwrite(json.data(), 1, json.size(), stdout);
        std::fflush(stdout);
        return;
    }
    std::string error;
    const bool ok = writeFileAtomically(path, [&](std::FILE* f) {
        return std::fwrite(json.data(), 1, json.size(), f) == json.size();
    }, error);
    if (!ok) throw CliError(kBadOutput, error);
}

}  // namespace

void registerStackOperators(std::vector<Operator>& table) {
    table.push_back({"--tiff-gamma", "yes|no", {}, "gamma-correct 16/32-bit TIFF exposures (default yes)",
                     [](CliContext& c, const std::string& v, const Modifiers&) {
                         if (v != "yes" && v != "no") throw CliError(kUsage, "--tiff-gamma takes yes or no");
                         c.tiffGamma = v == "yes";
                     }});
    table.push_back({"--open", "FILE", {"--shift"},
                     "open a picture and add it to the stack (the first starts the project); "
                     "--shift DX,DY aligns it first",
                     openOperator});
    table.push_back({"--remove", "N", {}, "take exposure N (1-based, in opening order) out again", removeOperator});
    table.push_back({"--dump-stack", "FILE.pfm", {}, "write the raw stack (not divided by stackMax) as PFM",
                     dumpStackOperator});
    table.push_back({"--report", "FILE.json|-", {}, "write size, stackMax, exposures and histogram as JSON",
                     reportOperator});
}

}  // namespace sv::cli
