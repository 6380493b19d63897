// The real files below a platform root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file/PosixFileSystem.h"
#include "tests/support/Expect.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using tamsel::platform::FileSystemError;
using tamsel::platform::PosixFileSystem;
using tamsel::testing::permissionsOf;
using tamsel::testing::readText;
using tamsel::testing::ScratchDirectory;
using tamsel::testing::thrownErrno;
using tamsel::testing::writeText;

// Restores the umask on scope exit.
struct Umask {
    explicit Umask(mode_t mask) : old(::umask(mask)) {}
    ~Umask() { ::umask(old); }
    mode_t old;
};

std::size_t entriesIn(const std::filesystem::path& directory) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++n;
    return n;
}

TEST(PosixFileSystem, ContainerExistsOnlyAsADirectoryAndOnlyForOnePlainName) {
    ScratchDirectory root;
    PosixFileSystem files(root.path());
    std::filesystem::create_directories(root.path() / "containers" / "group.a");
    std::filesystem::create_directories(root.path() / "outside");
    writeText(root.path() / "containers" / "group.file", "");

    EXPECT_EQ(files.containerDirectory("group.a"), root.path() / "containers" / "group.a");
    for (const char* group : {"group.b", "group.file", "", ".", "..", "../outside", "group.a/..", "/tmp"}) {
        SCOPED_TRACE(group);
        EXPECT_FALSE(files.containerDirectory(group));
    }
    EXPECT_FALSE(files.containerDirectory(std::string("group.a\0x", 9)));
}

TEST(PosixFileSystem, ApplicationSupportIsCreatedPrivateWhenMissing) {
    ScratchDirectory root;
    Umask mask(022);
    PosixFileSystem files(root.path() / "fresh-root");
    auto directory = files.applicationSupportDirectory();
    EXPECT_EQ(directory, root.path() / "fresh-root" / "application-support");
    EXPECT_EQ(permissionsOf(directory), 0700u);
    EXPECT_EQ(files.applicationSupportDirectory(), directory);
}

TEST(PosixFileSystem, CreateDirectoriesGivesEachNewDirectoryExactlyTheModeAndLeavesExistingOnes) {
    ScratchDirectory root;
    Umask mask(077);
    PosixFileSystem files(root.path());
    std::filesystem::create_directory(root.path() / "existing");
    ::chmod((root.path() / "existing").c_str(), 0755);

    files.createDirectories(root.path() / "existing" / "a" / "b", 0750);
    EXPECT_EQ(permissionsOf(root.path() / "existing"), 0755u);
    EXPECT_EQ(permissionsOf(root.path() / "existing" / "a"), 0750u);
    EXPECT_EQ(permissionsOf(root.path() / "existing" / "a" / "b"), 0750u);
    EXPECT_NO_THROW(files.createDirectories(root.path() / "existing" / "a" / "b", 0700));
    EXPECT_EQ(permissionsOf(root.path() / "existing" / "a" / "b"), 0750u);

    writeText(root.path() / "file", "x");
    EXPECT_EQ(
        thrownErrno<FileSystemError>([&] { files.createDirectories(root.path() / "file" / "below", 0700); }),
        ENOTDIR);
}

TEST(PosixFileSystem, AtomicWriteReplacesWholeWithAPrivateFileAndLeavesNoTemporary) {
    ScratchDirectory root;
    Umask mask(0);
    PosixFileSystem files(root.path());
    auto target = root.path() / "ledger.json";

    files.writeFileAtomically(target, "old");
    EXPECT_EQ(permissionsOf(target), 0600u);
    // A reader that opened the old file keeps reading the old bytes: the new
    // content arrives by rename, never by rewriting in place.
    int reader = ::open(target.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ::chmod(target.c_str(), 0644);
    files.writeFileAtomically(target, std::string(100000, 'n'));
    char buffer[8] = {};
    EXPECT_EQ(::read(reader, buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "old");
    ::close(reader);

    EXPECT_EQ(readText(target), std::string(100000, 'n'));
    EXPECT_EQ(permissionsOf(target), 0600u);
    EXPECT_EQ(entriesIn(root.path()), 1u);
    files.setPermissions(target, 0640);
    EXPECT_EQ(permissionsOf(target), 0640u);
}

TEST(PosixFileSystem, FailedAtomicWriteLeavesTheTargetAndNoTemporary) {
    ScratchDirectory root;
    PosixFileSystem files(root.path());
    auto directory = root.path() / "dir";
    std::filesystem::create_directory(directory);
    auto target = directory / "ledger.json";
    files.writeFileAtomically(target, "kept");
    // The rename target is a non-empty directory: the replace must fail.
    auto blocked = directory / "blocked";
    std::filesystem::create_directories(blocked / "inside");
    EXPECT_THROW(files.writeFileAtomically(blocked, "new"), FileSystemError);
    EXPECT_EQ(readText(target), "kept");
    EXPECT_EQ(entriesIn(directory), 2u);

    EXPECT_THROW(files.writeFileAtomically(root.path() / "missing" / "x", "new"), FileSystemError);
}

TEST(PosixFileSystem, ReadsWholeFilesAndReportsMissingOnes) {
    ScratchDirectory root;
    PosixFileSystem files(root.path());
    std::string bytes(200000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    writeText(root.path() / "data", bytes);
    EXPECT_EQ(files.readFile(root.path() / "data"), bytes);
    EXPECT_TRUE(files.exists(root.path() / "data"));
    EXPECT_FALSE(files.exists(root.path() / "none"));
    EXPECT_EQ(thrownErrno<FileSystemError>([&] { files.readFile(root.path() / "none"); }), ENOENT);
}

TEST(PosixFileSystem, LockIsExclusiveAcrossDescriptorsOfOneProcess) {
    ScratchDirectory root;
    PosixFileSystem files(root.path());
    auto lock = root.path() / "x.lock";
    int first = files.open(lock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    int second = files.open(lock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(files.flock(first, LOCK_EX | LOCK_NB), 0);
    errno = 0;
    EXPECT_NE(files.flock(second, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    EXPECT_EQ(files.flock(first, LOCK_UN), 0);
    EXPECT_EQ(files.flock(second, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(files.close(first), 0);
    EXPECT_EQ(files.close(second), 0);
    EXPECT_LT(files.open(root.path() / "missing" / "x.lock", O_RDWR | O_CREAT, 0600), 0);
}

}  // namespace
