// tamsel-push-connector against the test distributor on a private session bus:
// real processes throughout (dbus-daemon, the distributor, the connector the
// bus starts on demand, the extension), pushes encrypted here and POSTed to the
// endpoint the connector registered.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "platform/Clock.h"
#include "platform/Json.h"
#include "platform/file/FileNotificationCenter.h"
#include "tests/support/ChangeRecords.h"
#include "tests/support/HostBundle.h"
#include "tests/support/Process.h"
#include "tests/support/ScratchDirectory.h"
#include "webpush/Base64Url.h"
#include "webpush/Encryption.h"

namespace {

using namespace std::chrono_literals;
using tamsel::platform::Json;
namespace fs = std::filesystem;
namespace webpush = tamsel::webpush;

constexpr const char* kAppId = "com.brindaxel.tamsel";

// Waits, bounded, for `done`.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

std::size_t writeNothing(char*, std::size_t size, std::size_t count, void*) { return size * count; }
std::size_t keepHeader(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

struct PostResult {
    long status = 0;
    std::string messageId;  // from Location: /message/<id>
};

PostResult post(const std::string& endpoint, const std::vector<std::uint8_t>& body) {
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Encoding: aes128gcm");
    headers = curl_slist_append(headers, "TTL: 60");
    headers = curl_slist_append(headers, "Content-Type: application/octet-stream");
    std::string received;
    curl_easy_setopt(curl, CURLOPT_URL, endpoint.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(body.data()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeNothing);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &keepHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &received);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    PostResult result;
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    auto at = received.find("/message/");
    if (at != std::string::npos) {
        auto end = received.find_first_of("\r\n", at);
        result.messageId = received.substr(at + 9, end - at - 9);
    }
    return result;
}

std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

struct Subscription {
    std::string endpoint, distributor;
    std::vector<std::uint8_t> p256dh, auth;
};

class ConnectorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir() / "services");
        tamsel::testing::writeHostBundle(
            dir() / "bundle",
            {.baseURL = "http://127.0.0.1:9/", .keychainGroup = "group.test", .appGroup = "group.test"});
        std::ofstream(dir() / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:dir=/tmp</listen>\n"
               "<servicedir>"
            << (dir() / "services").string()
            << "</servicedir>\n"
               "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
               "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>\n"
               "</busconfig>\n";
        writeServiceFile(serveArguments_);
        bus_ = std::make_unique<tamsel::testing::Subprocess>(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork", "--print-address=1",
                                     "--config-file=" + (dir() / "bus.conf").string()},
            tamsel::testing::SubprocessOptions{.stderrFile = busLog()});
        auto address = bus_->readLine();
        ASSERT_TRUE(address && !address->empty()) << "dbus-daemon did not start";
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address->c_str(), 1);
    }

    void TearDown() override {
        distributors_.clear();
        bus_.reset();
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

    const fs::path& dir() const { return scratch_.path(); }
    fs::path busLog() const { return dir() / "bus.log"; }  // the activated connector's log lands here too
    fs::path root() const { return dir() / "root"; }

    // What the bus runs when a push comes for the app and no connector owns its name.
    void writeServiceFile(const std::vector<std::string>& serveArguments) {
        std::string exec = tamsel::testing::binaryPath("tamsel-push-connector").string() +
                           " serve --bundle " + (dir() / "bundle").string() + " --platform-root " +
                           root().string() + " --log stderr --idle-exit 30";
        for (const auto& a : serveArguments) exec += " " + a;
        std::ofstream(dir() / "services" / (std::string(kAppId) + ".service"), std::ios::trunc)
            << "[D-BUS Service]\nName=" << kAppId << "\nExec=" << exec << "\n";
    }

    void startDistributor(const std::string& name = "tamseltest") {
        distributors_.push_back(std::make_unique<tamsel::testing::Subprocess>(
            std::vector<std::string>{
                "/usr/bin/python3",
                std::string(TAMSEL_SOURCE_DIR) + "/tools/test-distributor/tamsel-test-distributor", "--name",
                name, "--relay-log", (dir() / "relay.log").string(), "--state",
                (dir() / (name + ".state")).string()},
            tamsel::testing::SubprocessOptions{.stderrFile = dir() / (name + ".log")}));
        auto started = distributors_.back()->readLine();
        ASSERT_TRUE(started && !started->empty()) << "the test distributor did not start";
    }

    // The subcommand comes first, the options shared by every subcommand after it.
    tamsel::testing::ProcessResult connector(std::vector<std::string> arguments) {
        std::vector<std::string> argv = {tamsel::testing::binaryPath("tamsel-push-connector").string(),
                                         arguments.at(0),
                                         "--bundle",
                                         (dir() / "bundle").string(),
                                         "--platform-root",
                                         root().string(),
                                         "--log",
                                         "stderr"};
        argv.insert(argv.end(), arguments.begin() + 1, arguments.end());
        return tamsel::testing::runProcess(argv, "", 30s);
    }

    Subscription registerApp(std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"register"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        auto result = connector(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        Json line = Json::parse(result.out, nullptr, false);
        Subscription s;
        if (!line.is_object()) {
            ADD_FAILURE() << "register printed " << result.out;
            return s;
        }
        s.endpoint = line.value("endpoint", "");
        s.distributor = line.value("distributor", "");
        s.p256dh = webpush::base64urlDecode(line.value("p256dh", "")).value_or(std::vector<std::uint8_t>{});
        s.auth = webpush::base64urlDecode(line.value("auth", "")).value_or(std::vector<std::uint8_t>{});
        return s;
    }

    PostResult push(const Subscription& s, const Json& content) {
        auto text = content.dump();
        return post(s.endpoint, tamsel::webpush::encrypt(s.p256dh, s.auth, bytes(text)));
    }

    std::vector<tamsel::platform::DeliveredNotification> delivered() {
        if (!fs::exists(root() / "notification-center.json")) return {};
        tamsel::platform::FileNotificationCenter centre(root() / "notification-center.json",
                                                        std::make_shared<tamsel::platform::SystemClock>());
        return centre.deliveredNotifications();
    }

    std::optional<std::string> titleOf(const std::string& identifier) {
        for (const auto& n : delivered())
            if (n.request.identifier == identifier) return n.request.content->title.value_or("");
        return std::nullopt;
    }

    std::size_t relayed() {
        return tamsel::testing::splitLines(
                   fs::exists(dir() / "relay.log") ? tamsel::testing::readText(dir() / "relay.log") : "")
            .size();
    }

    // Set before SetUp: the bus reads its service files when it starts.
    std::vector<std::string> serveArguments_;
    tamsel::testing::ScratchDirectory scratch_;
    std::unique_ptr<tamsel::testing::Subprocess> bus_;
    std::vector<std::unique_ptr<tamsel::testing::Subprocess>> distributors_;
};

Json wakeUp(const std::string& title) {
    return tamsel::testing::wakeUpContent(std::string(64, 'a'), title, "a new message");
}

TEST_F(ConnectorTest, RegisterPrintsTheSubscriptionAndReusesItsKeys) {
    startDistributor();
    auto first = registerApp();
    EXPECT_EQ(first.distributor, "org.unifiedpush.Distributor.tamseltest");
    EXPECT_TRUE(first.endpoint.starts_with("http://127.0.0.1:")) << first.endpoint;
    EXPECT_EQ(first.p256dh.size(), 65u);
    EXPECT_EQ(first.auth.size(), 16u);

    auto second = registerApp();
    EXPECT_EQ(second.p256dh, first.p256dh);
    EXPECT_EQ(second.auth, first.auth);
    // The same token again: the distributor answers with the same endpoint.
    EXPECT_EQ(second.endpoint, first.endpoint);

    auto item = root() / "keychain/group.test/Tamsel.push-connector.v1" / kAppId;
    EXPECT_EQ(tamsel::testing::permissionsOf(item), 0600u);
    auto status = connector({"status"});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_EQ(Json::parse(status.out),
              (Json{{"registered", true}, {"distributor", first.distributor}, {"endpoint", first.endpoint}}));
    EXPECT_EQ(status.out.find("privateKey"), std::string::npos);

    EXPECT_EQ(connector({"unregister"}).exitCode, 0);
    EXPECT_EQ(Json::parse(connector({"status"}).out)["registered"], false);
    // The distributor forgot it too: its endpoint is gone.
    EXPECT_EQ(post(first.endpoint, webpush::encrypt(first.p256dh, first.auth, bytes("{}"))).status, 404);
}

TEST_F(ConnectorTest, TheDistributorMustBeNamedUnlessThereIsExactlyOne) {
    auto none = connector({"register"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no push distributor"), std::string::npos) << none.err;

    startDistributor("alpha");
    startDistributor("beta");
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::vector<std::string> inError;
    } cases[] = {
        {{"register"}, 1, {"org.unifiedpush.Distributor.alpha", "org.unifiedpush.Distributor.beta"}},
        {{"register", "--distributor", "gamma"}, 1, {"org.unifiedpush.Distributor.beta"}},
        {{"register", "--distributor", "beta"}, 0, {}},
        {{"register", "--distributor=org.unifiedpush.Distributor.alpha"}, 0, {}},
        {{"register", "--vapid", "not-a-key"}, 2, {"--help"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        auto result = connector(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        for (const auto& text : c.inError) EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
    }
    EXPECT_EQ(Json::parse(connector({"status"}).out)["distributor"], "org.unifiedpush.Distributor.alpha");
}

// The bus starts the connector for the push (nothing runs it before), the real
// extension finds no credential and hands the push's own content back, and the
// connector presents it under the distributor's message id.
TEST_F(ConnectorTest, APushIsStartedDecryptedAndPresented) {
    startDistributor();
    auto subscription = registerApp();
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_open_user(&bus), 0);
    EXPECT_EQ(sd_bus_request_name(bus, kAppId, 0), 1) << "the connector should not be running yet";
    sd_bus_release_name(bus, kAppId);
    sd_bus_flush_close_unref(bus);

    auto sent = push(subscription, wakeUp("Hello from the push"));
    ASSERT_EQ(sent.status, 201);
    ASSERT_FALSE(sent.messageId.empty());
    EXPECT_TRUE(eventually([&] { return titleOf(sent.messageId).has_value(); }))
        << tamsel::testing::readText(busLog());
    EXPECT_EQ(titleOf(sent.messageId), "Hello from the push");
}

TEST_F(ConnectorTest, HostileMessagesChangeNothingAndServingGoesOn) {
    startDistributor();
    auto s = registerApp();
    auto encrypt = [&](const std::string& text) { return webpush::encrypt(s.p256dh, s.auth, bytes(text)); };
    auto flipped = encrypt(wakeUp("forged").dump());
    flipped.back() ^= 1;
    auto stranger = webpush::ReceiverKeys::generate();
    auto wrongKeys = webpush::encrypt(stranger.publicKey(), stranger.authSecret(), bytes(wakeUp("x").dump()));
    struct Case {
        const char* name;
        std::vector<std::uint8_t> body;
        const char* logged;
    } cases[] = {
        {"altered tag", flipped, "push-refused"},
        {"other receiver", wrongKeys, "push-refused"},
        {"garbage", bytes(std::string(200, 'x')), "push-refused"},
        {"not JSON", encrypt("hello"), "plaintext is not JSON"},
        {"array", encrypt("[1,2]"), "not a JSON object"},
        {"bad content", encrypt(R"({"title": 5})"), "not a push content"},
        {"deep", encrypt(std::string(100, '[') + std::string(100, ']')), "push-refused"},
    };
    std::size_t sent = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(post(s.endpoint, c.body).status, 201);
        ++sent;
        EXPECT_TRUE(eventually([&] { return relayed() == sent; }));
        EXPECT_NE(tamsel::testing::readText(busLog()).find(c.logged), std::string::npos);
    }

    // A registration of the same service the connector does not know: its token is ignored.
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_open_user(&bus), 0);
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ASSERT_GE(
        sd_bus_call_method(bus, "org.unifiedpush.Distributor.tamseltest", "/org/unifiedpush/Distributor",
                           "org.unifiedpush.Distributor2", "Register", &error, &reply, "a{sv}", 2, "service",
                           "s", kAppId, "token", "s", "a-token-nobody-gave"),
        0);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    // Its NewEndpoint and a push to its endpoint reach the connector and are ignored.
    EXPECT_TRUE(eventually([&] {
        return tamsel::testing::readText(busLog()).find("NewEndpoint for an unknown token") !=
               std::string::npos;
    }));
    auto state = Json::parse(tamsel::testing::readText(dir() / "tamseltest.state"));
    std::string strangerEndpoint = state["registrations"]["a-token-nobody-gave"]["endpoint"];
    ASSERT_EQ(post(strangerEndpoint, encrypt(wakeUp("unknown token").dump())).status, 201);
    EXPECT_TRUE(eventually([&] { return relayed() == sent + 1; }));
    EXPECT_NE(tamsel::testing::readText(busLog()).find("Message for an unknown token"), std::string::npos);
    EXPECT_EQ(Json::parse(connector({"status"}).out)["endpoint"], s.endpoint);
    EXPECT_TRUE(delivered().empty());

    auto valid = push(s, wakeUp("still serving"));
    ASSERT_EQ(valid.status, 201);
    EXPECT_TRUE(eventually([&] { return titleOf(valid.messageId).has_value(); }));
    EXPECT_EQ(delivered().size(), 1u);
    // Nothing secret in the log: neither the token nor the keys.
    auto log = tamsel::testing::readText(busLog());
    EXPECT_EQ(log.find("a-token-nobody-gave"), std::string::npos);
    EXPECT_EQ(log.find(webpush::base64urlEncode(s.auth)), std::string::npos);
}

TEST_F(ConnectorTest, OnlyTheDistributorMayCall) {
    startDistributor();
    auto s = registerApp();
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_open_user(&bus), 0);
    auto body = webpush::encrypt(s.p256dh, s.auth, bytes(wakeUp("impostor").dump()));
    for (const char* method : {"Message", "NewEndpoint", "Unregistered"}) {
        SCOPED_TRACE(method);
        sd_bus_message* call = nullptr;
        ASSERT_GE(sd_bus_message_new_method_call(bus, &call, kAppId, "/org/unifiedpush/Connector",
                                                 "org.unifiedpush.Connector2", method),
                  0);
        sd_bus_message_open_container(call, 'a', "{sv}");
        sd_bus_message_append(call, "{sv}{sv}", "token", "s", "whatever", "endpoint", "s",
                              "http://127.0.0.1:1/x");
        sd_bus_message_open_container(call, 'e', "sv");
        sd_bus_message_append(call, "s", "message");
        sd_bus_message_open_container(call, 'v', "ay");
        sd_bus_message_append_array(call, 'y', body.data(), body.size());
        sd_bus_message_close_container(call);
        sd_bus_message_close_container(call);
        sd_bus_message_close_container(call);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        EXPECT_LT(sd_bus_call(bus, call, 15'000'000, &error, &reply), 0);
        EXPECT_TRUE(sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED))
            << (error.name ? error.name : "");
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
    }
    sd_bus_flush_close_unref(bus);
    EXPECT_NE(tamsel::testing::readText(busLog()).find("caller-refused"), std::string::npos);
    EXPECT_EQ(Json::parse(connector({"status"}).out)["registered"], true);
    EXPECT_TRUE(delivered().empty());
}

