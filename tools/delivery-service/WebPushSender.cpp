#include "tools/delivery-service/WebPushSender.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "platform/Url.h"
#include "tools/delivery-service/DeliveryState.h"
#include "tools/delivery-service/Encoding.h"
#include "webpush/Base64Url.h"
#include "webpush/Encryption.h"

namespace tamsel::delivery {
namespace {

constexpr std::size_t kMaxEndpointLength = 2048;
// Sends asked for while this many wait are dropped (and recorded as such):
// a stuck push service must not grow the queue without bound.
constexpr std::size_t kMaxQueued = 1024;
constexpr long kTimeoutMilliseconds = 10000;
constexpr const char* kTtlSeconds = "60";
// Long enough for any retry a push service makes, well inside RFC 8292's day.
constexpr std::chrono::hours kTokenLifetime{12};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Plain http is only for a push service on this machine (the test distributor).
bool loopback(const std::string& host) {
    if (host == "localhost" || host == "[::1]") return true;
    in_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::string requiredString(const Json& request, const char* key) {
    auto it = request.find(key);
    if (it == request.end() || !it->is_string()) throw AdminError(400, "invalid_request");
    return it->get<std::string>();
}

// The outcome of one send as the admin interface lists it.
Json outcome(long status, const char* error, const std::string& location, const std::string& groupKey) {
    return Json{{"status", status},
                {"error", error ? Json(error) : Json(nullptr)},
                {"location", location.empty() ? Json(nullptr) : Json(location)},
                {"groupKey", groupKey},
                {"at", rfc3339(std::chrono::system_clock::now())}};
}

const char* transferError(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return "resolve_failed";
        case CURLE_COULDNT_CONNECT:
            return "connect_failed";
        case CURLE_OPERATION_TIMEDOUT:
            return "timeout";
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return "tls_failed";
        case CURLE_ABORTED_BY_CALLBACK:
            return "stopped";
        default:
            return "transfer_failed";
    }
}

const char* statusError(long status) {
    if (status >= 200 && status < 300) return nullptr;
    // RFC 8030 section 7.3: the subscription expired or was removed.
    if (status == 404 || status == 410) return "subscription_gone";
    if (status == 413) return "payload_too_large";
    if (status == 429) return "rate_limited";
    return "rejected";
}

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) { return size * count; }

std::size_t readLocation(char* data, std::size_t size, std::size_t count, void* target) {
    const std::string_view line(data, size * count);
    constexpr std::string_view kName = "location:";
    if (line.size() > kName.size() && lower(std::string(line.substr(0, kName.size()))) == kName) {
        std::string value(line.substr(kName.size()));
        const auto first = value.find_first_not_of(" \t");
        const auto last = value.find_last_not_of(" \t\r\n");
        value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
        // Kept only when it is plain text of a sane length: it ends up in JSON.
        const bool printable =
            std::all_of(value.begin(), value.end(), [](unsigned char c) { return c >= 0x20 && c < 0x7f; });
        *static_cast<std::string*>(target) = printable && value.size() <= 2048 ? value : "";
    }
    return size * count;
}

int abortWhenStopping(void* stopping, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::atomic<bool>*>(stopping)->load() ? 1 : 0;
}

}  // namespace

PushSubscription pushSubscriptionFromJson(const Json& request) {
    if (!request.is_object()) throw AdminError(400, "invalid_request");
    for (const auto& [key, value] : request.items()) {
        if (key != "endpoint" && key != "p256dh" && key != "auth") throw AdminError(400, "unknown_member");
    }
    PushSubscription subscription;
    subscription.endpoint = requiredString(request, "endpoint");
    const std::string p256dh = requiredString(request, "p256dh");
    const std::string auth = requiredString(request, "auth");

    if (subscription.endpoint.size() > kMaxEndpointLength) throw AdminError(400, "invalid_endpoint");
    auto url = tamsel::platform::parseURL(subscription.endpoint);
    if (!url || !url->host || url->host->empty() || url->user || url->password || url->fragment ||
        (url->scheme != "https" && !(url->scheme == "http" && loopback(lower(*url->host)))))
        throw AdminError(400, "invalid_endpoint");
    // The origin as RFC 6454 serialises it: no default port.
    subscription.origin = url->scheme + "://" + lower(*url->host);
    if (url->port &&
        !((url->scheme == "https" && *url->port == "443") || (url->scheme == "http" && *url->port == "80")))
        subscription.origin += ":" + *url->port;

    auto point = webpush::base64urlDecode(p256dh);
    if (!point || point->size() != webpush::kPublicKeySize || !webpush::p256::fromPublic(*point))
        throw AdminError(400, "invalid_p256dh");
    subscription.p256dh = std::move(*point);
    auto secret = webpush::base64urlDecode(auth);
    if (!secret || secret->size() != webpush::kAuthSecretSize) throw AdminError(400, "invalid_auth");
    subscription.auth = std::move(*secret);
    return subscription;
}

