// The desktop notification centre against a mock notification server on a
// private session bus: what reaches the server, what the registry keeps, and
// that every failure of the bus is a prompt NotificationCenterError.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "platform/Task.h"
#include "platform/linux/DesktopNotificationCenter.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "tests/support/Expect.h"

namespace tamsel::testing {
namespace {

using platform::DesktopNotificationCenter;
using platform::Json;
using platform::NotificationCenterError;
using platform::NotificationContent;
using platform::NotificationRequest;
using platform::NotificationSound;

constexpr const char* kDesktopEntry = "com.brindaxel.tamsel.NotificationService";

NotificationRequest request(const std::string& identifier, NotificationContent content) {
    return {identifier, std::make_shared<const NotificationContent>(std::move(content))};
}

NotificationContent message(const std::string& title, const std::string& body) {
    NotificationContent content;
    content.title = title;
    content.body = body;
    content.threadIdentifier = "r:thread";
    content.userInfo = Json{{"tamselNotificationId", title}, {"tamselTarget", {{"kind", "chat"}}}};
    return content;
}

// The server's calls of one method, their arguments only.
Json argumentsOf(const Json& calls, const std::string& method) {
    Json result = Json::array();
    for (const auto& call : calls)
        if (call.at("method") == method) result.push_back(call.at("args"));
    return result;
}

long errorCode(const std::function<void()>& operation) {
    return thrownCode<NotificationCenterError>(operation).value_or(0);
}

class DesktopNotificationCenterTest : public ::testing::Test {
  protected:
    std::unique_ptr<DesktopNotificationCenter> makeCenter(std::chrono::milliseconds limit = 5s,
                                                          std::string address = {}) {
        return std::make_unique<DesktopNotificationCenter>(
            registry, std::make_shared<platform::SystemClock>(),
            platform::DesktopNotificationSettings{"Tamsel", kDesktopEntry,
                                                  address.empty() ? bus.address() : address, limit});
    }

    PrivateBus bus;
    std::filesystem::path registry = bus.directory() / "root/desktop-notifications.json";
};

TEST_F(DesktopNotificationCenterTest, PostsReplacesAndClosesThroughTheServer) {
    MockNotificationServer server(bus);
    auto center = makeCenter();

    center->add(request("tamsel:v2:r:g1", message("Ada", "first")));
    center->add(request("tamsel:v2:r:g2", message("Grace", "other conversation")));
    center->add(request("tamsel:v2:r:g1", message("Ada", "second")));

    Json notify = argumentsOf(server.calls(), "Notify");
    ASSERT_EQ(notify.size(), 3u) << server.calls().dump();
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
    EXPECT_EQ(notify[0], (Json{"Tamsel",
                               0,
                               "",
                               "Ada",
                               "first",
                               Json::array(),
                               {{"desktop-entry", kDesktopEntry}, {"suppress-sound", true}},
                               -1}));
    EXPECT_EQ(notify[1][1], 0) << "another request is a new notification";
    EXPECT_EQ(notify[2][1], 1) << "the same request replaces the server's notification 1";
    EXPECT_EQ(notify[2][4], "second");

    auto delivered = center->deliveredNotifications();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].request.identifier, "tamsel:v2:r:g2");
    EXPECT_EQ(delivered[1].request.identifier, "tamsel:v2:r:g1");
    EXPECT_EQ(platform::contentToJson(*delivered[1].request.content),
              platform::contentToJson(message("Ada", "second")));
    EXPECT_LE(std::chrono::system_clock::now() - delivered[1].date, std::chrono::minutes(1));
    EXPECT_TRUE(center->pendingNotificationRequests().empty());

    center->removeDeliveredNotifications({"tamsel:v2:r:g1", "unknown"});
    EXPECT_EQ(argumentsOf(server.calls(), "CloseNotification"), (Json{{1}}));
    delivered = center->deliveredNotifications();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].request.identifier, "tamsel:v2:r:g2");

    // A removal that matches nothing never reaches the server.
    center->removeDeliveredNotifications({"unknown"});
    center->removeDeliveredNotifications({});
    EXPECT_EQ(argumentsOf(server.calls(), "CloseNotification").size(), 1u);
}