// An extension that records how many run at once, and hangs or crashes when
// the push's title asks it to.
class ExtensionLimitsTest : public ConnectorTest {
  protected:
    void SetUp() override {
        auto runs = dir() / "runs";
        fs::create_directories(runs);
        auto script = dir() / "extension.sh";
        std::ofstream(script)
            << "#!/bin/sh\n"
               "read -r line\n"
               "id=$(printf '%s' \"$line\" | sed 's/.*\"identifier\":\"\\([^\"]*\\)\".*/\\1/')\n"
               "touch "
            << runs.string()
            << "/$$\n"
               "ls "
            << runs.string() << " | wc -l >> " << (dir() / "concurrency").string()
            << "\n"
               "case \"$line\" in\n"
               "  *hang*) sleep 60 ;;\n"
               "  *crash*) rm "
            << runs.string()
            << "/$$; kill -SEGV $$ ;;\n"
               "esac\n"
               "sleep 1\n"
               "rm "
            << runs.string()
            << "/$$\n"
               "printf '{\"request\":\"%s\",\"content\":{\"title\":\"handed back\"}}\\n' \"$id\"\n";
        fs::permissions(script, fs::perms::owner_all);
        serveArguments_ = {"--extension", script.string(), "--time-budget", "1"};
        ConnectorTest::SetUp();
        startDistributor();
        subscription_ = registerApp();
    }

