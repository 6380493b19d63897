// The delivery service's Web Push wake-ups, sent by its real binary to a plain
// HTTP server on loopback standing in for a push service, and checked the way
// a user agent and a push service would: decrypted with the subscription's
// keys and the VAPID token verified against the service's printed key.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "tests/support/ChangeRecords.h"
#include "tests/support/DeliveryServiceProcess.h"
#include "webpush/Base64Url.h"
#include "webpush/Encryption.h"
#include "webpush/Vapid.h"

namespace {

using tamsel::platform::Json;
using tamsel::platform::testing::DeliveryServiceProcess;
namespace webpush = tamsel::webpush;

const std::string kSubject = "https://delivery.example/contact";

std::string hex64(char digit) { return std::string(64, digit); }

Json change(const std::string& id, const Json& groupKey) {
    return {{"notificationId", id},
            {"notificationRevision", "1"},
            {"state", "available"},
            {"presentation",
             {{"title", "t"},
              {"body", "b"},
              {"attention", {{"policyVersion", "notification-attention.v1"}, {"groupKey", groupKey}}}}}};
}

// A push service on 127.0.0.1: POST /push/<status>/<name> answers <status>,
// with a Location as push services give (RFC 8030 section 5).
class PushReceiver {
  public:
    struct Message {
        std::string path;
        httplib::Headers headers;
        std::string body;
        std::string header(const std::string& name) const {
            auto it = headers.find(name);
            return it == headers.end() ? "" : it->second;
        }
    };

    PushReceiver() {
        server_.Post(
            R"(/push/(\d+)/([a-z0-9-]+))", [this](const httplib::Request& req, httplib::Response& res) {
                std::lock_guard lock(mutex_);
                messages_.push_back({req.path, req.headers, req.body});
                const auto sent = std::count_if(messages_.begin(), messages_.end(),
                                                [&](const Message& m) { return m.path == req.path; });
                res.status = std::stoi(req.matches[1]);
                res.set_header("Location", origin() + "/message/" + std::string(req.matches[2]) + "/" +
                                               std::to_string(sent));
            });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~PushReceiver() {
        server_.stop();
        thread_.join();
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string endpoint(int status, const std::string& name) const {
        return origin() + "/push/" + std::to_string(status) + "/" + name;
    }
    std::vector<Message> messages(const std::string& path) {
        std::lock_guard lock(mutex_);
        std::vector<Message> out;
        for (const Message& m : messages_)
            if (m.path == path) out.push_back(m);
        return out;
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Message> messages_;
};

class WebPushWakeUpTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        service_ = new DeliveryServiceProcess({"--vapid-subject", kSubject});
        receiver_ = new PushReceiver();
    }
    static void TearDownTestSuite() {
        delete receiver_;
        delete service_;
    }

    static std::string receiverId() { return service_->registerReceiver()["receiverID"]; }

    static Json subscription(const std::string& endpoint, const webpush::ReceiverKeys& keys) {
        return {{"endpoint", endpoint},
                {"p256dh", webpush::base64urlEncode(keys.publicKey())},
                {"auth", webpush::base64urlEncode(keys.authSecret())}};
    }
    static void subscribe(const std::string& id, const Json& body) {
        service_->admin("PUT", "/admin/receivers/" + id + "/push-subscription", body);
    }
    static void queue(const std::string& id, const Json& records) {
        service_->admin("POST", "/admin/receivers/" + id + "/changes", records);
    }
    // The delivery list once it holds `count` outcomes (sends run on their own thread).
    static Json deliveries(const std::string& id, std::size_t count) {
        Json list;
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            list = service_->admin("GET", "/admin/receivers/" + id + "/push-deliveries")["deliveries"];
            if (list.size() >= count) break;
        }
        EXPECT_EQ(list.size(), count) << list;
        return list;
    }
    static Json decrypted(const webpush::ReceiverKeys& keys, const PushReceiver::Message& message) {
        auto result = webpush::decrypt(
            keys, std::span(reinterpret_cast<const std::uint8_t*>(message.body.data()), message.body.size()));
        if (!result) {
            ADD_FAILURE() << "does not decrypt: " << webpush::describe(*result.error);
            return nullptr;
        }
        return tamsel::platform::parseJson(std::string(result.plaintext.begin(), result.plaintext.end()));
    }
    // The service's own wake-up content.
    static Json wakeUp(const std::string& groupKey) {
        return tamsel::testing::wakeUpContent(groupKey, "Tamsel", "New messages");
    }

