#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "cli/cli.h"
#include "image/atomic_file.h"
#include "image/memory_budget.h"
#include "imagefiles/pfm_writer.h"
#include "stack/auto_align.h"
#include "stack/exposure_stack.h"
#include "stack/ghost_removal.h"

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

// How --shift places a file: DX,DY, or "auto" for the suggestion of automatic alignment.
struct ShiftChoice {
    int x = 0, y = 0;
    bool automatic = false;
    AlignmentNote note;
};

ShiftChoice shiftOf(const Modifiers& modifiers) {
    ShiftChoice choice;
    if (auto it = modifiers.find("--shift"); it != modifiers.end()) {
        if (it->second == "auto") {
            choice.automatic = true;
        } else {
            const auto parts = splitList(it->second, ',');
            if (parts.size() != 2) throw CliError(kUsage, "--shift takes DX,DY or auto");
            choice.x = parseInt(parts[0], "--shift DX");
            choice.y = parseInt(parts[1], "--shift DY");
            choice.note.kind = AlignmentKind::Manual;
        }
    }
    return choice;
}

// Places the newest record: its shift (the suggestion when asked for) and its alignment note.
void placeNewest(CliContext& context, const std::string& path, ShiftChoice choice) {
    Project& project = context.project;
    // The first picture starts the project: there is nothing to align it with.
    if (choice.automatic && project.exposureCount > 1) {
        const AutoAlignResult found =
            autoAlign(project.newImageBuffer, project.stackBuffer, AutoAlignParams{}, context.progress);
        choice.x = found.shiftX;
        choice.y = found.shiftY;
        choice.note = AlignmentNote{AlignmentKind::Auto, found.residual, found.doubtful};
        if (found.doubtful) {
            std::fprintf(stderr, "sombrel-cli: %s: %s\n", path.c_str(),
                         englishText(Message{MessageId::ImagesMayBeRotated}).c_str());
        }
    }
    ExposureRecord& record = project.newestExposure();
    record.shiftX = choice.x;
    record.shiftY = choice.y;
    context.alignments.resize(static_cast<std::size_t>(project.exposureCount - 1));
    context.alignments.push_back(choice.note);
    context.processedStale = true;
}

// One file while ghost removal is on: the stack is merged again with the new exposure, so there
// is no plain add to overlap with the next decode.
void openWithGhostRemoval(CliContext& context, const std::string& path, const ShiftChoice& choice) {
    std::optional<Message> refusal;
    const DecodeHooks hooks = cliHooks(context, refusal);
    Project& project = context.project;
    project.openInProgress = true;
    OpenResult result = loadPicture(project, path, false, hooks, context.progress);
    project.openInProgress = false;
    if (result.error) throw CliError(kBadInput, path + ": " + messageLine(*result.error));
    // A file the reader could not decode is not recorded; its notice says why.
    if (!result.opened) throw CliError(kBadInput, path + ": " + (refusal ? englishText(*refusal) : "not opened"));
    if (refusal) {
        // Take the record back out: nothing of this file reaches the stack.
        --project.exposureCount;
        throw CliError(kBadInput, path + ": " + englishText(*refusal));
    }
    placeNewest(context, path, choice);
    const GhostResult merged =
        addExposureWithoutGhosts(project, context.ghosts, exposureFiles(project, hooks), context.progress);
    if (merged.error) throw CliError(kBadInput, path + ": ghost removal: " + englishText(*merged.error));
}

void openOperator(CliContext& context, const std::string& path, const Modifiers& modifiers) {
    openFiles(context, {{path, modifiers}});
}

}  // namespace

