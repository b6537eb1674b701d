#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "cli/cli.h"
#include "image/atomic_file.h"
#include "image/memory_budget.h"
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

std::pair<int, int> shiftOf(const Modifiers& modifiers) {
    int shiftX = 0, shiftY = 0;
    if (auto it = modifiers.find("--shift"); it != modifiers.end()) {
        const auto parts = splitList(it->second, ',');
        if (parts.size() != 2) throw CliError(kUsage, "--shift takes DX,DY");
        shiftX = parseInt(parts[0], "--shift DX");
        shiftY = parseInt(parts[1], "--shift DY");
    }
    return {shiftX, shiftY};
}

void openOperator(CliContext& context, const std::string& path, const Modifiers& modifiers) {
    openFiles(context, {{path, modifiers}});
}

}  // namespace

void openFiles(CliContext& context, const std::vector<std::pair<std::string, Modifiers>>& files) {
    std::vector<std::string> paths;
    std::vector<std::pair<int, int>> shifts;
    for (const auto& [path, modifiers] : files) {
        paths.push_back(path);
        shifts.push_back(shiftOf(modifiers));
    }
    // Notices reach hooks.notify on this thread, file by file, before that file's beforeAdd.
    std::optional<Message> refusal;
    const DecodeHooks hooks = cliHooks(context, refusal);
    std::optional<CliError> failure;
    OpenSequenceControl control;
    control.stopAtFailure = true;
    control.beforeAdd = [&](std::size_t k, OpenResult& result) {
        Project& project = context.project;
        // The CLI shows no picture: the bitmap goes before the next file is decoded.
        result.bitmap = DisplayBitmap();
        if (refusal) {
            // Take the record back out: nothing of this file reaches the stack.
            --project.exposureCount;
            return false;
        }
        ExposureRecord& record = project.newestExposure();
        record.shiftX = shifts[k].first;
        record.shiftY = shifts[k].second;
        context.processedStale = true;
        return true;
    };
    const std::vector<OpenResult> results =
        openSequence(context.project, paths, false, hooks, context.progress, control);
    const std::size_t last = results.size() - 1;
    const OpenResult& result = results[last];
    const std::string& path = paths[last];
    if (result.error) throw CliError(kBadInput, path + ": " + messageLine(*result.error));
    // A file the reader could not decode is not recorded; its notice says why.
    if (!result.opened) throw CliError(kBadInput, path + ": " + (refusal ? englishText(*refusal) : "not opened"));
    if (refusal) throw CliError(kBadInput, path + ": " + englishText(*refusal));
}

namespace {

void removeOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const int n = parseInt(value, "--remove");
    if (n < 1 || n > context.project.exposureCount) {
        const int count = context.project.exposureCount;
        throw CliError(kUsage, "--remove " + value + ": there " + (count == 1 ? "is " : "are ") +
                                   countOf(count, "exposure", "exposures"));
    }
    std::optional<Message> refusal;
    const DecodeHooks hooks = cliHooks(context, refusal);
    const RemoveResult result = removeExposure(context.project, n - 1, hooks, context.progress);
    if (result.error) throw CliError(kBadInput, messageLine(*result.error));
    context.processedStale = true;
    if (refusal) throw CliError(kBadInput, englishText(*refusal));
}

void dumpStackOperator(CliContext& context, const std::string& path, const Modifiers&) {
    if (!context.project.buffersAllocated) throw CliError(kBadInput, "no picture has been opened");
    std::string error;
    if (!writePfm(path, context.project.stackBuffer, error)) {
        throw CliError(kBadOutput, "cannot write " + path + ": " + error);
    }
}

// Length of the well-formed UTF-8 sequence at `at`, or 0; `bad` is then the length of its maximal
// ill-formed subpart (at least 1), which becomes one U+FFFD.
std::size_t utf8Sequence(const std::string& text, std::size_t at, std::size_t& bad) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    // Lead bytes with the length of their sequence and the range of the second byte, which rules
    // out overlong forms, surrogates and code points past U+10FFFF.
    struct Lead {
        unsigned char first, last;
        std::size_t length;
        unsigned char low, high;
    };
    static constexpr Lead kLeads[] = {{0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF},
                                      {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F},
                                      {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
                                      {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F}};
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    for (const Lead& l : kLeads) {
        if (lead >= l.first && lead <= l.last) {
            length = l.length;
            low = l.low;
            high = l.high;
        }
    }
    bad = 1;
    if (length == 0) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const std::size_t i = at + k;
        const unsigned char lo = k == 1 ? low : 0x80, hi = k == 1 ? high : 0xBF;
        if (i >= text.size() || byte(i) < lo || byte(i) > hi) {
            bad = k;
            return 0;
        }
    }
    return length;
}

// A JSON string that is valid UTF-8 whatever bytes a file name holds: valid UTF-8 is kept as it
// is, control characters are escaped, and each ill-formed part becomes U+FFFD (one per maximal
// ill-formed subpart, the replacement Unicode recommends).
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            std::size_t bad = 1;
            const std::size_t length = utf8Sequence(text, i, bad);
            if (length) {
                out.append(text, i, length);
                i += length;
            } else {
                out += "\xEF\xBF\xBD";
                i += bad;
            }
            continue;
        }
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
        ++i;
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
    // What the project's working buffers, a filter's scratch picture and the display bitmap take.
    const std::uint64_t needed = p.buffersAllocated ? projectNeed(p.imageWidth, p.imageHeight).bytes : 0;
    json += ",\n  \"memoryNeeded\": " + std::to_string(needed);
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
        errno = 0;
        const bool written = std::fwrite(json.data(), 1, json.size(), stdout) == json.size();
        if (std::fflush(stdout) != 0 || !written || std::ferror(stdout)) {
            throw CliError(kBadOutput, "the report could not be written to standard output: " +
                                           englishText(writeErrorFromErrno(errno ? errno : EIO)));
        }
        return;
    }
    std::string error;
    const bool ok = writeFileAtomically(path, [&](std::FILE* f) {
        return std::fwrite(json.data(), 1, json.size(), f) == json.size();
    }, error);
    if (!ok) throw CliError(kBadOutput, "cannot write " + path + ": " + error);
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
    table.push_back({"--report", "FILE.json|-", {}, "write size, stackMax, exposures, memoryNeeded (bytes) and histogram as JSON (UTF-8: bytes of a file name "
                     "that are not UTF-8 show as U+FFFD)",
                     reportOperator});
}

}  // namespace sv::cli