    static DeliveryServiceProcess* service_;
    static PushReceiver* receiver_;
};
DeliveryServiceProcess* WebPushWakeUpTest::service_ = nullptr;
PushReceiver* WebPushWakeUpTest::receiver_ = nullptr;

TEST_F(WebPushWakeUpTest, StoresAValidSubscriptionAndRefusesInvalidOnesWithACode) {
    const std::string id = receiverId();
    const auto keys = webpush::ReceiverKeys::generate();
    const std::string p256dh = webpush::base64urlEncode(keys.publicKey());
    const std::string auth = webpush::base64urlEncode(keys.authSecret());

    for (const std::string endpoint : {"https://push.example.net/wpush/v2/abc", "http://127.0.0.1:9/x",
                                       "http://localhost:8080/p", "http://[::1]:8080/p"}) {
        SCOPED_TRACE(endpoint);
        Json body = {{"endpoint", endpoint}, {"p256dh", p256dh}, {"auth", auth}};
        EXPECT_EQ(service_->admin("PUT", "/admin/receivers/" + id + "/push-subscription", body),
                  (Json{{"receiverId", id}, {"endpoint", endpoint}}));
    }

    std::vector<std::uint8_t> offCurve(65, 0);
    offCurve[0] = 0x04;
    std::vector<std::uint8_t> compressed(keys.publicKey().begin(), keys.publicKey().begin() + 33);
    compressed[0] = 0x02;
    const Json valid = {{"endpoint", "https://push.example.net/x"}, {"p256dh", p256dh}, {"auth", auth}};
    auto with = [&](const char* key, const Json& value) {
        Json body = valid;
        body[key] = value;
        return body;
    };
    Json withoutAuth = valid;
    withoutAuth.erase("auth");
    struct Case {
        const char* name;
        std::string receiver;
        Json body;
        int status;
        const char* code;
    } cases[] = {
        {"plain http off loopback", id, with("endpoint", "http://push.example.net/x"), 400,
         "invalid_endpoint"},
        {"other scheme", id, with("endpoint", "ftp://127.0.0.1/x"), 400, "invalid_endpoint"},
        {"relative", id, with("endpoint", "/push/x"), 400, "invalid_endpoint"},
        {"user info", id, with("endpoint", "https://u:p@push.example.net/x"), 400, "invalid_endpoint"},
        {"not a URL", id, with("endpoint", "https://exa mple/x"), 400, "invalid_endpoint"},
        {"endpoint not text", id, with("endpoint", 5), 400, "invalid_request"},
        {"point off the curve", id, with("p256dh", webpush::base64urlEncode(offCurve)), 400,
         "invalid_p256dh"},
        {"compressed point", id, with("p256dh", webpush::base64urlEncode(compressed)), 400, "invalid_p256dh"},
        {"padded key", id, with("p256dh", p256dh + "="), 400, "invalid_p256dh"},
        {"standard base64", id, with("p256dh", p256dh.substr(0, 40) + "+/" + p256dh.substr(42)), 400,
         "invalid_p256dh"},
        {"short auth", id, with("auth", webpush::base64urlEncode(std::vector<std::uint8_t>(15, 1))), 400,
         "invalid_auth"},
        {"no auth", id, withoutAuth, 400, "invalid_request"},
        {"extra member", id, with("expirationTime", nullptr), 400, "unknown_member"},
        {"array body", id, Json::array({valid}), 400, "invalid_request"},
        {"unknown receiver", "rcv_nobody_here_0000", valid, 404, "receiver_not_found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto reply = service_->send(
            "PUT", "/admin/receivers/" + c.receiver + "/push-subscription",
            {{"Authorization", "Bearer " + service_->adminToken()}, {"Content-Type", "application/json"}},
            c.body.dump());
        EXPECT_EQ(reply.status, c.status) << reply.body;
        EXPECT_EQ(reply.json(), (Json{{"error", {{"code", c.code}}}}));
    }

    const std::string path = "/admin/receivers/" + id + "/push-subscription";
    EXPECT_EQ(service_->admin("DELETE", path), (Json{{"removed", true}}));
    EXPECT_EQ(service_->admin("DELETE", path), (Json{{"removed", false}}));
}

TEST_F(WebPushWakeUpTest, EachQueueCallSendsOneEncryptedSignedWakeUpNamingItsFirstGroupKey) {
    const std::string id = receiverId();
    const auto keys = webpush::ReceiverKeys::generate();
    const std::string endpoint = receiver_->endpoint(201, "wake");
    const std::string path = endpoint.substr(receiver_->origin().size());
    subscribe(id, subscription(endpoint, keys));

    // The first record carries no group key (a withdrawal); the wake-up names
    // the first one that does.
    queue(id, Json::array({{{"notificationId", "withdrawn_notification"},
                            {"notificationRevision", "2"},
                            {"state", "withdrawn"},
                            {"presentation", nullptr}},
                           change("first_notification_1", hex64('a')),
                           change("second_notification", hex64('b'))}));
    Json list = deliveries(id, 1);
    auto messages = receiver_->messages(path);
    ASSERT_EQ(messages.size(), 1u);
    const auto& message = messages[0];
    EXPECT_EQ(message.header("TTL"), "60");
    EXPECT_EQ(message.header("Urgency"), "high");
    EXPECT_EQ(message.header("Content-Encoding"), "aes128gcm");
    EXPECT_EQ(message.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(decrypted(keys, message), wakeUp(hex64('a')));

    auto claims = webpush::verifyVapid(message.header("Authorization"), receiver_->origin(),
                                       webpush::VapidClock::now());
    ASSERT_TRUE(claims) << "the VAPID token does not verify for " << receiver_->origin();
    EXPECT_EQ(webpush::base64urlEncode(claims->publicKey), service_->started()["vapidPublicKey"]);
    EXPECT_EQ(claims->subject, kSubject);

    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["status"], 201);
    EXPECT_TRUE(list[0]["error"].is_null());
    EXPECT_EQ(list[0]["location"], receiver_->origin() + "/message/wake/1");
    EXPECT_EQ(list[0]["groupKey"], hex64('a'));
    EXPECT_TRUE(list[0]["at"].is_string());

    // Generated changes come through the same queue: one more wake-up.
    service_->admin("POST", "/admin/receivers/" + id + "/changes/generate",
                    {{"count", 7}, {"groupKey", hex64('c')}});
    deliveries(id, 2);
    messages = receiver_->messages(path);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(decrypted(keys, messages[1]), wakeUp(hex64('c')));

    // Without a subscription nothing is sent; the next wake-up after
    // subscribing again is the only new message.
    service_->admin("DELETE", "/admin/receivers/" + id + "/push-subscription");
    queue(id, change("unsent_notification", hex64('d')));
    subscribe(id, subscription(endpoint, keys));
    queue(id, change("after_resubscribing", hex64('e')));
    list = deliveries(id, 3);
    messages = receiver_->messages(path);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(decrypted(keys, messages[2]), wakeUp(hex64('e')));
    EXPECT_EQ(list[2]["groupKey"], hex64('e'));

    // A call whose records name no group at all sends nothing and says why.
    queue(id, Json::array({{{"notificationId", "only_a_withdrawal"}, {"state", "withdrawn"}}}));
    list = deliveries(id, 4);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[3]["error"], "no_group_key");
    EXPECT_EQ(list[3]["status"], 0);
    EXPECT_EQ(receiver_->messages(path).size(), 3u);
}