TEST_F(DesktopNotificationCenterTest, SummaryAndHintsFollowTheContent) {
    MockNotificationServer server(bus);
    auto center = makeCenter();

    NotificationContent communication = message("Fallback title", "hi");
    communication.sound = NotificationSound::defaultSound;
    communication.communication = Json{{"senderIdentifier", "sender_0123456789abcdef"},
                                       {"senderDisplayName", "Ada Lovelace"},
                                       {"conversationIdentifier", "r:g"},
                                       {"serviceName", nullptr}};
    NotificationContent anonymous = communication;
    anonymous.communication->at("senderDisplayName") = nullptr;
    NotificationContent withSubtitle = message("Title", "body");
    withSubtitle.subtitle = "Subtitle";
    NotificationContent empty;

    struct Row {
        const char* name;
        NotificationContent content;
        std::string summary;
        std::string body;
        Json hints;
    };
    const std::vector<Row> rows = {
        {"communication with a sender name",
         communication,
         "Ada Lovelace",
         "hi",
         {{"desktop-entry", kDesktopEntry}, {"category", "im.received"}}},
        {"communication without a sender name",
         anonymous,
         "Fallback title",
         "hi",
         {{"desktop-entry", kDesktopEntry}, {"category", "im.received"}}},
        {"subtitle above the body, silent",
         withSubtitle,
         "Title",
         "Subtitle\nbody",
         {{"desktop-entry", kDesktopEntry}, {"suppress-sound", true}}},
        {"nothing but the defaults",
         empty,
         "",
         "",
         {{"desktop-entry", kDesktopEntry}, {"suppress-sound", true}}},
    };
    for (std::size_t i = 0; i < rows.size(); ++i)
        center->add(request("request-" + std::to_string(i), rows[i].content));

    Json notify = argumentsOf(server.calls(), "Notify");
    ASSERT_EQ(notify.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(notify[i][3], rows[i].summary);
        EXPECT_EQ(notify[i][4], rows[i].body);
        EXPECT_EQ(notify[i][6], rows[i].hints);
    }
}

TEST_F(DesktopNotificationCenterTest, MarkupInTheBodyIsShownAsTextOnlyWhereTheServerReadsMarkup) {
    const std::string body = "<a href=\"https://example.invalid\">click</a> & <b>x</b>";
    {
        SCOPED_TRACE("server with body-markup");
        MockNotificationServer server(bus);
        makeCenter()->add(request("r", message("T", body)));
        Json notify = argumentsOf(server.calls(), "Notify");
        ASSERT_EQ(notify.size(), 1u);
        EXPECT_EQ(notify[0][4],
                  "&lt;a href=\"https://example.invalid\"&gt;click&lt;/a&gt; &amp; &lt;b&gt;x&lt;/b&gt;");
        server.stop();
        ASSERT_TRUE(!bus.waitForName("org.freedesktop.Notifications", 0ms));
    }
    {
        SCOPED_TRACE("server without markup");
        MockNotificationServer server(bus, {"body", "persistence"});
        makeCenter()->add(request("r", message("T", body)));
        Json notify = argumentsOf(server.calls(), "Notify");
        ASSERT_EQ(notify.size(), 1u);
        EXPECT_EQ(notify[0][4], body);
    }
    // The registry keeps the content exactly as given.
    EXPECT_EQ(*makeCenter()->deliveredNotifications().at(0).request.content->body, body);
}

TEST_F(DesktopNotificationCenterTest, TheRegistryIsSharedAndIdsGoOnlyBackToTheServerThatIssuedThem) {
    auto first = std::make_unique<MockNotificationServer>(bus);
    makeCenter()->add(request("a", message("A", "1")));
    makeCenter()->add(request("b", message("B", "1")));
    // Another instance (as another process would) replaces what the first posted.
    makeCenter()->add(request("a", message("A", "2")));
    EXPECT_EQ(argumentsOf(first->calls(), "Notify")[2][1], 1);

    // The server restarts and numbers its notifications from 1 again: an old id
    // now means someone else's notification, so it is never sent back.
    first->stop();
    MockNotificationServer second(bus);
    auto center = makeCenter();
    center->removeDeliveredNotifications({"b"});
    center->add(request("a", message("A", "3")));
    Json calls = second.calls();
    EXPECT_TRUE(argumentsOf(calls, "CloseNotification").empty()) << calls.dump();
    ASSERT_EQ(argumentsOf(calls, "Notify").size(), 1u);
    EXPECT_EQ(argumentsOf(calls, "Notify")[0][1], 0);

    auto delivered = center->deliveredNotifications();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].request.identifier, "a");
    // From now on the new server's id is the one to replace.
    center->add(request("a", message("A", "4")));
    EXPECT_EQ(argumentsOf(second.calls(), "Notify")[1][1], argumentsOf(calls, "Notify").size());
}