void openFiles(CliContext& context, const std::vector<std::pair<std::string, Modifiers>>& files) {
    std::vector<std::string> paths;
    std::vector<ShiftChoice> shifts;
    for (const auto& [path, modifiers] : files) {
        paths.push_back(path);
        shifts.push_back(shiftOf(modifiers));
        if (shifts.back().automatic) context.alignmentReported = true;
    }
    if (context.ghosts.active) {
        for (std::size_t k = 0; k < paths.size(); ++k) openWithGhostRemoval(context, paths[k], shifts[k]);
        return;
    }
    // Notices reach hooks.notify on this thread, file by file, before that file's beforeAdd.
    std::optional<Message> refusal;
    const DecodeHooks hooks = cliHooks(context, refusal);
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
        placeNewest(context, paths[k], shifts[k]);
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
    const GhostResult result = removeExposureWithoutGhosts(context.project, context.ghosts, n - 1, hooks,
                                                           exposureFiles(context.project, hooks), context.progress);
    if (result.error) throw CliError(kBadInput, messageLine(*result.error));
    context.processedStale = true;
    if (static_cast<int>(context.alignments.size()) >= n) {
        context.alignments.erase(context.alignments.begin() + (n - 1));
    }
    if (refusal) throw CliError(kBadInput, englishText(*refusal));
}

}  // namespace

void removeGhostsNow(CliContext& context, const GhostRemovalParams& params, const std::string& what) {
    std::optional<Message> refusal;
    const DecodeHooks hooks = cliHooks(context, refusal);
    const GhostResult result = removeGhosts(context.project, context.ghosts, params, context.project.exposureCount,
                                            exposureFiles(context.project, hooks), context.progress);
    context.processedStale = true;
    if (result.error) throw CliError(kBadInput, what + ": " + englishText(*result.error));
    if (refusal) throw CliError(kBadInput, englishText(*refusal));
}

