// The ledger's location, strict decoding, and its lock across descriptors and
// processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <utility>

#include "Services/NotificationDeliveryFailure.h"
#include "tests/Services/PresenterFixture.h"
#include "tests/support/SpawnedTestProcess.h"

// In a child process: takes the ledger lock (without waiting), says "locked" or
// "busy", and keeps it until its stdin closes.
TAMSEL_TEST_PROCESS_ROLE(hold_ledger_lock) {
    const char* path = std::getenv("TAMSEL_TEST_LOCK_FILE");
    if (!path) return 2;
    int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return 3;
    bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    std::cout << (locked ? "locked" : "busy") << std::endl;
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
}

namespace presentation_test {
namespace {

using tamsel::testing::SpawnedTestProcess;
using ::testing::IsEmpty;
using Entries = NotificationRevisionLedger::Entries;

// The ledger's file on real files in a directory of its own, holding `text` when given.
struct LedgerOnDisk {
    explicit LedgerOnDisk(const std::optional<std::string>& text = std::nullopt) {
        if (text) files.writeFileAtomically(file, *text);
    }
    ScratchDirectory dir;
    PosixFileSystem files{dir.path()};
    const std::filesystem::path file = dir.path() / NotificationRevisionLedger::kFileName;
};

TEST(RevisionLedger, LocationFollowsTheGroupSettingOrFallsBackToApplicationSupport) {
    struct Row {
        const char* name;
        std::optional<PropertyValue> group;
        std::optional<std::string> identifier;
        std::string expected;  // relative to the platform root
    };
    const Row rows[] = {
        {"group with a container", PropertyValue{kGroup}, "com.example.ext",
         "containers/" + kGroup + "/NotificationDelivery/notification-revisions.v2.json"},
        {"group setting that is not a string", PropertyValue{std::int64_t{7}}, "com.example.ext",
         "application-support/com.example.ext/notification-revisions.v2.json"},
        {"no group setting", std::nullopt, "com.example.ext",
         "application-support/com.example.ext/notification-revisions.v2.json"},
        {"no group setting, no identifier", std::nullopt, std::nullopt,
         "application-support/Tamsel/notification-revisions.v2.json"},
        {"identifier that is not one directory name", std::nullopt, "/etc",
         "application-support/Tamsel/notification-revisions.v2.json"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PresenterFixture f;
        if (row.group)
            f.bundle->set("TAMSEL_NOTIFICATION_APP_GROUP", *row.group);
        else
            f.bundle->erase("TAMSEL_NOTIFICATION_APP_GROUP");
        f.bundle->setIdentifier(row.identifier);
        auto url = f.presenter().ledgerURL();
        EXPECT_EQ(url, f.scratch.path() / row.expected);
        EXPECT_EQ(tamsel::testing::permissionsOf(url.parent_path()), 0700u);
    }
}

TEST(RevisionLedger, GroupWithoutContainerIsACredentialFailureAndCreatesNothing) {
    PresenterFixture f;
    f.bundle->set("TAMSEL_NOTIFICATION_APP_GROUP", PropertyValue{std::string("group.missing")});
    using Kind = NotificationDeliveryFailure::Kind;
    expectFailure(Kind::credential, [&] { f.presenter().apply(kReceiver, {change("n1", "1")}); });
    expectFailure(Kind::credential, [&] { f.presenter().applyBadge({kReceiver, "1", 1}); });
    EXPECT_FALSE(std::filesystem::exists(f.scratch.path() / "containers" / "group.missing"));
    EXPECT_FALSE(std::filesystem::exists(f.scratch.path() / "application-support"));
    EXPECT_EQ(f.platformCalls(), 0);
}

TEST(RevisionLedger, UndecodableFileFailsBeforeAnyWorkAndIsLeftAsItWas) {
    struct Row {
        const char* name;
        std::string text;
        bool parseError;  // else a type error (wrong shape)
    };
    const Row rows[] = {
        {"not JSON", "{\"a\":", true},
        {"empty file", "", true},
        {"invalid UTF-8", "{\"\xff\":{}}", true},
        {"top-level array", "[]", false},
        {"top-level number", "42", true},
        {"member that is a number", R"({"r:n1":1})", false},
        {"member that is a string", R"({"r:n1":"x"})", false},
        {"member that is an array", R"({"r:n1":[]})", false},
        {"entry value that is a number", R"({"r:n1":{"revision":1}})", false},
        {"entry value that is null", R"({"r:n1":{"revision":null}})", false},
        {"entry value that is an object", R"({"r:n1":{"revision":{"a":"b"}}})", false},
        {"entry value that is a boolean", R"({"$badge":{"count":true}})", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PresenterFixture f;
        f.writeLedgerText(row.text);
        for (int call = 0; call < 2; ++call) {
            try {
                if (call == 0)
                    f.presenter().apply(kReceiver, {change("n1", "1"), withdrawal("n2", "1")});
                else
                    f.presenter().applyBadge({kReceiver, "1", 3});
                ADD_FAILURE() << "expected a decode error";
            } catch (const nlohmann::json::parse_error&) {
                EXPECT_TRUE(row.parseError);
            } catch (const nlohmann::json::type_error&) {
                EXPECT_FALSE(row.parseError);
            }
        }
        EXPECT_EQ(f.platformCalls(), 0);
        EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()), row.text);
        EXPECT_TRUE(f.lockIsFree());
    }
}

TEST(RevisionLedger, EmptyObjectReadsAsAnEmptyLedger) {
    PresenterFixture f;
    f.writeLedgerText("{}");
    f.presenter().apply(kReceiver, {change("n1", "1")});
    EXPECT_EQ(f.center->added().size(), 1u);
}

TEST(RevisionLedger, LockThatCannotBeOpenedOrTakenFailsWithResponseAndLeaksNothing) {
    struct Row {
        const char* name;
        FileOperation operation;
    };
    for (const auto& row :
         {Row{"open fails", FileOperation::open}, Row{"flock fails", FileOperation::flock}}) {
        SCOPED_TRACE(row.name);
        PresenterFixture f;
        f.files->failRawCall(row.operation, 1, EIO);
        expectResponse([&] { f.presenter().apply(kReceiver, {change("n1", "1")}); });
        f.files->failRawCall(row.operation, 1, EIO);
        expectResponse([&] { f.presenter().applyBadge({kReceiver, "1", 1}); });
        EXPECT_THAT(f.files->openDescriptors(), IsEmpty());
        EXPECT_EQ(f.files->calls(FileOperation::readFile), 0);
        EXPECT_EQ(f.platformCalls(), 0);
    }
}

TEST(RevisionLedger, ReadErrorPassesThroughWithTheLockReleased) {
    PresenterFixture f;
    f.writeLedger({{ledgerKey("n1"), ledgerEntry("1", "available", "none")}});
    f.files->failNext(FileOperation::readFile, FileSystemError(EACCES, "read"));
    EXPECT_EQ(thrownErrno<FileSystemError>([&] { f.presenter().apply(kReceiver, {change("n1", "2")}); }),
              EACCES);
    EXPECT_THAT(f.files->openDescriptors(), IsEmpty());
    EXPECT_TRUE(f.lockIsFree());
}

TEST(RevisionLedger, LockHeldByAnotherProcessFailsBothEntryPointsAtOnce) {
    PresenterFixture f;
    f.writeLedger({{ledgerKey("n1"), ledgerEntry("1", "available", "none")}});
    const std::string before = tamsel::testing::readText(f.ledgerFile());
    SpawnedTestProcess holder("hold_ledger_lock", {{"TAMSEL_TEST_LOCK_FILE", f.lockFile().string()}});
    ASSERT_EQ(holder.readLine(), "locked");

    expectResponse([&] { f.presenter().apply(kReceiver, {change("n1", "2")}); });
    expectResponse([&] { f.presenter().applyBadge({kReceiver, "5", 5}); });
    EXPECT_EQ(f.platformCalls(), 0);
    EXPECT_EQ(f.files->calls(FileOperation::readFile), 0);
    EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()), before);