// Connections that appear on the bus, as the bus announces them.
std::size_t newConnections(BusClient& watcher) {
    std::size_t count = 0;
    while (auto signal = watcher.nextSignal(300ms, true)) {
        if (signal->at("member") != "NameOwnerChanged") continue;
        const Json& body = signal->at("body");
        if (body.at(0).get<std::string>().starts_with(":") && body.at(1) == "" && body.at(2) != "") ++count;
    }
    return count;
}

TEST_F(DesktopNotificationCenterTest, OneConnectionServesEveryOperationAndTheServerIsAskedWhatItReadsOnce) {
    MockNotificationServer server(bus);
    BusClient watcher(bus.address());
    watcher.addMatch("type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged'");
    auto center = makeCenter();

    center->add(request("a", message("A", "1")));
    center->add(request("b", message("B", "1")));
    center->add(request("a", message("A", "2")));
    center->removeDeliveredNotifications({"b"});
    center->setBadgeCount(2);
    EXPECT_EQ(newConnections(watcher), 1u);

    Json calls = server.calls();
    EXPECT_EQ(argumentsOf(calls, "GetCapabilities").size(), 1u) << calls.dump();
    EXPECT_EQ(argumentsOf(calls, "Notify").size(), 3u);
    EXPECT_EQ(argumentsOf(calls, "Notify")[2][1], 1) << "the kept connection still replaces";
    EXPECT_EQ(argumentsOf(calls, "CloseNotification"), (Json{{2}}));
}

TEST_F(DesktopNotificationCenterTest, AServerThatRestartsIsNoticedOnTheSameConnection) {
    const std::string body = "<b>bold</b>";
    auto center = makeCenter();
    {
        MockNotificationServer first(bus);
        center->add(request("a", message("A", body)));
        EXPECT_EQ(argumentsOf(first.calls(), "Notify").at(0).at(4), "&lt;b&gt;bold&lt;/b&gt;");
        first.stop();
        ASSERT_FALSE(bus.waitForName("org.freedesktop.Notifications", 0ms));
    }
    // The new server reads no markup, and its ids have nothing to do with the old one's.
    MockNotificationServer second(bus, {"body"});
    center->add(request("a", message("A", body)));
    center->add(request("a", message("A", body)));
    center->removeDeliveredNotifications({"a"});
    Json calls = second.calls();
    Json notify = argumentsOf(calls, "Notify");
    ASSERT_EQ(notify.size(), 2u) << calls.dump();
    EXPECT_EQ(notify[0][1], 0) << "the old server's id is not sent to the new one";
    EXPECT_EQ(notify[0][4], body) << "the new server was asked what it reads";
    EXPECT_EQ(notify[1][1], 1) << "the new server's id is";
    EXPECT_EQ(argumentsOf(calls, "GetCapabilities").size(), 1u);
    EXPECT_EQ(argumentsOf(calls, "CloseNotification"), (Json{{1}}));
}

TEST_F(DesktopNotificationCenterTest, AConnectionThatBrokeIsOpenedAgain) {
    // The socket's address, which stays when the daemon behind it restarts.
    auto center = makeCenter(5s, bus.socketAddress());
    std::string firstBus;
    {
        MockNotificationServer server(bus);
        center->add(request("a", message("A", "1")));
        firstBus = platform::parseJson(readText(registry))["delivered"][0]["server"]["bus"];
    }
    bus.restart();
    MockNotificationServer server(bus);
    center->add(request("a", message("A", "2")));
    Json notify = argumentsOf(server.calls(), "Notify");
    ASSERT_EQ(notify.size(), 1u);
    EXPECT_EQ(notify[0][1], 0) << "another bus, another server";
    Json entry = platform::parseJson(readText(registry))["delivered"][0];
    EXPECT_NE(entry["server"]["bus"], firstBus);
    EXPECT_EQ(center->deliveredNotifications().size(), 1u);
}

