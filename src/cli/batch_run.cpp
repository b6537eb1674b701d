// sombrel-cli batch: groups the pictures into brackets, plans one output per bracket and runs
// each bracket as an ordinary command line in this process, several at once when memory allows.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/batch.h"
#include "cli/command_run.h"
#include "image/memory_budget.h"
#include "imagefiles/save_format.h"

namespace sv::cli {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

enum class Grouping { Exposure, Count, Time };

struct BatchOptions {
    std::vector<std::string> inputs;
    Grouping grouping = Grouping::Exposure;
    std::size_t groupCount = 3;
    long long gapSeconds = 0;
    std::string recipe;
    std::string outDir;  // empty: the current folder
    std::string namePattern = "{first}-hdr";
    SaveFormat format = SaveFormat::Tiff;
    std::string formatName = "tiff";
    Modifiers saveModifiers;  // --bits, --compression, --quality, --metadata for each --save
    bool shiftAuto = false;
    std::string tiffGamma;
    bool dryRun = false;
    std::optional<int> jobs;
    Shard shard;
    bool skipExisting = false;
    std::string report;
    std::vector<std::string> operators;  // after "--": run on each bracket before it is saved
    bool help = false;
    bool quiet = false;
};

// Operators that write a file of their own or open pictures: per bracket they would all hit the
// same name, or mix the bracket with other pictures.
constexpr const char* kOperatorsNotForBrackets[] = {"--open", "--save", "--save-hdr", "--report", "--dump-stack",
                                                    "--dump-processed", "--dump-ghost-mask", "--write-recipe",
                                                    "--help", "--quiet"};

const char* extensionOf(SaveFormat format) {
    switch (format) {
        case SaveFormat::Tiff: return ".tif";
        case SaveFormat::Jpeg: return ".jpg";
        case SaveFormat::Bmp: return ".bmp";
        case SaveFormat::Png: return ".png";
    }
    return ".tif";
}

BatchOptions parseBatchOptions(const std::vector<std::string>& args, bool quiet) {
    BatchOptions o;
    o.quiet = quiet;
    static const std::set<std::string> valued = {"--group", "--recipe", "--out", "--name", "--format", "--bits",
                                                 "--compression", "--quality", "--metadata", "--jobs", "--shard",
                                                 "--report", "--shift", "--tiff-gamma"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            o.operators.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (word == "--help" || word == "-h") {
            o.help = true;
            continue;
        }
        if (word == "--quiet") o.quiet = true;
        else if (word == "--dry-run") o.dryRun = true;
        else if (word == "--skip-existing") o.skipExisting = true;
        else if (valued.count(word)) {
            if (i + 1 >= args.size()) throw CliError(kUsage, word + " needs a value");
            const std::string& value = args[++i];
            if (word == "--group") {
                if (value == "exposure") {
                    o.grouping = Grouping::Exposure;
                } else if (value.rfind("count:", 0) == 0) {
                    o.grouping = Grouping::Count;
                    o.groupCount = static_cast<std::size_t>(parseIntInRange(value.substr(6), 1, 100, "--group count"));
                } else if (value.rfind("time:", 0) == 0) {
                    o.grouping = Grouping::Time;
                    o.gapSeconds = parseIntInRange(value.substr(5), 0, 1000000, "--group time");
                } else {
                    throw CliError(kUsage, "--group takes count:N, time:SECONDS or exposure");
                }
            } else if (word == "--format") {
                const auto format = saveFormatFromName(value);
                if (!format) throw CliError(kUsage, "--format takes tiff, bmp, jpeg or png");
                o.format = *format;
                o.formatName = value;
            } else if (word == "--jobs") {
                o.jobs = parseIntInRange(value, 1, 256, "--jobs");
            } else if (word == "--shard") {
                const auto shard = parseShard(value);
                if (!shard) throw CliError(kUsage, "--shard takes I/N with I from 1 to N, not " + value);
                o.shard = *shard;
            } else if (word == "--shift") {
                if (value != "auto") throw CliError(kUsage, "--shift in a batch takes auto (each picture after a bracket's first is aligned)");
                o.shiftAuto = true;
            } else if (word == "--tiff-gamma") {
                if (value != "yes" && value != "no") throw CliError(kUsage, "--tiff-gamma takes yes or no");
                o.tiffGamma = value;
            } else if (word == "--recipe") {
                o.recipe = value;
            } else if (word == "--out") {
                o.outDir = value;
            } else if (word == "--name") {
                o.namePattern = value;
            } else if (word == "--report") {
                o.report = value;
            } else {
                o.saveModifiers[word] = value;
            }
        } else if (word.rfind("--", 0) == 0) {
            throw CliError(kUsage, "unknown batch option '" + word + "' (see sombrel-cli batch --help)");
        } else {
            o.inputs.push_back(word);
        }
    }
    return o;
}

// The ordinary command line that makes one bracket's output.
std::vector<std::string> bracketCommand(const BatchOptions& o, const std::vector<std::string>& files,
                                        const std::string& output) {
    std::vector<std::string> args;
    if (!o.tiffGamma.empty()) args.insert(args.end(), {"--tiff-gamma", o.tiffGamma});
    for (std::size_t k = 0; k < files.size(); ++k) {
        args.insert(args.end(), {"--open", files[k]});
        if (o.shiftAuto && k > 0) args.insert(args.end(), {"--shift", "auto"});
    }
    if (!o.recipe.empty()) args.insert(args.end(), {"--recipe", o.recipe});
    args.insert(args.end(), o.operators.begin(), o.operators.end());
    // --save renders the stack first when nothing after the opens has.
    args.insert(args.end(), {"--save", output, "--format", o.formatName});
    for (const auto& [name, value] : o.saveModifiers) args.insert(args.end(), {name, value});
    return args;
}

// Mistakes in the options every bracket shares are the batch's, found before any work.
void checkBracketCommand(const std::vector<Operator>& table, const BatchOptions& o) {
    for (const Step& step : parseSteps(table, o.operators)) {
        for (const char* name : kOperatorsNotForBrackets) {
            if (step.op->name == name) {
                throw CliError(kUsage, step.op->name + " cannot follow -- in a batch: each bracket is opened and saved by the batch");
            }
        }
    }
    const std::string sample = std::string("bracket") + extensionOf(o.format);
    parseSteps(table, bracketCommand(o, {"first.jpg", "second.jpg"}, sample));
    checkSaveOptions(sample, o.saveModifiers);
}

std::string durationText(double seconds) {
    const long long s = std::llround(std::max(0.0, seconds));
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Brackets groupPictures(const BatchOptions& o, const std::vector<std::string>& files) {
    if (o.grouping == Grouping::Count) return groupByCount(files.size(), o.groupCount);
    std::vector<BatchPicture> pictures;
    pictures.reserve(files.size());
    for (const std::string& f : files) pictures.push_back(describePicture(f));
    if (o.grouping == Grouping::Time) {
        std::size_t missing = 0;
        auto brackets = groupByTimeGap(pictures, o.gapSeconds, &missing);
        if (!brackets) {
            throw CliError(kBadInput, files[missing] + ": no capture time in its EXIF, so --group time cannot place it "
                                                       "(group by count:N instead)");
        }
        return std::move(*brackets);
    }
    ExposureGrouping grouped = groupByExposure(pictures);
    if (!o.quiet) {
        const std::size_t length = grouped.brackets.empty() ? 0 : grouped.brackets.front().size();
        if (grouped.source == ExposureSource::None) {
            std::fprintf(stderr, "sombrel-cli: no repeating exposure pattern in the EXIF: brackets of 3 pictures\n");
        } else {
            std::fprintf(stderr, "sombrel-cli: brackets of %zu pictures, by the repeating exposure %s\n", length,
                         grouped.source == ExposureSource::Bias ? "bias" : "times");
        }
    }
    return std::move(grouped.brackets);
}

std::vector<PlannedBracket> planBatch(const BatchOptions& o, const std::vector<std::string>& files,
                                      const Brackets& brackets) {
    std::vector<PlannedBracket> plan;
    std::map<std::string, std::size_t> outputs;
    std::set<std::string> inputs;
    const auto sameFile = [](const std::string& path) {
        std::error_code error;
        const fs::path canonical = fs::weakly_canonical(fs::absolute(path), error);
        return error ? path : canonical.string();
    };
    for (const std::string& f : files) inputs.insert(sameFile(f));
    for (std::size_t k = 0; k < brackets.size(); ++k) {
        PlannedBracket b;
        b.index = k + 1;
        for (const std::size_t i : brackets[k]) b.files.push_back(files[i]);
        std::string problem;
        const auto name = outputName(o.namePattern, b.files.front(), b.index, brackets.size(), b.files.size(),
                                     extensionOf(o.format), &problem);
        if (!name) throw CliError(kUsage, "--name " + o.namePattern + ": " + problem);
        b.output = o.outDir.empty() ? *name : (fs::path(o.outDir) / *name).string();
        const std::string key = sameFile(b.output);
        if (const auto [it, fresh] = outputs.emplace(key, b.index); !fresh) {
            throw CliError(kUsage, "brackets " + std::to_string(it->second) + " and " + std::to_string(b.index) +
                                       " would both be written to " + b.output + " (put {index} in --name)");
        }
        if (inputs.count(key)) {
            throw CliError(kUsage, "bracket " + std::to_string(b.index) + " would be written over the picture " +
                                       b.output + " (change --name or --out)");
        }
        plan.push_back(std::move(b));
    }
    return plan;
}

// Brackets at once: what was asked for (else the cores), as far as the memory takes them.
std::size_t jobsFor(const BatchOptions& o, const std::vector<const PlannedBracket*>& work) {
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    std::size_t jobs = o.jobs ? static_cast<std::size_t>(*o.jobs) : cores;
    jobs = std::min(jobs, std::max<std::size_t>(1, work.size()));
    if (jobs <= 1) return 1;
    const auto size = probePictureSize(work.front()->files.front());
    if (!size) return jobs;
    const std::uint64_t need = projectNeed(size->width, size->height).bytes;
    const MemoryLimit limit = availableMemory();
    if (need == 0 || limit.source == MemoryLimitSource::Unknown) return jobs;
    const std::size_t fit = static_cast<std::size_t>(std::max<std::uint64_t>(1, limit.bytes / need));
    if (fit < jobs) {
        if (o.jobs && !o.quiet) {
            std::fprintf(stderr, "sombrel-cli: memory for %zu bracket%s at once: running %zu, not %d\n", fit,
                         fit == 1 ? "" : "s", fit, *o.jobs);
        }
        jobs = fit;
    }
    return jobs;
}

struct BracketResult {
    const PlannedBracket* bracket = nullptr;
    std::string status;  // "done", "failed", "skipped"
    std::string message;
    double seconds = 0.0;
};

std::string reportLine(const BracketResult& r) {
    nlohmann::ordered_json line;
    line["index"] = r.bracket->index;
    line["files"] = r.bracket->files;
    line["output"] = r.bracket->output;
    line["status"] = r.status;
    line["message"] = r.message;
    line["seconds"] = std::round(r.seconds * 1000.0) / 1000.0;
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The run's bookkeeping: the report file, the progress lines and the counts, one bracket at a time.
class BatchLedger {
public:
    BatchLedger(const BatchOptions& options, std::FILE* report, std::size_t total)
        : options_(options), report_(report), total_(total), start_(Clock::now()) {}

    void record(const BracketResult& r) {
        std::lock_guard lock(mutex_);
        writeReport(r);
        if (r.status == "skipped") {
            ++skipped_;
            return;
        }
        ++finished_;
        if (r.status == "failed") {
            ++failed_;
            std::fprintf(stderr, "sombrel-cli: bracket %zu (%s): %s\n", r.bracket->index,
                         r.bracket->files.front().c_str(), r.message.c_str());
        }
        if (options_.quiet) return;
        const double elapsed = secondsSince(start_);
        const int percent = static_cast<int>(finished_ * 100 / std::max<std::size_t>(1, total_));
        std::string line = "bracket " + std::to_string(finished_) + " of " + std::to_string(total_) + " (" +
                           std::to_string(percent) + "%): " + (r.status == "done" ? "wrote " + r.bracket->output : "failed");
        if (finished_ < total_) line += "; about " + durationText(elapsed / finished_ * (total_ - finished_)) + " left";
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }

    void summary() const {
        if (options_.quiet) return;
        std::fprintf(stderr, "sombrel-cli: batch: %zu written, %zu failed, %zu skipped in %s\n", finished_ - failed_,
                     failed_, skipped_, durationText(secondsSince(start_)).c_str());
    }

    std::size_t failed() const { return failed_; }
    bool reportBroken() const { return reportBroken_; }

private:
    void writeReport(const BracketResult& r) {
        if (!report_ || reportBroken_) return;
        const std::string line = reportLine(r) + "\n";
        if (std::fwrite(line.data(), 1, line.size(), report_) != line.size() || std::fflush(report_) != 0) {
            reportBroken_ = true;
            std::fprintf(stderr, "sombrel-cli: cannot write the report %s: %s\n", options_.report.c_str(),
                         std::strerror(errno));
        }
    }

    const BatchOptions& options_;
    std::FILE* report_;
    std::size_t total_;
    Clock::time_point start_;
    std::mutex mutex_;
    std::size_t finished_ = 0, failed_ = 0, skipped_ = 0;
    bool reportBroken_ = false;
};

bool lacksMemory(const RunOutcome& outcome) {
    return outcome.status == kBadInput &&
           outcome.message.find(englishText(Message{MessageId::NotEnoughMemory})) != std::string::npos;
}

// Runs the brackets on `jobs` threads. A bracket refused for memory while others ran is tried
// again alone at the end. A usage mistake (the same for every bracket) stops the batch.
RunOutcome runBrackets(const std::vector<Operator>& table, const BatchOptions& o,
                       const std::vector<const PlannedBracket*>& work, std::size_t jobs, BatchLedger& ledger) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    RunOutcome usage;
    std::vector<const PlannedBracket*> retry;

    const auto runOne = [&](const PlannedBracket& b, bool alone) {
        const Clock::time_point start = Clock::now();
        const RunOutcome outcome = runCommandLine(table, bracketCommand(o, b.files, b.output), true);
        if (!alone && lacksMemory(outcome)) {
            std::lock_guard lock(mutex);
            retry.push_back(&b);
            return;
        }
        if (outcome.status == kUsage) {
            std::lock_guard lock(mutex);
            if (!stop.exchange(true)) usage = outcome;
        }
        ledger.record({&b, outcome.status == kOk ? "done" : "failed", outcome.message, secondsSince(start)});
    };
    const auto worker = [&] {
        while (!stop.load()) {
            const std::size_t k = next.fetch_add(1);
            if (k >= work.size()) break;
            runOne(*work[k], jobs == 1);
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t j = 1; j < jobs; ++j) threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads) t.join();
    std::sort(retry.begin(), retry.end(), [](auto* a, auto* b) { return a->index < b->index; });
    for (const PlannedBracket* b : retry) {
        if (!stop.load()) runOne(*b, true);
    }
    return usage;
}

void printBatchHelp() {
    std::printf(
        "Usage: sombrel-cli batch [options] FILE-OR-FOLDER... [-- operators]\n"
        "Groups the pictures into brackets and makes one picture of each, as\n"
        "  sombrel-cli --open FIRST --open ... [--recipe R] [operators] --save OUTPUT\n"
        "would. Folders give the pictures in them (hidden files left out), sorted by name.\n\n"
        "  --group count:N|time:SECONDS|exposure  brackets of N pictures; a new bracket where the EXIF capture\n"
        "                                         times of neighbours are more than SECONDS apart; or (default)\n"
        "                                         by the repeating pattern of the EXIF exposure bias or, failing\n"
        "                                         that, exposure time, else brackets of 3\n"
        "  --recipe FILE                          run the recipe on each bracket\n"
        "  --out DIR                              folder of the outputs (made if missing; default: here)\n"
        "  --name PATTERN                         output name without extension (default {first}-hdr): {first}\n"
        "                                         the first picture's name, {index} the bracket's number,\n"
        "                                         {count} its number of pictures\n"
        "  --format tiff|bmp|jpeg|png             the outputs' format (tiff); the save options --bits,\n"
        "                                         --compression, --quality and --metadata as for --save\n"
        "  --shift auto                           align each picture after a bracket's first automatically\n"
        "  --tiff-gamma yes|no                    gamma correction of 16/32-bit TIFF pictures (yes)\n"
        "  --dry-run                              print the plan, one JSON line a bracket (index, files, output),\n"
        "                                         and write nothing\n"
        "  --jobs N                               brackets at once (default: as many as fit in memory, at most\n"
        "                                         the cores; never more than fit)\n"
        "  --shard I/N                            only brackets I, I+N, I+2N, ... (I from 1 to N), for a job\n"
        "                                         array or GNU parallel to share a shoot between machines\n"
        "  --skip-existing                        leave out brackets whose output exists\n"
        "  --report FILE|-                        one JSON line a bracket: index, files, output, status\n"
        "                                         (done, failed, skipped), message, seconds\n"
        "  --quiet                                no progress lines\n"
        "  -- operators                           ordinary operators (tone, filters, ...) run on each bracket\n"
        "                                         before it is saved\n\n"
        "A bracket that fails (a bad file, pictures of different sizes) is reported and the others go on.\n"
        "Exit status: 0 every bracket written or skipped, 4 some failed, 1 bad usage, 2 pictures that\n"
        "cannot be grouped or found, 3 an output folder or report that cannot be written.\n");
}

int batchMain(const std::vector<Operator>& table, const std::vector<std::string>& args, bool quiet) {
    const BatchOptions o = parseBatchOptions(args, quiet);
    if (o.help) {
        printBatchHelp();
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            throw CliError(kBadOutput, "the help text could not be written to standard output");
        }
        return kOk;
    }
    if (o.inputs.empty()) throw CliError(kUsage, "batch: no pictures given (see sombrel-cli batch --help)");
    checkBracketCommand(table, o);
    const std::vector<std::string> files = batchInputs(o.inputs);
    if (files.empty()) throw CliError(kBadInput, "batch: no pictures found");
    const std::vector<PlannedBracket> plan = planBatch(o, files, groupPictures(o, files));

    std::vector<const PlannedBracket*> work, skipped;
    for (const PlannedBracket& b : plan) {
        if (!inShard(b.index, o.shard)) continue;
        std::error_code error;
        (o.skipExisting && fs::exists(b.output, error) ? skipped : work).push_back(&b);
    }
    if (o.dryRun) {
        for (const PlannedBracket* b : work) std::printf("%s\n", planLine(*b).c_str());
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            throw CliError(kBadOutput, "the plan could not be written to standard output");
        }
        return kOk;
    }
    if (!o.outDir.empty()) {
        std::error_code error;
        fs::create_directories(o.outDir, error);
        if (error) throw CliError(kBadOutput, "cannot make the folder " + o.outDir + ": " + error.message());
    }
    std::FILE* report = nullptr;
    if (o.report == "-") {
        report = stdout;
    } else if (!o.report.empty()) {
        report = std::fopen(o.report.c_str(), "w");
        if (!report) throw CliError(kBadOutput, "cannot write the report " + o.report + ": " + std::strerror(errno));
    }
    BatchLedger ledger(o, report, work.size());
    for (const PlannedBracket* b : skipped) ledger.record({b, "skipped", "the output exists", 0.0});
    const RunOutcome usage = runBrackets(table, o, work, jobsFor(o, work), ledger);
    ledger.summary();
    if (report && report != stdout && std::fclose(report) != 0 && !ledger.reportBroken()) {
        throw CliError(kBadOutput, "cannot write the report " + o.report + ": " + std::strerror(errno));
    }
    // The bracket's own line has said what was wrong.
    if (usage.status != kOk) return usage.status;
    if (ledger.reportBroken()) return kBadOutput;
    return ledger.failed() > 0 ? kSomeFailed : kOk;
}

}  // namespace

int runBatch(const std::vector<Operator>& table, const std::vector<std::string>& args, bool quiet) {
    try {
        return batchMain(table, args, quiet);
    } catch (const CliError& e) {
        std::fprintf(stderr, "sombrel-cli: %s\n", e.what());
        return e.status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "sombrel-cli: Not enough memory!\n");
        return kBadInput;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sombrel-cli: %s\n", e.what());
        return kBadInput;
    }
}

}  // namespace sv::cli
