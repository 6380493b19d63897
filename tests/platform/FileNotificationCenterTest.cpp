// The notification centre kept in one file, shared by threads and processes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/file/FileNotificationCenter.h"
#include "tests/support/Expect.h"
#include "tests/support/Process.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/SpawnedTestProcess.h"

namespace {

using namespace tamsel::platform;
using tamsel::testing::readText;
using tamsel::testing::ScratchDirectory;
using tamsel::testing::thrownCode;
using tamsel::testing::writeText;

const TimePoint kNow = TimePoint(std::chrono::milliseconds(1700000000123));

NotificationRequest request(const std::string& identifier, const std::string& title) {
    NotificationContent content;
    content.title = title;
    content.sound = NotificationSound::defaultSound;
    content.badge = 2;
    content.userInfo = Json{{"k", {{"nested", "v"}}}};
    return {identifier, std::make_shared<const NotificationContent>(content)};
}

struct CenterFile {
    ScratchDirectory root;
    std::filesystem::path path = root.path() / "notification-center.json";
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(kNow);
    FileNotificationCenter center{path, clock};
    Json json() const { return Json::parse(readText(path)); }
};

TEST(FileNotificationCenter, WritesTheDocumentedShape) {
    CenterFile f;
    f.center.add(request("r1", "Hello"));
    EXPECT_EQ(f.json(), (Json{{"delivered",
                               {{{"identifier", "r1"},
                                 {"content", contentToJson(*request("r1", "Hello").content)},
                                 {"date", "2023-11-14T22:13:20.123Z"}}}},
                              {"pending", Json::array()},
                              {"badge", nullptr}}));
    f.center.setBadgeCount(0);
    EXPECT_EQ(f.json()["badge"], 0);
    EXPECT_EQ(f.center.badgeCount(), 0);

    auto delivered = f.center.deliveredNotifications();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].date, kNow);
    EXPECT_EQ(contentToJson(*delivered[0].request.content), contentToJson(*request("r1", "Hello").content));
}

TEST(FileNotificationCenter, AddingAnIdentifierAlreadyDeliveredOrPendingReplacesIt) {
    CenterFile f;
    writeText(f.path, Json{{"delivered", Json::array()},
                           {"pending", {{{"identifier", "r2"}, {"content", {{"title", "scheduled"}}}}}},
                           {"badge", nullptr},
                           {"other", "kept"}}
                          .dump());
    f.center.add(request("r1", "first"));
    f.clock->advance(std::chrono::seconds(1));
    f.center.add(request("r1", "second"));
    f.center.add(request("r2", "now"));

    auto delivered = f.center.deliveredNotifications();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].request.identifier, "r1");
    EXPECT_EQ(delivered[0].request.content->title, "second");
    EXPECT_EQ(delivered[0].date, kNow + std::chrono::seconds(1));
    EXPECT_EQ(delivered[1].request.identifier, "r2");
    EXPECT_TRUE(f.center.pendingNotificationRequests().empty());
    EXPECT_EQ(f.json()["other"], "kept");
}

TEST(FileNotificationCenter, RemovesByIdentifierAndIgnoresUnknownOnes) {
    CenterFile f;
    writeText(f.path, Json{{"pending",
                            {{{"identifier", "p1"}, {"content", Json::object()}},
                             {{"identifier", "p2"}, {"content", Json::object()}}}}}
                          .dump());
    f.center.add(request("d1", "a"));
    f.center.add(request("d2", "b"));
    f.center.removeDeliveredNotifications({"d1", "p1", "unknown"});
    f.center.removePendingNotificationRequests({"p2", "d2"});
    f.center.removeDeliveredNotifications({});

    auto delivered = f.center.deliveredNotifications();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].request.identifier, "d2");
    auto pending = f.center.pendingNotificationRequests();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].identifier, "p1");
}

TEST(FileNotificationCenter, JournalHoldsEveryChangeWithWhatWasRemovedAndWhichProcessMadeIt) {
    CenterFile f;
    const auto journal = f.root.path() / "journal.jsonl";
    FileNotificationCenter center(f.path, f.clock, journal);
    f.center.add(request("before", "not journalled"));
    center.add(request("d1", "a"));
    center.add(request("d1", "again"));
    center.removeDeliveredNotifications({"d1", "unknown"});
    center.removePendingNotificationRequests({"none"});
    center.setBadgeCount(3);
    center.deliveredNotifications();

    const Json pid = static_cast<std::int64_t>(getpid());
    std::vector<Json> lines;
    for (const auto& line : tamsel::testing::splitLines(readText(journal)))
        lines.push_back(Json::parse(line));
    EXPECT_EQ(lines, (std::vector<Json>{
                         {{"operation", "add"},
                          {"pid", pid},
                          {"identifier", "d1"},
                          {"content", contentToJson(*request("d1", "a").content)}},
                         {{"operation", "add"},
                          {"pid", pid},
                          {"identifier", "d1"},
                          {"content", contentToJson(*request("d1", "again").content)}},
                         {{"operation", "removeDelivered"}, {"pid", pid}, {"identifiers", {"d1"}}},
                         {{"operation", "removePending"}, {"pid", pid}, {"identifiers", Json::array()}},
                         {{"operation", "setBadgeCount"}, {"pid", pid}, {"count", 3}},
                     }));
}