TEST_F(DesktopNotificationCenterTest, ThreadsTakeTheConnectionInTurnAndWaitForItNoLongerThanTheirDeadline) {
    {
        MockNotificationServer server(bus);
        auto center = makeCenter();
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 5; ++i)
                    center->add(
                        request("t" + std::to_string(t) + "-" + std::to_string(i), message("T", "x")));
            });
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(argumentsOf(server.calls(), "Notify").size(), 20u);
        EXPECT_EQ(center->deliveredNotifications().size(), 20u);
        server.stop();
    }

    // One thread waits on a server that never answers, holding the connection;
    // another, with 300 ms left to its run, gives up when they are gone.
    BusClient silent(bus.address());
    ASSERT_GE(sd_bus_request_name(silent.get(), "org.freedesktop.Notifications", 0), 0);
    auto center = makeCenter(1500ms);
    auto stalled = platform::Task<long>::start(
        [&] { return errorCode([&] { center->add(request("a", message("A", "1"))); }); });
    std::this_thread::sleep_for(100ms);
    platform::setCurrentTaskDeadline(std::chrono::steady_clock::now() + 300ms);
    auto waiting = platform::Task<long>::start(
        [&] { return errorCode([&] { center->add(request("b", message("B", "1"))); }); });
    platform::setCurrentTaskDeadline(std::nullopt);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(waiting.waitUntil(start + 3s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 700ms);
    EXPECT_EQ(waiting.value(), DesktopNotificationCenter::kServerTimedOut);
    ASSERT_TRUE(stalled.waitUntil(start + 3s));
    EXPECT_EQ(stalled.value(), DesktopNotificationCenter::kServerTimedOut);
}

TEST_F(DesktopNotificationCenterTest, NoServerOnTheBusIsAPromptError) {
    auto center = makeCenter(5s);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(errorCode([&] { center->add(request("a", message("A", "1"))); }),
              DesktopNotificationCenter::kServerUnavailable);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(center->deliveredNotifications().empty());
}

TEST_F(DesktopNotificationCenterTest, AServerThatNeverAnswersCostsOnlyTheTimeLimit) {
    // This client owns the server's name and never reads a message.
    BusClient silent(bus.address());
    ASSERT_GE(sd_bus_request_name(silent.get(), "org.freedesktop.Notifications", 0), 0);
    auto center = makeCenter(300ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(errorCode([&] { center->add(request("a", message("A", "1"))); }),
              DesktopNotificationCenter::kServerTimedOut);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 3s);
    EXPECT_TRUE(center->deliveredNotifications().empty());
}