namespace {

// --deghost REF[,strength=POS]: REF is 1-based as --remove.
void deghostOperator(CliContext& context, const std::string& value, const Modifiers&) {
    const std::size_t comma = value.find(',');
    const std::string refText = value.substr(0, comma);
    const int count = context.project.exposureCount;
    const int ref = parseInt(refText, "--deghost REF");
    if (ref < 1 || ref > count) {
        throw CliError(kUsage, "--deghost " + refText + ": there " + (count == 1 ? "is " : "are ") +
                                   countOf(count, "exposure", "exposures"));
    }
    GhostRemovalParams params;
    params.reference = ref - 1;
    if (comma != std::string::npos) {
        const ParameterValues settings = parseParameters(kGhostSettingParameters, value.substr(comma + 1), "--deghost");
        params.strength = positionOf(kGhostSettingParameters, settings, "strength");
    }
    removeGhostsNow(context, params, "--deghost");
}

void dumpGhostMaskOperator(CliContext& context, const std::string& path, const Modifiers&) {
    const Project& project = context.project;
    const std::vector<float>& mask = context.ghosts.mask;
    if (!context.ghosts.active) throw CliError(kUsage, "--dump-ghost-mask needs --deghost first");
    FloatImage picture(project.imageWidth, project.imageHeight);
    for (std::size_t i = 0; i < mask.size(); ++i) {
        for (int c = 0; c < 3; ++c) picture.data()[3 * i + static_cast<std::size_t>(c)] = mask[i];
    }
    if (const Failure failed = writePfm(path, picture)) {
        throw CliError(kBadOutput, "cannot write " + path + ": " + englishText(*failed));
    }
}

void dumpStackOperator(CliContext& context, const std::string& path, const Modifiers&) {
    if (!context.project.buffersAllocated) throw CliError(kBadInput, "no picture has been opened");
    if (const Failure failed = writePfm(path, context.project.stackBuffer)) {
        throw CliError(kBadOutput, "cannot write " + path + ": " + englishText(*failed));
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

// What the file recorded about one exposure; "ev" is relative to the first exposure (see
// relativeExposureValue). Values the file did not carry are left out.
std::string exifJson(const ExposureExif& exif, const ExposureExif& first) {
    std::string json = "{";
    auto add = [&](const char* key, const std::string& value) {
        json += (json.size() > 1 ? ", \"" : "\"") + std::string(key) + "\": " + value;
    };
    if (exif.exposureTime) add("exposureTime", number(*exif.exposureTime));
    if (exif.fNumber) add("fNumber", number(*exif.fNumber));
    if (exif.iso) add("iso", number(*exif.iso));
    if (exif.exposureBias) add("exposureBias", number(*exif.exposureBias));
    if (!exif.captureTime.empty()) add("captureTime", jsonString(exif.captureTime));
    if (const auto ev = relativeExposureValue(first, exif)) add("ev", number(*ev));
    return json + "}";
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
                ", \"exif\": " + exifJson(r.exif, p.exposures[0].exif) + ", \"shiftX\": " + std::to_string(r.shiftX) +
                ", \"shiftY\": " + std::to_string(r.shiftY);
        if (context.alignmentReported && static_cast<std::size_t>(i) < context.alignments.size()) {
            const AlignmentNote& a = context.alignments[static_cast<std::size_t>(i)];
            static constexpr const char* kKinds[] = {"none", "manual", "auto"};
            json += std::string(", \"alignment\": \"") + kKinds[static_cast<int>(a.kind)] + "\"";
            if (a.kind == AlignmentKind::Auto) {
                json += ", \"alignmentResidual\": " + number(a.residual) +
                        ", \"alignmentDoubtful\": " + (a.doubtful ? "true" : "false");
            }
        }
        json += "}";
    }
    json += p.exposureCount ? "\n  ]" : "]";
    // What the project's working buffers, a filter's scratch picture and the display bitmap take.
    const std::uint64_t needed = p.buffersAllocated ? projectNeed(p.imageWidth, p.imageHeight).bytes : 0;
    json += ",\n  \"memoryNeeded\": " + std::to_string(needed);
    if (context.ghosts.active) {
        json += ",\n  \"deghost\": {\"reference\": " + std::to_string(context.ghosts.params.reference + 1) +
                ", \"strength\": " + std::to_string(context.ghosts.params.strength) + "}";
    }
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
    const Failure failed = writeFileAtomically(path, [&](std::FILE* f) {
        return std::fwrite(json.data(), 1, json.size(), f) == json.size();
    });
    if (failed) throw CliError(kBadOutput, "cannot write " + path + ": " + englishText(*failed));
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
                     "--shift DX,DY aligns it first, --shift auto finds the shift (warns when none explains the pair)",
                     openOperator});
    table.push_back({"--remove", "N", {}, "take exposure N (1-based, in opening order) out again", removeOperator});
    table.push_back({"--deghost", "REF[,strength=POS]", {},
                     std::string("remove ghosts: merge the stack again with what moved taken from exposure REF (1-based); ") +
                         parameterRanges(kGhostSettingParameters) + ", default " +
                         std::to_string(kGhostSettingParameters[0].defaultPosition) +
                         "; stays on for later --open and --remove",
                     deghostOperator});
    table.push_back({"--dump-ghost-mask", "FILE.pfm", {},
                     "write the ghost mask (0..1 per pixel, repeated in R, G, B) as PFM", dumpGhostMaskOperator});
    table.push_back({"--dump-stack", "FILE.pfm", {}, "write the raw stack (not divided by stackMax) as PFM",
                     dumpStackOperator});
    table.push_back({"--report", "FILE.json|-", {}, "write size, stackMax, exposures, memoryNeeded (bytes) and histogram as JSON (UTF-8: bytes of a file name "
                     "that are not UTF-8 show as U+FFFD); each exposure's \"exif\" holds exposureTime (s), fNumber, "
                     "iso, exposureBias (EV), captureTime and ev = log2(t1/t) + 2 log2(N/N1) + log2(ISO1/ISO) "
                     "relative to the first exposure",
                     reportOperator});
}

}  // namespace sv::cli
