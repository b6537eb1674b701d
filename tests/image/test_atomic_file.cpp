// Replacing files: only regular files, through symbolic links in the linked file's own folder,
// keeping the old file's mode and owner, never leaving a temporary file behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "image/atomic_file.h"
#include "support/test_support.h"

namespace sv {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

bool put(const std::string& path, const std::string& bytes, WriteError& error) {
    return test::written(writeFileAtomically(path, [&](std::FILE* f) {
        return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    }), error);
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Sets the process umask for one test and puts the old one back.
struct UmaskFor {
    explicit UmaskFor(mode_t mask) : old(::umask(mask)) {}
    ~UmaskFor() { ::umask(old); }
    mode_t old;
};

TEST(AtomicFile, ReplacedFileKeepsItsModeNewFileTakesTheUmask) {
    TempDir dir;
    const UmaskFor mask(027);
    WriteError error;
    ASSERT_TRUE(put(dir.file("new.bin"), "fresh", error)) << englishText(error);
    EXPECT_EQ(modeOf(dir.file("new.bin")), 0640u);

    for (const mode_t mode : {0600u, 0644u, 0755u, 0660u}) {
        SCOPED_TRACE(mode);
        test::writeBytes(dir.file("old.bin"), "old");
        ::chmod(dir.file("old.bin").c_str(), mode);
        ASSERT_TRUE(put(dir.file("old.bin"), "replaced", error)) << englishText(error);
        EXPECT_EQ(test::readBytes(dir.file("old.bin")), "replaced");
        EXPECT_EQ(modeOf(dir.file("old.bin")), mode);
    }
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"new.bin", "old.bin"}));
}

TEST(AtomicFile, ReplacedFileKeepsItsOwnerWhereWeMaySetIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file to another owner";
    TempDir dir;
    test::writeBytes(dir.file("theirs.bin"), "old");
    ASSERT_EQ(::chown(dir.file("theirs.bin").c_str(), 4321, 4322), 0);
    WriteError error;
    ASSERT_TRUE(put(dir.file("theirs.bin"), "new", error)) << englishText(error);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("theirs.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
}

TEST(AtomicFile, SymbolicLinksAreFollowedAndTheLinkedFileReplacedInItsFolder) {
    TempDir dir;
    fs::create_directories(dir.file("photos/2024"));
    fs::create_directories(dir.file("links"));
    const std::string real = dir.file("photos/2024/pic.tif");
    test::writeBytes(real, "old picture");
    ::chmod(real.c_str(), 0600);
    // A relative link to a relative link: each is read against its own folder.
    fs::create_symlink("../photos/2024/pic.tif", dir.file("links/step.tif"));
    fs::create_symlink("step.tif", dir.file("links/pic.tif"));
    WriteError error;
    ASSERT_TRUE(put(dir.file("links/pic.tif"), "new picture", error)) << englishText(error);
    EXPECT_TRUE(fs::is_symlink(dir.file("links/pic.tif")));
    EXPECT_TRUE(fs::is_symlink(dir.file("links/step.tif")));
    EXPECT_EQ(test::readBytes(real), "new picture");
    EXPECT_EQ(modeOf(real), 0600u);
    EXPECT_EQ(namesIn(dir.file("links")), (std::vector<std::string>{"pic.tif", "step.tif"}));
    EXPECT_EQ(namesIn(dir.file("photos/2024")), std::vector<std::string>{"pic.tif"});

    // A link to a name that does not exist yet creates that file.
    fs::create_symlink(dir.file("photos/later.tif"), dir.file("links/later.tif"));
    ASSERT_TRUE(put(dir.file("links/later.tif"), "made", error)) << englishText(error);
    EXPECT_EQ(test::readBytes(dir.file("photos/later.tif")), "made");
    EXPECT_TRUE(fs::is_symlink(dir.file("links/later.tif")));

    // A loop of links is refused.
    fs::create_symlink("b", dir.file("links/a"));
    fs::create_symlink("a", dir.file("links/b"));
    EXPECT_FALSE(put(dir.file("links/a"), "x", error));
    EXPECT_EQ(error.reason, WriteFailure::TooManyLinks);
}

TEST(AtomicFile, OnlyRegularFilesAreReplaced) {
    TempDir dir;
    fs::create_directory(dir.file("folder.tif"));
    ASSERT_EQ(::mkfifo(dir.file("pipe.tif").c_str(), 0644), 0);
    fs::create_symlink(dir.file("pipe.tif"), dir.file("to-pipe.tif"));
    struct Case {
        std::string target;
        WriteFailure reason;
    } cases[] = {
        {dir.file("folder.tif"), WriteFailure::IsDirectory},
        {dir.file("folder.tif/"), WriteFailure::IsDirectory},
        {dir.file("pipe.tif"), WriteFailure::NotRegularFile},      // would block for ever if opened
        {dir.file("to-pipe.tif"), WriteFailure::NotRegularFile},
        {"/dev/null", WriteFailure::NotRegularFile},
        {dir.file("no/such/x.tif"), WriteFailure::NoSuchFolder},
        {dir.file(std::string(300, 'n') + ".tif"), WriteFailure::NameTooLong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        WriteError error;
        EXPECT_FALSE(put(c.target, "x", error));
        EXPECT_EQ(error.reason, c.reason) << englishText(error);
    }
    EXPECT_TRUE(fs::is_fifo(dir.file("pipe.tif")));
    EXPECT_TRUE(fs::is_empty(dir.file("folder.tif")));
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"folder.tif", "pipe.tif", "to-pipe.tif"}));
}