// The centre's own limit is long; the run has less time left, and that is what counts.
TEST_F(DesktopNotificationCenterTest, AStalledServerOrAHeldRegistryCostsNoMoreThanTheTimeLeftToTheRun) {
    BusClient silent(bus.address());
    ASSERT_GE(sd_bus_request_name(silent.get(), "org.freedesktop.Notifications", 0), 0);
    auto center = makeCenter(5s);
    auto timed = [&](const std::function<void()>& operation) {
        platform::setCurrentTaskDeadline(std::chrono::steady_clock::now() + 300ms);
        auto task = platform::Task<long>::start([&] { return errorCode(operation); });
        platform::setCurrentTaskDeadline(std::nullopt);
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(task.waitUntil(start + 3s));
        auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, 250ms);
        EXPECT_LT(elapsed, 600ms);
        return task.value();
    };
    EXPECT_EQ(timed([&] { center->add(request("a", message("A", "1"))); }),
              DesktopNotificationCenter::kServerTimedOut);

    // Another process holds the registry's lock.
    std::filesystem::create_directories(registry.parent_path());
    int held = open((registry.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(timed([&] { center->deliveredNotifications(); }), NotificationCenterError::kStoreUnavailable);
    close(held);
    EXPECT_TRUE(center->deliveredNotifications().empty());
}

TEST_F(DesktopNotificationCenterTest, NoBusOrABusThatNeverSpeaksFailsWithinTheLimit) {
    EXPECT_EQ(errorCode([&] {
                  makeCenter(300ms, "unix:path=" + (bus.directory() / "nothing-here").string())
                      ->add(request("a", message("A", "1")));
              }),
              DesktopNotificationCenter::kBusUnavailable);

    // A socket that accepts connections into its backlog and never answers the handshake.
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = (bus.directory() / "mute").string();
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(errorCode([&] { makeCenter(300ms, "unix:path=" + path)->setBadgeCount(1); }),
              DesktopNotificationCenter::kServerTimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    close(listener);
}

TEST_F(DesktopNotificationCenterTest, TheBadgeIsALauncherSignalSentBeforeTheCallReturns) {
    BusClient listener(bus.address());
    listener.addMatch("type='signal',interface='com.canonical.Unity.LauncherEntry',member='Update'");
    auto center = makeCenter();

    center->setBadgeCount(7);
    // The call has returned, so the bus has the signal already: a short wait suffices.
    auto signal = listener.nextSignal(2s);
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->at("body"), (Json{std::string("application://") + kDesktopEntry + ".desktop",
                                        {{"count", 7}, {"count-visible", true}}}));
    EXPECT_EQ(center->badgeCount(), 7);

    center->setBadgeCount(0);
    signal = listener.nextSignal(2s);
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->at("body").at(1), (Json{{"count", 0}, {"count-visible", false}}));
    EXPECT_EQ(makeCenter()->badgeCount(), 0) << "recorded for every process";

    EXPECT_EQ(errorCode([&] { center->setBadgeCount(-1); }), NotificationCenterError::kBadgeRefused);
    EXPECT_FALSE(listener.nextSignal(200ms));
    EXPECT_EQ(center->badgeCount(), 0);
}

TEST_F(DesktopNotificationCenterTest, ACorruptedRegistryIsNeverOverwrittenAndNothingIsShown) {
    MockNotificationServer server(bus);
    std::filesystem::create_directories(registry.parent_path());
    const std::vector<std::string> corrupted = {
        "not json",
        R"({"delivered": {}})",
        R"({"delivered": [{"identifier": "a", "content": {}, "date": 1}]})",
        R"({"delivered": [{"identifier": "a", "content": {}, "date": 1, "server": {"bus": "b", "owner": ":1.1", "id": -1}}]})",
        R"({"badge": "7"})",
    };
    for (const auto& text : corrupted) {
        SCOPED_TRACE(text);
        std::ofstream(registry, std::ios::trunc) << text;
        auto center = makeCenter();
        EXPECT_EQ(errorCode([&] { center->add(request("a", message("A", "1"))); }),
                  NotificationCenterError::kStoreCorrupted);
        EXPECT_EQ(errorCode([&] { center->deliveredNotifications(); }),
                  NotificationCenterError::kStoreCorrupted);
        EXPECT_EQ(errorCode([&] { center->setBadgeCount(1); }), NotificationCenterError::kStoreCorrupted);
        EXPECT_EQ(readText(registry), text);
    }
    EXPECT_TRUE(argumentsOf(server.calls(), "Notify").empty());
}

TEST_F(DesktopNotificationCenterTest, ARequestTheBusCannotCarryIsRefusedBeforeAnythingIsShown) {
    MockNotificationServer server(bus);
    auto center = makeCenter();
    EXPECT_EQ(errorCode([&] { center->add(request("a", message("A", "\xff\xfe"))); }),
              NotificationCenterError::kInvalidRequest);
    EXPECT_EQ(errorCode([&] {
                  center->add({"", std::make_shared<const NotificationContent>()});
              }),
              NotificationCenterError::kInvalidRequest);
    EXPECT_EQ(errorCode([&] { center->add({"a", nullptr}); }), NotificationCenterError::kInvalidRequest);
    // A NUL would end the text on the bus; it is shown as a replacement character.
    center->add(request("b", message(std::string("A\0B", 3), "x")));
    Json notify = argumentsOf(server.calls(), "Notify");
    ASSERT_EQ(notify.size(), 1u);
    EXPECT_EQ(notify[0][3],
              "A\xEF\xBF\xBD"
              "B");
}

}  // namespace
}  // namespace tamsel::testing
