// A file write in two halves: staged (written and synced beside the file), then
// committed (renamed into place).
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/file/PosixFileSystem.h"
#include "platform/testing/FaultyFileSystem.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using namespace tamsel::platform;
using tamsel::platform::testing::FaultyFileSystem;
using tamsel::platform::testing::FileOperation;
using tamsel::testing::permissionsOf;
using tamsel::testing::readText;
using tamsel::testing::ScratchDirectory;
using tamsel::testing::writeText;

std::vector<std::string> namesIn(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& file : std::filesystem::directory_iterator(directory))
        names.push_back(file.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// More pieces than one writev takes, empty ones among them: the file holds them
// joined, in order, whichever file system writes them.
TEST(PosixStagedFile, WritesPiecesJoinedInOrder) {
    ScratchDirectory root;
    PosixFileSystem posix(root.path());
    FaultyFileSystem joining(std::make_shared<PosixFileSystem>(root.path()));
    std::vector<std::string> texts;
    for (int i = 0; i < 2500; ++i) texts.push_back(i % 7 == 0 ? "" : std::to_string(i) + ",");
    const std::vector<std::string_view> pieces(texts.begin(), texts.end());
    std::string joined;
    for (const auto& text : texts) joined += text;
    for (FileSystem* files : std::initializer_list<FileSystem*>{&posix, &joining}) {
        const auto target = root.path() / "ledger.json";
        files->stageFile(target, pieces)->commit();
        EXPECT_EQ(readText(target), joined);
    }
}

// holds() compares the file with pieces a part at a time: a difference
// anywhere, in a piece or across a read's boundary, and a file shorter or
// longer by a byte must all count, whichever file system compares.
TEST(PosixStagedFile, HoldsOnlyExactlyThePiecesJoined) {
    ScratchDirectory root;
    PosixFileSystem posix(root.path());
    FaultyFileSystem whole(std::make_shared<PosixFileSystem>(root.path()));
    // Pieces of uneven sizes, one larger than a read, empty ones among them.
    std::vector<std::string> texts;
    for (int i = 0; i < 300; ++i)
        texts.push_back(std::string(i % 5 == 0 ? 0 : i * 13 % 900, char('a' + i % 26)));
    texts.push_back(std::string(70000, 'z'));
    texts.push_back("}");
    std::string joined;
    for (const auto& text : texts) joined += text;
    const std::vector<std::string_view> pieces(texts.begin(), texts.end());
    auto changed = [&](std::size_t at) {
        std::string bytes = joined;
        bytes[at] ^= 1;
        return bytes;
    };
    const struct {
        const char* name;
        std::string file;
        bool held;
    } rows[] = {
        {"the same", joined, true},
        {"first byte", changed(0), false},
        {"a byte at a read's boundary", changed(65536), false},
        {"last byte", changed(joined.size() - 1), false},
        {"a byte shorter", joined.substr(1), false},
        {"a byte longer", joined + "}", false},
        {"empty", "", false},
    };
    const auto target = root.path() / "ledger.json";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writeText(target, row.file);
        for (FileSystem* files : std::initializer_list<FileSystem*>{&posix, &whole})
            EXPECT_EQ(files->holds(target, pieces), row.held);
    }
    writeText(target, "");
    EXPECT_TRUE(posix.holds(target, {}));
    std::filesystem::remove(target);
    EXPECT_THROW(posix.holds(target, pieces), FileSystemError);
}

TEST(PosixStagedFile, KeepsTheOldBytesInPlaceUntilCommittedAndTheNewOnesDurableBeside) {
    ScratchDirectory root;
    PosixFileSystem files(root.path());
    const auto target = root.path() / "ledger.json";
    writeText(target, "old");

    auto staged = files.stageFile(target, "new bytes");
    EXPECT_EQ(readText(target), "old");
    auto names = namesIn(root.path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].rfind(".ledger.json.", 0), 0u) << names[0];
    EXPECT_EQ(readText(root.path() / names[0]), "new bytes");
    EXPECT_EQ(permissionsOf(root.path() / names[0]), 0600u);

    staged->commit();
    EXPECT_EQ(readText(target), "new bytes");
    EXPECT_EQ(namesIn(root.path()), std::vector<std::string>{"ledger.json"});
}

TEST(PosixStagedFile, LeavesNothingBehindWhenNotCommittedOrWhenItCannotBeWritten) {
    ScratchDirectory root;
    PosixFileSystem files(root.path());
    const auto target = root.path() / "ledger.json";
    writeText(target, "old");
    files.stageFile(target, "never used");
    EXPECT_EQ(namesIn(root.path()), std::vector<std::string>{"ledger.json"});
    EXPECT_EQ(readText(target), "old");

    EXPECT_THROW(files.stageFile(root.path() / "missing" / "ledger.json", "x"), FileSystemError);

    // The target turned into a directory: the rename fails and the staged bytes go.
    auto staged = files.stageFile(root.path() / "blocked", "x");
    std::filesystem::create_directories(root.path() / "blocked" / "inside");
    EXPECT_THROW(staged->commit(), FileSystemError);
    staged.reset();
    EXPECT_EQ(namesIn(root.path()), (std::vector<std::string>{"blocked", "ledger.json"}));
}

TEST(PosixStagedFile, ByDefaultTheWholeWriteHappensOnCommit) {
    ScratchDirectory root;
    FaultyFileSystem files(std::make_shared<PosixFileSystem>(root.path()));
    const auto target = root.path() / "ledger.json";
    writeText(target, "old");

    auto staged = files.stageFile(target, "new");
    EXPECT_EQ(namesIn(root.path()), std::vector<std::string>{"ledger.json"});
    EXPECT_EQ(files.calls(FileOperation::writeFileAtomically), 0);
    files.failNext(FileOperation::writeFileAtomically, FileSystemError(ENOSPC, "write"));
    EXPECT_THROW(staged->commit(), FileSystemError);
    EXPECT_EQ(readText(target), "old");

    files.stageFile(target, "new")->commit();
    EXPECT_EQ(readText(target), "new");
    EXPECT_EQ(files.calls(FileOperation::writeFileAtomically), 2);
}

}  // namespace

namespace {

TEST(PosixStagedFile, AWriteRemovesOnlyItsOwnTemporaryFilesLeftOverByAnEarlierRun) {
    ScratchDirectory root;
    PosixFileSystem files(root.path());
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(11);
    struct Leftover {
        const char* name;
        bool aged;
        bool removed;
    };
    const Leftover leftovers[] = {
        {".ledger.json.Ab3dE9", true, true},    // ours, from a run long gone
        {".ledger.json.Xy7zQ1", false, false},  // ours, maybe still being written
        {".ledger.json.Ab3dE9x", true, false},  // not a name we make
        {".other.json.Ab3dE9", true, false},    // another file's
        {"ledger.json.Ab3dE9", true, false},    // not hidden: not ours
    };
    for (const auto& leftover : leftovers) {
        writeText(root.path() / leftover.name, "partial");
        if (leftover.aged) std::filesystem::last_write_time(root.path() / leftover.name, old);
    }
    files.writeFileAtomically(root.path() / "ledger.json", "new");
    for (const auto& leftover : leftovers) {
        SCOPED_TRACE(leftover.name);
        EXPECT_EQ(std::filesystem::exists(root.path() / leftover.name), !leftover.removed);
    }
    EXPECT_EQ(readText(root.path() / "ledger.json"), "new");
}

}  // namespace