// A port on loopback where nothing accepts: bound, never listening.
class ClosedPort {
  public:
    ClosedPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            ADD_FAILURE() << "no port to leave closed";
        port_ = ntohs(address.sin_port);
    }
    ~ClosedPort() { ::close(fd_); }
    int port() const { return port_; }

  private:
    int fd_;
    int port_ = 0;
};

TEST_F(WebPushWakeUpTest, FailedSendsAreRecordedOnceAndTheServiceKeepsServing) {
    ClosedPort closed;
    struct Case {
        const char* name;
        std::string endpoint;
        int status;
        const char* error;
        std::size_t messages;
    } cases[] = {
        {"gone", receiver_->endpoint(410, "gone"), 410, "subscription_gone", 1},
        {"not found", receiver_->endpoint(404, "missing"), 404, "subscription_gone", 1},
        {"redirect not followed", receiver_->endpoint(307, "moved"), 307, "rejected", 1},
        {"not listening", "http://127.0.0.1:" + std::to_string(closed.port()) + "/push", 0, "connect_failed",
         0},
    };
    const auto keys = webpush::ReceiverKeys::generate();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = receiverId();
        subscribe(id, subscription(c.endpoint, keys));
        queue(id, change("failing_notification", hex64('f')));
        Json list = deliveries(id, 1);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0]["status"], c.status);
        EXPECT_EQ(list[0]["error"], c.error);
        EXPECT_EQ(list[0]["groupKey"], hex64('f'));
        if (c.messages) {
            EXPECT_TRUE(list[0]["location"].is_string());
            EXPECT_EQ(receiver_->messages(c.endpoint.substr(receiver_->origin().size())).size(), 1u);
        } else {
            EXPECT_TRUE(list[0]["location"].is_null());
        }

        // Nothing is retried, and the queued changes stay served.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(deliveries(id, 1).size(), 1u);
        EXPECT_EQ(service_->admin("GET", "/admin/receivers/" + id)["pending"], 1);
    }
}

}  // namespace
