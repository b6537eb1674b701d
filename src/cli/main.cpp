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

#include "cli/batch.h"
#include "cli/cli.h"
#include "cli/command_run.h"
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

}  // namespace

int main(int argc, char** argv) {
    occupyClosedStandardDescriptors();
    installSignalHandlers();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::vector<Operator> table = operatorTable();
    // "sombrel-cli [--quiet] batch ...": many brackets, each run as an ordinary command line.
    if (const auto batch = std::find_if(args.begin(), args.end(), [](const std::string& a) { return a != "--quiet"; });
        batch != args.end() && *batch == "batch") {
        return runBatch(table, std::vector<std::string>(batch + 1, args.end()), batch != args.begin());
    }
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
    const RunOutcome outcome = runCommandLine(table, args, quiet);
    if (outcome.status != kOk) std::fprintf(stderr, "sombrel-cli: %s\n", outcome.message.c_str());
    return outcome.status;
}