    Subscription subscription_;
};

TEST_F(ExtensionLimitsTest, AHungOrCrashedExtensionGetsThePushsOwnContentShown) {
    auto start = std::chrono::steady_clock::now();
    auto hung = push(subscription_, {{"title", "hang"}});
    auto crashed = push(subscription_, {{"title", "crash"}});
    ASSERT_EQ(hung.status, 201);
    ASSERT_EQ(crashed.status, 201);
    EXPECT_TRUE(eventually([&] { return titleOf(crashed.messageId).has_value(); }, 10s));
    EXPECT_EQ(titleOf(crashed.messageId), "crash");
    EXPECT_FALSE(titleOf(hung.messageId).has_value()) << tamsel::testing::readText(busLog());
    EXPECT_TRUE(eventually([&] { return titleOf(hung.messageId).has_value(); }, 15s));
    // Budget 1 s plus 5 s of grace, then killed.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 6s);
    EXPECT_EQ(titleOf(hung.messageId), "hang");
    EXPECT_NE(tamsel::testing::readText(busLog()).find("extension-overran"), std::string::npos);
}

TEST_F(ExtensionLimitsTest, FivePushesAtOnceRunAtMostFourExtensions) {
    std::vector<std::string> ids;
    for (int i = 0; i < 5; ++i) {
        auto sent = push(subscription_, {{"title", "push " + std::to_string(i)}});
        ASSERT_EQ(sent.status, 201);
        ids.push_back(sent.messageId);
    }
    EXPECT_TRUE(eventually([&] {
        for (const auto& id : ids)
            if (titleOf(id) != "handed back") return false;
        return true;
    }));
    std::size_t most = 0;
    for (const auto& line : tamsel::testing::splitLines(tamsel::testing::readText(dir() / "concurrency")))
        most = std::max<std::size_t>(most, std::stoul(line));
    EXPECT_EQ(most, 4u);
}

}  // namespace