TEST(FileNotificationCenter, ChangeWhoseJournalLineCannotBeWrittenIsNotMade) {
    CenterFile f;
    const auto journal = f.root.path() / "journal-is-a-directory";
    std::filesystem::create_directory(journal);
    FileNotificationCenter center(f.path, f.clock, journal);
    f.center.add(request("kept", "shown"));
    const std::string before = readText(f.path);
    for (auto change : std::initializer_list<std::function<void()>>{
             [&] { center.add(request("d1", "a")); }, [&] { center.removeDeliveredNotifications({"kept"}); },
             [&] { center.setBadgeCount(1); }}) {
        EXPECT_EQ(thrownCode<NotificationCenterError>(change), NotificationCenterError::kStoreUnavailable);
        EXPECT_EQ(readText(f.path), before);
    }
}

TEST(FileNotificationCenter, RefusesBadRequestsAndNegativeBadges) {
    CenterFile f;
    struct Row {
        const char* name;
        NotificationRequest request;
    };
    NotificationContent invalidText;
    invalidText.title = std::string("\xff\xfe");
    for (const auto& row :
         {Row{"no content", {"r", nullptr}}, Row{"empty identifier", request("", "x")},
          Row{"text that is not UTF-8", {"r", std::make_shared<NotificationContent>(invalidText)}}}) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(thrownCode<NotificationCenterError>([&] { f.center.add(row.request); }),
                  NotificationCenterError::kInvalidRequest);
    }
    EXPECT_EQ(thrownCode<NotificationCenterError>([&] { f.center.setBadgeCount(-1); }),
              NotificationCenterError::kBadgeRefused);
    EXPECT_FALSE(std::filesystem::exists(f.path));
}

std::vector<std::string> deliveredIdentifiers(FileNotificationCenter& center) {
    std::vector<std::string> out;
    for (const auto& delivered : center.deliveredNotifications()) out.push_back(delivered.request.identifier);
    return out;
}

TEST(FileNotificationCenter, SeesWhatOthersChangedBetweenItsOwnOperations) {
    // Each centre keeps what it last read or wrote; a file changed since, by
    // another centre or by hand, is read again, even when its size is the same.
    CenterFile f;
    FileNotificationCenter other(f.path, f.clock);
    f.center.add(request("r1", "Hello"));
    other.add(request("r2", "Hello"));
    other.setBadgeCount(3);
    f.center.removeDeliveredNotifications({"r2"});
    f.center.add(request("r3", "Hello"));
    EXPECT_EQ(deliveredIdentifiers(other), (std::vector<std::string>{"r1", "r3"}));
    EXPECT_EQ(f.center.badgeCount(), 3);

    std::string text = readText(f.path);
    auto title = text.find("\"Hello\"");
    ASSERT_NE(title, std::string::npos);
    text.replace(title, 7, "\"Hellp\"");
    writeText(f.path, text);
    f.center.add(request("r4", "Hello"));
    auto delivered = other.deliveredNotifications();
    ASSERT_EQ(delivered.size(), 3u);
    EXPECT_EQ(delivered[0].request.content->title, "Hellp");
    EXPECT_EQ(deliveredIdentifiers(f.center), (std::vector<std::string>{"r1", "r3", "r4"}));
}

TEST(FileNotificationCenter, WritesWhatTheJsonWriterWrites) {
    CenterFile f;
    const auto journal = f.root.path() / "journal.jsonl";
    FileNotificationCenter center(f.path, f.clock, journal);
    // Identifiers and text that need escaping, and text beyond ASCII.
    const std::string identifier = "quote\" back\\slash \u00fc \x01 /";
    center.add(request(identifier, "line\nbreak \u2028 \U0001F600"));
    center.add(request("plain", "x"));
    center.removeDeliveredNotifications({"plain"});
    center.setBadgeCount(7);

    const std::string bytes = readText(f.path);
    EXPECT_EQ(bytes, f.json().dump());
    EXPECT_EQ(
        f.json(),
        (Json{{"delivered",
               {{{"identifier", identifier},
                 {"content", contentToJson(*request(identifier, "line\nbreak \u2028 \U0001F600").content)},
                 {"date", "2023-11-14T22:13:20.123Z"}}}},
              {"pending", Json::array()},
              {"badge", 7}}));
    const auto lines = tamsel::testing::splitLines(readText(journal));
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& line : lines) EXPECT_EQ(line, Json::parse(line).dump());
    EXPECT_EQ(Json::parse(lines[0])["identifier"], identifier);
    EXPECT_EQ(Json::parse(lines[2])["identifiers"], (Json{"plain"}));
}

