// sombrel-cli's outputs when things go wrong: targets that are not regular files, full disks and
// closed streams, interrupted saves, reports with any bytes in file names, tone
// options that come too late, and counted words.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_runner.h"
#include "support/test_support.h"

extern char** environ;

namespace sv {
namespace {

using test::cli;
using test::CliRun;
using test::TempDir;
namespace fs = std::filesystem;

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One run of the CLI started by hand, for what std::system cannot arrange: a closed or full
// standard output, a file size limit, extra environment, a signal while it works. The child leads
// a process group of its own, so that anything it started can be cleaned up with it.
class Launched {
public:
    enum class Stdout { File, Full, Closed };
    struct Options {
        Stdout out = Stdout::File;
        rlim_t fileSizeLimit = RLIM_INFINITY;
        std::vector<std::string> env;  // NAME=VALUE, replacing the inherited value
    };

    Launched(const std::vector<std::string>& args, const TempDir& dir, const Options& options)
        : outPath_(dir.file("launched.out")), errPath_(dir.file("launched.err")) {
        std::vector<std::string> argv{SV_CLI_PATH, "--quiet"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = options.env;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            bool replaced = false;
            for (const std::string& mine : options.env) {
                replaced = replaced || entry.substr(0, entry.find('=') + 1) == mine.substr(0, mine.find('=') + 1);
            }
            if (!replaced) env.push_back(entry);
        }
        std::vector<char*> argp, envp;
        for (std::string& a : argv) argp.push_back(a.data());
        for (std::string& e : env) envp.push_back(e.data());
        argp.push_back(nullptr);
        envp.push_back(nullptr);
        const int outFd = options.out == Stdout::File   ? ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                          : options.out == Stdout::Full ? ::open("/dev/full", O_WRONLY)
                                                        : -1;
        const int errFd = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            if (outFd >= 0) ::dup2(outFd, 1);
            else ::close(1);
            ::dup2(errFd, 2);
            const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
            if (options.fileSizeLimit != RLIM_INFINITY) ::setrlimit(RLIMIT_FSIZE, &limit);
            ::execve(argp[0], argp.data(), envp.data());
            ::_exit(127);
        }
        if (outFd >= 0) ::close(outFd);
        ::close(errFd);
    }
    ~Launched() {
        // Whatever the run left running (a stand-in encoder) goes with it.
        if (pid_ > 0) ::kill(-pid_, SIGKILL);
        if (!waited_ && pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }

    pid_t pid() const { return pid_; }
    // The wait status, or -1 when the run did not end within the time (it is then killed).
    int wait(double seconds = 30) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                waited_ = true;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        waited_ = true;
        return status;
    }
    int exitStatus(double seconds = 30) {
        const int status = wait(seconds);
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return test::readBytes(outPath_); }
    std::string err() const { return test::readBytes(errPath_); }

private:
    std::string outPath_, errPath_;
    pid_t pid_ = -1;
    bool waited_ = false;
};

// Waits until `ready` holds, polling; false after `seconds`.
template <typename Ready>
bool waitUntil(Ready ready, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class CliOutputs : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::writeJpeg(dir.file("in.jpg"), test::randomRgb(20, 12, 7), 20, 12, 90));
        ASSERT_TRUE(test::writeJpeg(dir.file("in2.jpg"), test::randomRgb(20, 12, 8), 20, 12, 90));
        in = dir.file("in.jpg");
    }
    TempDir dir;
    std::string in;
};

TEST_F(CliOutputs, ReportAndHelpWriteErrorsEndWithStatusThree) {
    using Stdout = Launched::Stdout;
    {
        Launched ok({"--open", in, "--report", "-"}, dir, {});
        EXPECT_EQ(ok.exitStatus(), 0) << ok.err();
        EXPECT_NE(ok.out().find("\"width\": 20"), std::string::npos);
    }
    {
        Launched full({"--open", in, "--report", "-"}, dir, {Stdout::Full, RLIM_INFINITY, {}});
        EXPECT_EQ(full.exitStatus(), 3);
        EXPECT_NE(full.err().find("report could not be written to standard output: no space left"),
                  std::string::npos) << full.err();
    }
    {
        // A closed stdout: the files the run writes meanwhile are not taken for it.
        Launched closed({"--open", in, "--dump-stack", dir.file("s.pfm"), "--report", "-"}, dir,
                        {Stdout::Closed, RLIM_INFINITY, {}});
        EXPECT_EQ(closed.exitStatus(), 3) << closed.err();
        EXPECT_NE(closed.err().find("standard output"), std::string::npos) << closed.err();
        EXPECT_EQ(test::readPfm(dir.file("s.pfm")).width(), 20);
    }
    {
        Launched help({"--help"}, dir, {Stdout::Full, RLIM_INFINITY, {}});
        EXPECT_EQ(help.exitStatus(), 3);
    }
    const CliRun device = cli({"--open", in, "--report", "/dev/full"}, dir);
    EXPECT_EQ(device.status, 3);
    EXPECT_NE(device.err.find("not a regular file"), std::string::npos) << device.err;
}