    holder.closeInput();
    EXPECT_EQ(holder.wait(), 0);
    f.presenter().apply(kReceiver, {change("n1", "2")});
    EXPECT_EQ(f.entry("n1"), ledgerEntry("2", "available", "none"));
}

// While a call waits on the notification centre it still holds the lock: another
// process, and another descriptor of this one, find it taken.
TEST(RevisionLedger, LockIsHeldAcrossTheCallsWaitsOnThePlatform) {
    PresenterFixture f;
    std::optional<std::string> childSaw;
    bool secondDescriptorLocked = true;
    f.center->beforeAdd([&](const NotificationRequest&) {
        SpawnedTestProcess probe("hold_ledger_lock", {{"TAMSEL_TEST_LOCK_FILE", f.lockFile().string()}});
        childSaw = probe.readLine();
        probe.closeInput();
        probe.wait();
        secondDescriptorLocked = f.lockIsFree();
    });
    f.presenter().apply(kReceiver, {change("n1", "1")});
    EXPECT_EQ(childSaw, "busy");
    EXPECT_FALSE(secondDescriptorLocked);
    EXPECT_TRUE(f.lockIsFree());
}

TEST(RevisionLedger, DecodeAndEncodeKeepEveryMember) {
    const std::string text =
        R"({"$badge":{"count":"-3","receiver":"r","revision":"9"},"other":{},"r:n":{"extra":"\u00e9/","revision":"1"}})";
    auto entries = NotificationRevisionLedger::decode(text);
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries["r:n"]["extra"], "\xc3\xa9/");
    EXPECT_EQ(NotificationRevisionLedger::decode(NotificationRevisionLedger::encode(entries)), entries);
}