bool acceptableVapidSubject(std::string_view subject) {
    return (subject.starts_with("mailto:") || subject.starts_with("https:")) && subject.size() <= 512 &&
           std::all_of(subject.begin(), subject.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

std::string wakeUpContent(const std::string& groupKey) {
    return Json{{"title", "Tamsel"},
                {"body", "New messages"},
                {"userInfo", {{"tamsel", {{"version", "notification-wakeup.v2"}, {"groupKey", groupKey}}}}}}
        .dump();
}

WebPushSender::WebPushSender(std::string subject, Recorder record)
    : vapid_(webpush::VapidKey::generate()), subject_(std::move(subject)), record_(std::move(record)) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("libcurl cannot start");
    thread_ = std::thread([this] { run(); });
}

WebPushSender::~WebPushSender() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    aborting_ = true;
    wake_.notify_all();
    thread_.join();
}

void WebPushSender::send(WakeUp wakeUp) {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_ && queue_.size() < kMaxQueued) {
            queue_.push_back(std::move(wakeUp));
            wake_.notify_one();
            return;
        }
    }
    record_(wakeUp.receiverId, outcome(0, "queue_full", "", wakeUp.groupKey));
}

void WebPushSender::run() {
    for (;;) {
        WakeUp next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        Json delivery;
        try {
            delivery = deliver(next);
        } catch (const std::invalid_argument&) {
            // The group key makes the wake-up too large to encrypt in one record.
            delivery = outcome(0, "payload_too_large", "", next.groupKey);
        } catch (const std::exception&) {
            delivery = outcome(0, "internal_error", "", next.groupKey);
        }
        record_(next.receiverId, std::move(delivery));
    }
}

Json WebPushSender::deliver(const WakeUp& wakeUp) {
    const std::string content = wakeUpContent(wakeUp.groupKey);
    const std::vector<std::uint8_t> body =
        webpush::encrypt(wakeUp.subscription.p256dh, wakeUp.subscription.auth,
                         std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
    const std::string authorization = vapid_.authorization(wakeUp.subscription.origin, subject_,
                                                           webpush::VapidClock::now() + kTokenLifetime);

    std::unique_ptr<CURL, CurlEasyDeleter> curl(curl_easy_init());
    if (!curl) throw std::runtime_error("curl_easy_init failed");
    curl_slist* raw = nullptr;
    for (const std::string& header :
         {std::string("TTL: ") + kTtlSeconds, std::string("Urgency: high"),
          std::string("Content-Encoding: aes128gcm"), std::string("Content-Type: application/octet-stream"),
          "Authorization: " + authorization, std::string("Expect:")}) {
        curl_slist* appended = curl_slist_append(raw, header.c_str());
        if (!appended) {
            curl_slist_free_all(raw);
            throw std::runtime_error("curl_slist_append failed");
        }
        raw = appended;
    }
    std::unique_ptr<curl_slist, CurlListDeleter> headers(raw);

    std::string location;
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, wakeUp.subscription.endpoint.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, kTimeoutMilliseconds);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discardBody);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, readLocation);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &location);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, abortWhenStopping);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &aborting_);

    const CURLcode result = curl_easy_perform(h);
    if (result != CURLE_OK) return outcome(0, transferError(result), "", wakeUp.groupKey);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return outcome(status, statusError(status), location, wakeUp.groupKey);
}

}  // namespace tamsel::delivery