TEST_F(CliOutputs, OnlyRegularFilesAreReplaced) {
    ASSERT_EQ(::mkfifo(dir.file("pipe.tif").c_str(), 0644), 0);
    fs::create_directory(dir.file("folder.bmp"));
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"--save", dir.file("pipe.tif")}, "it is not a regular file"},
        {{"--save", dir.file("folder.bmp")}, "it is a folder"},
        {{"--save", "/dev/null", "--format", "bmp"}, "it is not a regular file"},
        {{"--dump-stack", dir.file("pipe.tif")}, "it is not a regular file"},
        {{"--dump-processed", "/dev/full"}, "it is not a regular file"},
        {{"--save", dir.file("none/x.tif")}, "the folder does not exist"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--open", in};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args.front() + " " + c.args[1]);
        // Opening a pipe for writing would block for ever: the run must end by itself.
        Launched run(args, dir, {});
        EXPECT_EQ(run.exitStatus(10), 3);
        EXPECT_NE(run.err().find("cannot write " + c.args[1] + ": " + c.reason), std::string::npos) << run.err();
    }
    EXPECT_TRUE(fs::is_fifo(dir.file("pipe.tif")));
    EXPECT_TRUE(fs::is_empty(dir.file("folder.bmp")));
}

TEST_F(CliOutputs, FullFileSystemLeavesTheOldFilesWholeAndNothingElse) {
    // Past the file size limit a write fails as on a full disk, at a point of our choosing.
    fs::create_directory(dir.file("out"));
    for (const char* name : {"p.tif", "s.pfm", "r.json"}) test::writeBytes(dir.file(std::string("out/") + name), "old");
    const std::vector<std::vector<std::string>> runs = {
        {"--save", dir.file("out/p.tif"), "--compression", "none"},
        {"--dump-stack", dir.file("out/s.pfm")},
        {"--report", dir.file("out/r.json")},
    };
    for (const auto& output : runs) {
        SCOPED_TRACE(output[1]);
        std::vector<std::string> args{"--open", in, "--open", dir.file("in2.jpg")};
        args.insert(args.end(), output.begin(), output.end());
        Launched run(args, dir, {Launched::Stdout::File, 200, {}});
        EXPECT_EQ(run.exitStatus(), 3);
        EXPECT_NE(run.err().find("the file is too large"), std::string::npos) << run.err();
        EXPECT_EQ(test::readBytes(output[1]), "old");
    }
    EXPECT_EQ(namesIn(dir.file("out")), (std::vector<std::string>{"p.tif", "r.json", "s.pfm"}));
}

// ---- interrupted saves -----------------------------------------------------------------------

TEST_F(CliOutputs, InterruptedJpegSaveRemovesBothTemporaryFiles) {
    // A stand-in encoder that says when it has started and then takes its time.
    fs::create_directories(dir.file("bin"));
    fs::create_directories(dir.file("tmp"));
    fs::create_directories(dir.file("out"));
    const std::string encoder = dir.file("bin/cjpeg");
    test::writeBytes(encoder, "#!/bin/sh\nprintf partial\n: > '" + dir.file("started") + "'\nexec sleep 30\n");
    ::chmod(encoder.c_str(), 0755);
    const std::string target = dir.file("out/picture.jpg");
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        test::writeBytes(target, "old picture");
        fs::remove(dir.file("started"));
        Launched run({"--open", in, "--save", target}, dir,
                     {Launched::Stdout::File, RLIM_INFINITY,
                      {"PATH=" + dir.file("bin") + ":/usr/bin:/bin", "TMPDIR=" + dir.file("tmp")}});
        ASSERT_TRUE(waitUntil([&] { return fs::exists(dir.file("started")); }, 20)) << run.err();
        // Now the encoder's input and the JPEG being written both exist.
        EXPECT_EQ(namesIn(dir.file("tmp")).size(), 1u);
        EXPECT_EQ(namesIn(dir.file("out")).size(), 2u);
        ASSERT_EQ(::kill(run.pid(), sig), 0);
        const int status = run.wait();
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_TRUE(namesIn(dir.file("tmp")).empty());
        EXPECT_EQ(namesIn(dir.file("out")), std::vector<std::string>{"picture.jpg"});
        EXPECT_EQ(test::readBytes(target), "old picture");
    }
}

TEST_F(CliOutputs, InterruptedTiffSaveRemovesItsTemporaryFile) {
    // Large enough that encoding the TIFF takes a good while after its temporary file was made.
    const int w = 2400, h = 1600;
    ASSERT_TRUE(test::writeJpeg(dir.file("big.jpg"), test::randomRgb(w, h, 3), w, h, 90));
    fs::create_directories(dir.file("out"));
    const std::string target = dir.file("out/big.tif");
    Launched run({"--open", dir.file("big.jpg"), "--save", target, "--bits", "16"}, dir, {});
    ASSERT_TRUE(waitUntil([&] { return !namesIn(dir.file("out")).empty(); }, 30)) << run.err();
    ASSERT_EQ(::kill(run.pid(), SIGTERM), 0);
    const int status = run.wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "the save ended before the signal: " << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_TRUE(namesIn(dir.file("out")).empty());
}