TEST(FileNotificationCenter, FileCutOffByASystemCrashReadsAsEmptyAndIsReplaced) {
    // The file is replaced without a sync: after a power loss it may be empty
    // or zero-filled, which loses what was shown, as a desktop's centre does,
    // and not the centre itself.
    CenterFile written;
    written.center.add(request("r1", "x"));
    written.center.setBadgeCount(2);
    const std::string whole = readText(written.path);
    const std::string cutOff[] = {"", std::string(4096, '\0'), whole.substr(0, 40) + std::string(4056, '\0')};
    for (const auto& bytes : cutOff) {
        SCOPED_TRACE(bytes.size());
        CenterFile f;
        writeText(f.path, bytes);
        EXPECT_TRUE(f.center.deliveredNotifications().empty());
        EXPECT_EQ(f.center.badgeCount(), std::nullopt);
        EXPECT_EQ(readText(f.path), bytes);
        f.center.add(request("r2", "y"));
        EXPECT_EQ(deliveredIdentifiers(f.center), std::vector<std::string>{"r2"});
        EXPECT_EQ(f.json()["badge"], nullptr);
    }
}

TEST(FileNotificationCenter, CorruptedFileIsNeverOverwritten) {
    const char* documents[] = {
        "not json",
        "[]",
        R"({"delivered": {}})",
        R"({"delivered": [{"identifier": 1, "content": {}, "date": "2023-11-14T22:13:20.123Z"}]})",
        R"({"delivered": [{"identifier": "a", "content": {}}]})",
        R"({"delivered": [{"identifier": "a", "content": {}, "date": "yesterday"}]})",
        R"({"delivered": [{"identifier": "a", "content": {}, "date": "2023-02-30T22:13:20.123Z"}]})",
        R"({"delivered": [{"identifier": "a", "content": {"sound": "loud"}, "date": "2023-11-14T22:13:20.123Z"}]})",
        R"({"pending": [{"identifier": "a"}]})",
        R"({"badge": "3"})",
        R"({"badge": 1.5})",
        R"({"badge": 18446744073709551615})",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        CenterFile f;
        writeText(f.path, document);
        for (const auto& operation : std::initializer_list<std::function<void()>>{
                 [&] { f.center.add(request("r", "x")); }, [&] { f.center.deliveredNotifications(); },
                 [&] { f.center.removePendingNotificationRequests({"a"}); },
                 [&] { f.center.setBadgeCount(1); }})
            EXPECT_EQ(thrownCode<NotificationCenterError>(operation),
                      NotificationCenterError::kStoreCorrupted);
        EXPECT_EQ(readText(f.path), document);
    }
}

}  // namespace

// In a child process: adds 15 requests named after its tag.
TAMSEL_TEST_PROCESS_ROLE(add_to_file_center) {
    const char* path = std::getenv("TAMSEL_TEST_CENTER_FILE");
    const char* tag = std::getenv("TAMSEL_TEST_TAG");
    if (!path || !tag) return 2;
    FileNotificationCenter center(path, std::make_shared<SystemClock>());
    for (int i = 0; i < 15; ++i) center.add(request(std::string(tag) + "-" + std::to_string(i), "x"));
    return 0;
}

namespace {

TEST(FileNotificationCenter, ProcessesAddingAtOnceLoseNothing) {
    CenterFile f;
    std::vector<std::unique_ptr<tamsel::testing::SpawnedTestProcess>> children;
    for (const char* tag : {"a", "b", "c"})
        children.push_back(std::make_unique<tamsel::testing::SpawnedTestProcess>(
            "add_to_file_center",
            std::map<std::string, std::string>{{"TAMSEL_TEST_CENTER_FILE", f.path.string()},
                                               {"TAMSEL_TEST_TAG", tag}}));
    for (int i = 0; i < 15; ++i) f.center.add(request("parent-" + std::to_string(i), "x"));
    for (auto& child : children) EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(f.center.deliveredNotifications().size(), 60u);
}

}  // namespace
