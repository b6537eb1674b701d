// sombrel-cli: the engine of Sombrel Varno driven from the command line. Operators run in the
// order given, like an image tool's command line.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "image/atomic_file.h"

using namespace sv::cli;

namespace {

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

// An interrupted save leaves no temporary file behind; then the process ends by the same signal,
// so that the caller sees how it ended.
extern "C" void removeTemporariesAndEnd(int signal) {
    sv::removeWatchedTemporaries();
    // SA_RESETHAND has put the default action back; the signal stays held until this returns.
    raise(signal);
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = removeTemporariesAndEnd;
    sigemptyset(&action.sa_mask);
    for (const int s : kInterruptSignals) sigaddset(&action.sa_mask, s);
    action.sa_flags = SA_RESETHAND;
    for (const int s : kInterruptSignals) {
        struct sigaction old {};
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
    // Past a file size limit a write fails with EFBIG and is reported, instead of killing the run
    // with its temporary file still there.
    signal(SIGXFSZ, SIG_IGN);
}

// A closed standard descriptor would be taken by the next file we open, and a report meant for
// stdout would land in it. Closed stdin and stderr become /dev/null; a closed stdout becomes
// /dev/null opened for reading only, so that writing a report there fails as it should.
void occupyClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

bool stdoutWritten() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

struct Step {
    const Operator* op;
    std::string value;
    Modifiers modifiers;
};

std::vector<Operator> operatorTable() {
    std::vector<Operator> table;
    table.push_back({"--quiet", "", {}, "no progress line on stderr", [](CliContext&, auto&, auto&) {}});
    table.push_back({"--help", "", {}, "this text", [](CliContext&, auto&, auto&) {}});
    registerStackOperators(table);
    registerToneOperators(table);
    registerFilterOperators(table);
    registerFileOperators(table);
    registerHdrOperators(table);
    registerRecipeOperators(table);
    return table;
}

void printHelp(const std::vector<Operator>& table) {
    std::printf("Usage: sombrel-cli [--tiff-gamma yes|no] [--quiet] --open FILE [--shift DX,DY|auto] ... [operators]\n"
                "Operators run in the order given; positions are those of the window's controls.\n\n");
    for (const Operator& op : table) {
        std::string head = op.name + (op.valueName.empty() ? "" : " " + op.valueName);
        std::printf("  %-44s %s\n", head.c_str(), op.help.c_str());
    }
    std::printf("\nExit status: 0 done, 1 bad usage, 2 an input that cannot be used, 3 an output that cannot be written.\n"
                "Outputs replace only regular files (through symbolic links), keeping their permissions; a save\n"
                "interrupted by SIGINT, SIGTERM or SIGHUP leaves the old file and no temporary file behind.\n");
}

const Operator* find(const std::vector<Operator>& table, const std::string& name) {
    for (const Operator& op : table) {
        if (op.name == name) return &op;
    }
    return nullptr;
}

std::vector<Step> parse(const std::vector<Operator>& table, const std::vector<std::string>& args) {
    std::vector<Step> steps;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (!steps.empty()) {
            const auto& allowed = steps.back().op->modifiers;
            if (std::find(allowed.begin(), allowed.end(), word) != allowed.end()) {
                if (i + 1 >= args.size()) throw CliError(kUsage, word + " needs a value");
                steps.back().modifiers[word] = args[++i];
                continue;
            }
        }
        const Operator* op = find(table, word);
        if (!op) {
            bool isModifier = false;
            for (const Operator& o : table) {
                isModifier = isModifier || std::find(o.modifiers.begin(), o.modifiers.end(), word) != o.modifiers.end();
            }
            if (isModifier) throw CliError(kUsage, word + " must follow the operator it belongs to");
            throw CliError(kUsage, "unknown option '" + word + "' (see --help)");
        }
        Step step{op, {}, {}};
        if (op->optionalValue) {
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) step.value = args[++i];
        } else if (!op->valueName.empty()) {
            if (i + 1 >= args.size()) throw CliError(kUsage, word + " needs " + op->valueName);
            step.value = args[++i];
        }
        steps.push_back(std::move(step));
    }
    return steps;
}

}  // namespace

int main(int argc, char** argv) {
    occupyClosedStandardDescriptors();
    installSignalHandlers();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::vector<Operator> table = operatorTable();
    bool quiet = false;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            printHelp(table);
            if (!stdoutWritten()) {
                std::fprintf(stderr, "sombrel-cli: the help text could not be written to standard output\n");
                return kBadOutput;
            }
            return kOk;
        }
        quiet = quiet || a == "--quiet";
    }
    try {
        if (args.empty()) throw CliError(kUsage, "nothing to do (see --help)");
        const std::vector<Step> steps = parse(table, args);
        if (std::all_of(steps.begin(), steps.end(), [](const Step& s) { return s.op->name == "--quiet"; })) {
            throw CliError(kUsage, "nothing to do (see --help)");
        }
        CliContext context(quiet);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            context.progress.setLabel(step.op->name);
            try {
                if (step.op->name == "--open") {
                    // A run of --open files goes together, so that decoding the next overlaps
                    // adding the current.
                    std::vector<std::pair<std::string, Modifiers>> files;
                    for (; i < steps.size() && steps[i].op->name == "--open"; ++i) {
                        files.emplace_back(steps[i].value, steps[i].modifiers);
                    }
                    --i;
                    openFiles(context, files);
                } else {
                    step.op->run(context, step.value, step.modifiers);
                }
            } catch (const std::bad_alloc&) {
                throw CliError(kBadInput, notEnoughMemoryLine(context.project));
            }
        }
        return kOk;
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