// ---- the report ------------------------------------------------------------------------------

TEST_F(CliOutputs, ReportIsValidUtf8JsonWhateverBytesAFileNameHolds) {
    if (!test::haveTool(test::systemPython())) GTEST_SKIP() << "python3 is not installed";
    // Valid UTF-8 (kept), stray bytes, a sequence cut short, an overlong form, control characters.
    const std::vector<std::string> names = {"caf\xC3\xA9 \xFF\xFE.jpg", "cut\xE2\x82.jpg", "long\xC0\xAF.jpg",
                                            "tab\there\x01\x7F.jpg"};
    std::vector<std::string> args;
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(test::writeJpeg(dir.file(names[i]), test::randomRgb(20, 12, 20 + i), 20, 12, 90));
        args.insert(args.end(), {"--open", dir.file(names[i])});
    }
    args.insert(args.end(), {"--report", dir.file("r.json"), "--report", "-"});
    const CliRun r = cli(args, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::readBytes(dir.file("r.json")), r.out);
    EXPECT_NE(r.out.find("caf\xC3\xA9"), std::string::npos);  // as it is, not escaped
    test::writeBytes(dir.file("check.py"), R"(
import json, os, sys
report = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8', 'strict'))
for e in report['exposures']:
    print(ascii(os.path.basename(e['path'])))
)");
    FILE* p = popen((std::string(test::systemPython()) + " '" + dir.file("check.py") + "' '" + dir.file("r.json") +
                     "'").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string printed;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) printed += buffer;
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(printed,
              "'caf\\xe9 \\ufffd\\ufffd.jpg'\n"
              "'cut\\ufffd.jpg'\n"
              "'long\\ufffd\\ufffd.jpg'\n"
              "'tab\\there\\x01\\x7f.jpg'\n");
}

// ---- tone options after a render ------------------------------------------------------------

TEST_F(CliOutputs, ToneOptionAfterARenderWarnsAndWaitsForTheNextProcess) {
    const std::string warning = "has no effect on the picture already rendered until the next --process";
    struct Case {
        std::vector<std::string> args;
        std::string warned;  // the option named in the warning; empty: no warning
    } cases[] = {
        {{"--gamma", "150", "--process"}, ""},                                 // nothing rendered yet
        {{"--process", "--gamma", "150"}, "--gamma"},
        {{"--blur", "sigma=10,opacity=100", "--white", "200"}, "--white"},    // rendered for the filter
        {{"--process", "--curve", "linear"}, "--curve"},
        {{"--process", "--point", "100,150"}, "--point"},
        {{"--process", "--open", dir.file("in2.jpg"), "--saturation", "50"}, ""},  // a render comes anyway
        {{"--process", "--gamma", "150", "--process"}, "--gamma"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--open", in};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        const CliRun r = cli(args, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        if (c.warned.empty()) {
            EXPECT_EQ(r.err.find(warning), std::string::npos) << r.err;
        } else {
            EXPECT_NE(r.err.find("warning: " + c.warned + " " + warning), std::string::npos) << r.err;
        }
    }
    // The late setting still counts for the next --process.
    ASSERT_EQ(cli({"--open", in, "--process", "--gamma", "150", "--process", "--dump-processed", dir.file("late.pfm")},
                  dir).status, 0);
    ASSERT_EQ(cli({"--open", in, "--gamma", "150", "--process", "--dump-processed", dir.file("early.pfm")}, dir).status,
              0);
    EXPECT_EQ(test::readBytes(dir.file("late.pfm")), test::readBytes(dir.file("early.pfm")));
    ASSERT_EQ(cli({"--open", in, "--process", "--dump-processed", dir.file("plain.pfm")}, dir).status, 0);
    EXPECT_NE(test::readBytes(dir.file("late.pfm")), test::readBytes(dir.file("plain.pfm")));
}

TEST_F(CliOutputs, CountsInMessagesTakeTheRightNumber) {
    EXPECT_NE(cli({"--open", in, "--remove", "2"}, dir).err.find("--remove 2: there is 1 exposure\n"),
              std::string::npos);
    EXPECT_NE(cli({"--open", in, "--open", dir.file("in2.jpg"), "--remove", "3"}, dir)
                  .err.find("--remove 3: there are 2 exposures\n"),
              std::string::npos);
    EXPECT_NE(cli({"--open", in, "--remove", "1", "--remove", "1"}, dir)
                  .err.find("--remove 1: there are no exposures\n"),
              std::string::npos);
}

}  // namespace
}  // namespace sv