// Members named twice keep their last value at both levels, whichever of the
// two is not a ledger value; escapes are read as in any JSON text.
TEST(RevisionLedger, DecodesMembersNamedTwiceAndEscapesAsTheJsonReader) {
    struct Row {
        const char* name;
        std::string text;
        std::optional<Entries> entries;  // nothing: a type error
    };
    const Row rows[] = {
        {"entry twice", R"({"a":{"x":"1"},"a":{"y":"2"}})", Entries{{"a", {{"y", "2"}}}}},
        {"entry twice, the first not an object", R"({"a":1,"a":{"x":"2"}})", Entries{{"a", {{"x", "2"}}}}},
        {"entry twice, the last not an object", R"({"a":{"x":"1"},"a":[]})", std::nullopt},
        {"member twice", R"({"a":{"x":"1","x":"2"}})", Entries{{"a", {{"x", "2"}}}}},
        {"member twice, the first not a string", R"({"a":{"x":{"y":"z"},"x":"2"},"b":{}})",
         Entries{{"a", {{"x", "2"}}}, {"b", {}}}},
        {"member twice, the last not a string", R"({"a":{"x":"1","x":null}})", std::nullopt},
        {"escapes and space", " {\"a\\u0041\" : {\"\\u00e9\":\"\\n\\\"\"} } \n",
         Entries{{"aA", {{"\xc3\xa9", "\n\""}}}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.entries) {
            EXPECT_EQ(NotificationRevisionLedger::decode(row.text), *row.entries);
        } else {
            EXPECT_THROW(NotificationRevisionLedger::decode(row.text), nlohmann::json::type_error);
        }
    }
}

// The ledger writes its bytes itself; they must be the JSON writer's, escapes,
// key order and refusal of text that is not UTF-8 included.
TEST(RevisionLedger, EncodesExactlyAsTheJsonWriter) {
    struct Row {
        const char* name;
        Entries entries;
    };
    const Row rows[] = {
        {"empty", {}},
        {"entry without members", {{"r:n", {}}}},
        {"plain entries in key order",
         {{"r:b", {{"state", "available"}, {"revision", "12"}, {"intent", "none"}}},
          {"$badge", {{"receiver", "r"}, {"revision", "3"}, {"count", "-1"}}},
          {"r:a", {{"revision", "1"}}}}},
        {"quote, backslash, slash and tilde", {{"k\"\\/~", {{"a\\", "\"x\""}}}}},
        {"control characters", {{std::string("c\x01\x1f\n\t\b\f\r", 9), {{"v", std::string("\0z", 2)}}}}},
        {"delete and non-ASCII", {{"\x7f", {{"n", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"}}}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Json document = Json::object();
        for (const auto& [key, entry] : row.entries) {
            Json object = Json::object();
            for (const auto& [name, text] : entry) object[name] = text;
            document[key] = std::move(object);
        }
        const std::string bytes = NotificationRevisionLedger::encode(row.entries);
        EXPECT_EQ(bytes, tamsel::platform::writeJson(document));
        EXPECT_EQ(NotificationRevisionLedger::decode(bytes), row.entries);
    }
    for (const std::string bad : {"\xff", "a\xc3", "\xed\xa0\x80"}) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        EXPECT_THROW(NotificationRevisionLedger::encode({{"r:n", {{"revision", bad}}}}),
                     nlohmann::json::type_error);
        EXPECT_THROW(NotificationRevisionLedger::encode({{bad, {}}}), nlohmann::json::type_error);
    }
}

// A record is encoded beside the entries without changing them; wherever its
// key sorts, the file must hold exactly the entries with it in place.
TEST(RevisionLedger, RecordWritesTheEntriesWithTheMemberInPlace) {
    const Entries before{{"r:b", {{"revision", "2"}}}, {"r:d", {{"revision", "4"}}}};
    for (const std::string key : {"r:a", "r:b", "r:c", "r:d", "r:e"}) {
        SCOPED_TRACE(key);
        LedgerOnDisk disk(NotificationRevisionLedger::encode(before));
        auto& [dir, files, file] = disk;
        NotificationRevisionLedger ledger(files, file);
        auto prepared = ledger.prepare(key, {{"revision", "9"}}, false);
        EXPECT_EQ(ledger.entries(), before) << "nothing is seen before the commit";
        EXPECT_EQ(files.readFile(file), NotificationRevisionLedger::encode(before));
        prepared.commit();
        Entries expected = before;
        expected[key] = {{"revision", "9"}};
        EXPECT_EQ(ledger.entries(), expected);
        EXPECT_EQ(files.readFile(file), NotificationRevisionLedger::encode(expected));
    }
}

// Real files whose staged commits can fail after the rename: the file is put in
// place, then the directory's fsync reports an error. FaultyFileSystem cannot
// stand between the two halves of a commit, hence this double.
class DirectorySyncFailure final : public FileSystem {
  public:
    explicit DirectorySyncFailure(std::shared_ptr<FileSystem> real) : real_(std::move(real)) {}
    void failNextCommit() { failNext_ = true; }

    using FileSystem::stageFile;
    std::unique_ptr<StagedFile> stageFile(const std::filesystem::path& path,
                                          std::span<const std::string_view> pieces) override {
        class Staged final : public StagedFile {
          public:
            Staged(std::unique_ptr<StagedFile> real, bool fail) : real_(std::move(real)), fail_(fail) {}
            void commit() override {
                real_->commit();
                if (fail_) throw FileSystemError(EIO, "fsync");
            }

          private:
            std::unique_ptr<StagedFile> real_;
            bool fail_;
        };
        return std::make_unique<Staged>(real_->stageFile(path, pieces), std::exchange(failNext_, false));
    }
    std::optional<std::filesystem::path> containerDirectory(const std::string& group) override {
        return real_->containerDirectory(group);
    }
    std::filesystem::path applicationSupportDirectory() override {
        return real_->applicationSupportDirectory();
    }
    void createDirectories(const std::filesystem::path& path, mode_t mode) override {
        real_->createDirectories(path, mode);
    }
    bool exists(const std::filesystem::path& path) override { return real_->exists(path); }
    using FileSystem::readFile;
    std::string readFile(const std::filesystem::path& path, std::size_t spare) override {
        return real_->readFile(path, spare);
    }
    void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) override {
        real_->writeFileAtomically(path, bytes);
    }
    void setPermissions(const std::filesystem::path& path, mode_t mode) override {
        real_->setPermissions(path, mode);
    }
    int open(const std::filesystem::path& path, int flags, mode_t mode) override {
        return real_->open(path, flags, mode);
    }
    int flock(int fd, int operation) override { return real_->flock(fd, operation); }
    int close(int fd) override { return real_->close(fd); }

  private:
    std::shared_ptr<FileSystem> real_;
    bool failNext_ = false;
};

// A record whose file reached its place stays in the ledger when a later step
// of the write fails, so the next record of the same page keeps it; one that
// never reached its place stays out. The error ends the record either way.
TEST(RevisionLedger, ARecordStaysOnceItsFileIsInPlaceWhateverFailsAfter) {
    const NotificationRevisionLedger::Entry first{{"revision", "1"}}, second{{"revision", "2"}};
    for (bool renamed : {false, true}) {
        SCOPED_TRACE(renamed ? "the directory's fsync fails after the rename" : "the write fails before it");
        ScratchDirectory dir;
        auto real = std::make_shared<PosixFileSystem>(dir.path());
        // FaultyFileSystem stages through writeFileAtomically (the default), so
        // failing that fails the commit before anything is in place.
        auto faulty = std::make_shared<FaultyFileSystem>(real);
        auto syncFailing = std::make_shared<DirectorySyncFailure>(real);
        FileSystem& files = renamed ? static_cast<FileSystem&>(*syncFailing) : *faulty;
        const auto file = dir.path() / NotificationRevisionLedger::kFileName;
        {
            NotificationRevisionLedger ledger(files, file);
            if (renamed)
                syncFailing->failNextCommit();
            else
                faulty->failNext(FileOperation::writeFileAtomically, FileSystemError(EIO, "write"));
            EXPECT_THROW(ledger.record("r:a", first, true), FileSystemError);
            ledger.record("r:b", second, true);
        }
        NotificationRevisionLedger reopened(*real, file);
        const Entries expected =
            renamed ? Entries{{"r:a", first}, {"r:b", second}} : Entries{{"r:b", second}};
        EXPECT_EQ(reopened.entries(), expected);
    }
}

// A process reopens the ledger for every page and may skip decoding what it
// read or wrote last; whatever changed the file in between must be seen.
TEST(RevisionLedger, AReopenedLedgerSeesTheFileAsItIsNow) {
    const Entries ours{{"r:a", {{"revision", "1"}}}, {"r:b", {{"revision", "2"}}}};
    struct Row {
        const char* name;
        std::string written;  // by someone else, between the two ledgers
        Entries expected;
    };
    const Row rows[] = {
        {"nothing", NotificationRevisionLedger::encode(ours), ours},
        {"same size, another revision",
         R"({"r:a":{"revision":"1"},"r:b":{"revision":"3"}})",
         {{"r:a", {{"revision", "1"}}}, {"r:b", {{"revision", "3"}}}}},
        {"a member fewer", R"({"r:b":{"revision":"2"}})", {{"r:b", {{"revision", "2"}}}}},
        {"a member more",
         R"({"r:a":{"revision":"1"},"r:b":{"revision":"2"},"r:c":{"revision":"1"}})",
         {{"r:a", {{"revision", "1"}}}, {"r:b", {{"revision", "2"}}}, {"r:c", {{"revision", "1"}}}}},
        {"the same members, spaced", R"({ "r:a":{"revision":"1"}, "r:b":{"revision":"2"} })", ours},
        {"emptied", "{}", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LedgerOnDisk disk;
        auto& [dir, files, file] = disk;
        {
            NotificationRevisionLedger ledger(files, file);
            for (const auto& [key, entry] : ours) ledger.record(key, entry, true);
        }
        files.writeFileAtomically(file, row.written);
        {
            NotificationRevisionLedger reopened(files, file);
            EXPECT_EQ(reopened.entries(), row.expected);
            reopened.record("r:z", {{"revision", "1"}}, true);
        }
        NotificationRevisionLedger again(files, file);
        Entries expected = row.expected;
        expected["r:z"] = {{"revision", "1"}};
        EXPECT_EQ(again.entries(), expected);
        EXPECT_EQ(files.readFile(file), NotificationRevisionLedger::encode(expected));
    }
}

// Members replaced many times leave their old texts behind in memory; the
// file must only ever hold the live ones, however often that space is reused.
TEST(RevisionLedger, ManyRecordsOfTheSameMembersKeepTheFileExact) {
    LedgerOnDisk disk;
    auto& [dir, files, file] = disk;
    Entries expected;
    NotificationRevisionLedger ledger(files, file);
    for (int i = 0; i < 400; ++i) {
        const std::string key = "r:" + std::to_string(i % 7) + (i % 3 == 0 ? "\u00e9\"" : "");
        NotificationRevisionLedger::Entry entry{{"revision", std::to_string(i)},
                                                {"state", std::string(i % 50, 'x')}};
        ledger.record(key, entry, false);
        expected[key] = entry;
    }
    EXPECT_EQ(ledger.entries(), expected);
    EXPECT_EQ(files.readFile(file), NotificationRevisionLedger::encode(expected));
}

// A file written elsewhere may be out of key order or name a member twice; the
// open ledger reads it as decode() does and writes it back in order.
TEST(RevisionLedger, OpensAFileOutOfOrderOrWithAMemberNamedTwiceAsDecodeReadsIt) {
    const std::string texts[] = {
        R"({"r:b":{"x":"1"},"r:a":{"y":"2"},"r:b":{"x":"3","w":"4"}})",
        R"({"r:b":{"x":"1"},"r:a":{"y":"2"},"r:b":{"x":"3","w":"4"},"r:a":[]})",
        R"({"r:c":{"z":"\u00e9"},"r:b":1,"r:b":{"x":"3","x":"4"}})",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        LedgerOnDisk disk(text);
        auto& [dir, files, file] = disk;
        Entries expected;
        try {
            expected = NotificationRevisionLedger::decode(text);
        } catch (const nlohmann::json::exception&) {
            EXPECT_THROW(NotificationRevisionLedger(files, file), nlohmann::json::exception);
            continue;
        }
        NotificationRevisionLedger ledger(files, file);
        EXPECT_EQ(ledger.entries(), expected);
        ledger.record("r:0", {{"revision", "1"}}, false);
        expected["r:0"] = {{"revision", "1"}};
        EXPECT_EQ(files.readFile(file), NotificationRevisionLedger::encode(expected));
    }
}

// A file exactly as the ledger writes it is taken over as it lies; one that
// only reads the same (spaced, escaped otherwise, a key escaped) is read the
// long way. Either must give the same entries and be written back exactly.
TEST(RevisionLedger, OpensTheSameEntriesHoweverTheFileSpellsThem) {
    const Entries plain{{"r:a", {{"revision", "1"}, {"state", "{\"x\":\"{}\"}"}}},
                        {"r:b", {{"revision", "2"}, {"text", "\u00e9"}}}};
    const Entries escapedKey{{"r:\"q", {{"revision", "1"}}}, {"r:a", {{"revision", "2"}}}};
    const struct {
        const char* name;
        std::string file;
        Entries expected;
    } rows[] = {
        {"as written", NotificationRevisionLedger::encode(plain), plain},
        {"spaced at the end", NotificationRevisionLedger::encode(plain) + "\n", plain},
        {"a value escaped otherwise",
         R"({"r:a":{"revision":"1","state":"{\"x\":\"{}\"}"},"r:b":{"revision":"\u0032","text":"\u00e9"}})",
         plain},
        {"a key with an escape", NotificationRevisionLedger::encode(escapedKey), escapedKey},
        {"empty", "{}", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LedgerOnDisk disk(row.file);
        auto& [dir, files, file] = disk;
        Entries expected = row.expected;
        {
            NotificationRevisionLedger ledger(files, file);
            EXPECT_EQ(ledger.entries(), expected);
            ledger.record("r:0", {{"revision", "1"}}, false);
            ledger.record("r:b", {{"revision", "3"}}, false);
        }
        expected["r:0"] = {{"revision", "1"}};
        expected["r:b"] = {{"revision", "3"}};
        EXPECT_EQ(files.readFile(file), NotificationRevisionLedger::encode(expected));
        NotificationRevisionLedger reopened(files, file);
        EXPECT_EQ(reopened.entries(), expected);
    }
}

}  // namespace
}  // namespace presentation_test
