// A whole push round with the desktop backends: the real delivery service, the
// credential stored by keychain-store in a real keyring daemon, and the host run
// with --notifications desktop --keychain secret-service against the mock
// notification server, all on a private session bus.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/Json.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "tests/support/ChangeRecords.h"
#include "tests/support/DeliveryServiceProcess.h"
#include "tests/support/HostBundle.h"

namespace tamsel::testing {
namespace {

using platform::Json;

const std::string kFamily(64, 'a');
const std::string kWork(64, 'b');

Json change(const std::string& id, const std::string& title, const std::string& body,
            const std::string& group, const Json& sender) {
    tamsel::testing::ChangeFields fields;
    fields.notificationId = id;
    fields.revision = "1";
    fields.title = title;
    fields.body = body;
    fields.groupKey = group;
    fields.target = {{"kind", "communication"},
                     {"communicationId", "comm_" + id},
                     {"channelThreadId", "thread_" + group.substr(0, 12)}};
    if (!sender.is_null()) fields.sender = sender;
    return tamsel::testing::changeRecord(fields);
}

TEST(DesktopPushRoundTest, AWakeupPostsOnTheDesktopWithTheCredentialFromTheKeyring) {
    PrivateBus bus;
    MockNotificationServer server(bus);
    KeyringDaemon keyring(bus);
    BusClient launcher(bus.address());
    launcher.addMatch("type='signal',interface='com.canonical.Unity.LauncherEntry',member='Update'");

    platform::testing::DeliveryServiceProcess service;
    Json credential = service.registerReceiver();
    std::string receiver = credential.at("receiverID");
    Json ana = {{"schema", "notification_sender.v1"},
                {"canonicalId", "tamsel_sender_" + std::string(64, 'e')},
                {"displayName", "Ana Souza"}};
    service.admin("POST", "/admin/receivers/" + receiver + "/changes",
                  Json{change("msg_family_00000001", "Family", "Dinner at eight?", kFamily, ana),
                       change("msg_work_0000000001", "Design review", "Slides are up", kWork, nullptr)});
    service.admin("POST", "/admin/receivers/" + receiver + "/badge", Json{{"unreadCount", 4}});

    ScratchDirectory dir;
    std::filesystem::create_directories(dir.path() / "root/containers/group.com.brindaxel.tamsel");
    writeHostBundle(dir.path() / "bundle",
                    {service.origin(), "group.com.brindaxel.tamsel.keychain", "group.com.brindaxel.tamsel"});
    const std::string host = binaryPath("tamsel-notification-service").string();
    const std::vector<std::string> where = {"--bundle", (dir.path() / "bundle").string(), "--platform-root",
                                            (dir.path() / "root").string()};

    std::vector<std::string> store = {host, "keychain-store", "--keychain", "secret-service"};
    store.insert(store.end(), where.begin(), where.end());
    ChildProcess storing({store, bus.environment(), credential.dump(), false, dir.path() / "store.log"});
    ASSERT_EQ(storing.wait(60s), 0) << std::ifstream(dir.path() / "store.log").rdbuf();
    ASSERT_FALSE(std::filesystem::exists(dir.path() / "root/keychain"))
        << "the credential went to the keyring";

    std::vector<std::string> run = {
        host,        "--notifications", "desktop",       "--keychain", "secret-service", "--log", "stderr",
        "--ca-file", service.caFile(),  "--time-budget", "25"};
    run.insert(run.end(), where.begin(), where.end());
    Json wakeup = wakeUpPush("push-1", kFamily);
    wakeup["content"].erase("body");
    ChildProcess serving({run, bus.environment(), wakeup.dump() + "\n", true, dir.path() / "host.log"});
    auto line = serving.readLine(60s);
    ASSERT_TRUE(line) << "nothing handed back";
    ASSERT_EQ(serving.wait(60s), 0);
    const std::string log = readText(dir.path() / "host.log");

    // The push's own conversation is handed back to the platform, not posted.
    Json answer = Json::parse(*line);
    EXPECT_EQ(answer["content"]["title"], "Ana Souza") << log;
    EXPECT_EQ(answer["content"]["communication"]["senderDisplayName"], "Ana Souza");

    Json notify = Json::array();
    for (const auto& call : server.calls())
        if (call["method"] == "Notify") notify.push_back(call["args"]);
    ASSERT_EQ(notify.size(), 1u) << server.calls().dump();
    EXPECT_EQ(notify[0][0], "Tamsel");
    EXPECT_EQ(notify[0][3], "Design review");
    EXPECT_EQ(notify[0][4], "Slides are up");
    EXPECT_EQ(notify[0][6], (Json{{"desktop-entry", "com.brindaxel.tamsel"}}));

    auto badge = launcher.nextSignal(5s);
    ASSERT_TRUE(badge);
    EXPECT_EQ(badge->at("body").at(1), (Json{{"count", 4}, {"count-visible", true}}));
}

}  // namespace
}  // namespace tamsel::testing