TEST(AtomicFile, FileSizeLimitFailsTheWriteAndKeepsTheOldFile) {
    TempDir dir;
    test::writeBytes(dir.file("keep.bin"), "old contents");
    rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 4096;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    WriteError error;
    const bool ok = put(dir.file("keep.bin"), std::string(100000, 'x'), error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error.reason, WriteFailure::FileTooLarge) << englishText(error);
    EXPECT_EQ(test::readBytes(dir.file("keep.bin")), "old contents");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"keep.bin"});
}

// Runs `body` as an ordinary user (a child that gives up root, when we are root) and returns the
// reason it reports.
template <typename Body>
WriteFailure asOrdinaryUser(Body body) {
    if (::geteuid() != 0) return body();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        ::_exit(static_cast<int>(body()));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) != 100 ? static_cast<WriteFailure>(WEXITSTATUS(status))
                                                            : WriteFailure::None;
}

TEST(AtomicFile, UnwritableTargetsAreRefusedWithTheirReason) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    test::writeBytes(dir.file("locked.bin"), "old");
    ::chmod(dir.file("locked.bin").c_str(), 0444);
    fs::create_directory(dir.file("shut"));
    ::chmod(dir.file("shut").c_str(), 0555);
    const auto attempt = [](std::string path) {
        return [path] {
            WriteError error;
            return put(path, "new", error) ? WriteFailure::None : error.reason;
        };
    };
    // A read-only file is not replaced behind its owner's back, though its folder is writable.
    EXPECT_EQ(asOrdinaryUser(attempt(dir.file("locked.bin"))), WriteFailure::PermissionDenied);
    EXPECT_EQ(test::readBytes(dir.file("locked.bin")), "old");
    EXPECT_EQ(asOrdinaryUser(attempt(dir.file("shut/x.bin"))), WriteFailure::PermissionDenied);
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"locked.bin", "shut"}));
    EXPECT_TRUE(fs::is_empty(dir.file("shut")));
}

TEST(AtomicFile, WatchedTemporariesAreRemovedOnRequestAndOnlyWhileTheyExist) {
    TempDir dir;
    test::writeBytes(dir.file("target.bin"), "old");
    {
        AtomicFile out;
        WriteError error;
        ASSERT_TRUE(test::written(out.open(dir.file("target.bin")), error));
        ASSERT_TRUE(test::written(out.writeAll("new", 3), error));
        ASSERT_EQ(namesIn(dir.path()).size(), 2u);
        TemporaryFile scratch;
        ASSERT_TRUE(scratch.create(dir.path().string(), "scratch-", ".bmp", 0600));
        EXPECT_EQ(modeOf(scratch.path()), 0600u);
        ASSERT_EQ(namesIn(dir.path()).size(), 3u);
        // What a signal handler does: both temporaries go, the target stays.
        removeWatchedTemporaries();
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"target.bin"});
        EXPECT_FALSE(test::written(out.commit(), error));
        EXPECT_EQ(test::readBytes(dir.file("target.bin")), "old");
    }
    // A committed file is no longer on the list.
    WriteError error;
    ASSERT_TRUE(put(dir.file("target.bin"), "new", error));
    removeWatchedTemporaries();
    EXPECT_EQ(test::readBytes(dir.file("target.bin")), "new");
}

TEST(AtomicFile, ReasonsReadAsEnglishWhateverTheLocale) {
    // An errno without a reason of its own keeps its number and its untranslated description.
    EXPECT_EQ(englishText(writeErrorFromErrno(EIO)), "Input/output error (EIO)");
    EXPECT_EQ(englishText(WriteError{WriteFailure::JpegEncoderFailed, 0, "bad input"}),
              "the JPEG encoder failed: bad input");
}

}  // namespace
}  // namespace sv
