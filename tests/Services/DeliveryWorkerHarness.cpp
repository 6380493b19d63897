#include "tests/Services/DeliveryWorkerHarness.h"

#include "platform/Task.h"

namespace TamselNotificationService::testing {

Json sessionData() {
    return {{"workerSession",
             {{"receiverId", kReceiver},
              {"accessToken", kAccessToken},
              {"expiresAt", kLater},
              {"authorizationRevision", "5"}}}};
}

Json badgeData() { return {{"badge", {{"receiverId", kReceiver}, {"revision", "3"}, {"unreadCount", 7}}}}; }

Json pageData(const Json& changes, const Json& nextCursor, const std::string& batchId) {
    return {{"batchId", batchId},
            {"receiptProof", kReceiptProof},
            {"changes", changes},
            {"nextCursor", nextCursor},
            {"expiresAt", kLater}};
}

namespace {
std::string exchangeOf(const std::string& path) {
    for (const char* name : {"worker-sessions", "badge", "delivery-changes", "delivery-acknowledgments"}) {
        const std::string suffix = std::string("/") + name;
        if (path.size() >= suffix.size() &&
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
            return name;
    }
    return "";
}
}  // namespace

DeliveryWorkerHarness::DeliveryWorkerHarness()
    : credential_(goodCredential()), clock_(std::make_shared<tamsel::platform::ManualClock>(kNow)) {
    session_ = [](const RecordedRequest&) {
        return ScriptedResponse::envelope(sessionData(), "notification_worker_session.v2");
    };
    badge_ = [](const RecordedRequest&) {
        return ScriptedResponse::envelope(badgeData(), "notification_badge.v1");
    };
    page_ = [](const RecordedRequest&) {
        return ScriptedResponse::envelope(pageData(Json::array(), nullptr),
                                          "notification_delivery_changes.v2");
    };
    acknowledge_ = [](const RecordedRequest& request) {
        Json body = tamsel::platform::parseJson(request.body);
        return ScriptedResponse::envelope(
            {{"acknowledgment",
              {{"receiverId", kReceiver}, {"batchId", body["batchId"]}, {"changeCount", 0}}}},
            "notification_delivery_acknowledged.v2");
    };
    platform_.clock = clock_;
    platform_.sessions = tamsel::platform::testing::testSessions();
    server_.setHandler([this](const RecordedRequest& request) { return dispatch(request); });
}

DeliveryWorkerHarness::~DeliveryWorkerHarness() {
    // A run's thread still winds down briefly after its outcome is out; none may
    // outlive the test (nor the process's statics).
    EXPECT_TRUE(
        tamsel::platform::waitForAllTasks(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
    server_.stop();
}

ScriptedResponse DeliveryWorkerHarness::dispatch(const RecordedRequest& request) {
    const std::string exchange = exchangeOf(request.path);
    Answer answer;
    {
        std::lock_guard lock(mutex_);
        events_.push_back(exchange.empty() ? request.path : exchange);
        if (exchange == "worker-sessions") answer = session_;
        if (exchange == "badge") answer = badge_;
        if (exchange == "delivery-changes") answer = page_;
        if (exchange == "delivery-acknowledgments") answer = acknowledge_;
    }
    if (!answer) return ScriptedResponse::json(404, {{"error", {{"code", "not_found"}}}});
    return answer(request);
}

void DeliveryWorkerHarness::onSession(Answer answer) {
    std::lock_guard lock(mutex_);
    session_ = std::move(answer);
}
void DeliveryWorkerHarness::onBadge(Answer answer) {
    std::lock_guard lock(mutex_);
    badge_ = std::move(answer);
}
void DeliveryWorkerHarness::onPage(Answer answer) {
    std::lock_guard lock(mutex_);
    page_ = std::move(answer);
}
void DeliveryWorkerHarness::onAcknowledge(Answer answer) {
    std::lock_guard lock(mutex_);
    acknowledge_ = std::move(answer);
}

void DeliveryWorkerHarness::pages(std::map<std::string, ScriptedResponse> byCursor) {
    onPage([byCursor = std::move(byCursor)](const RecordedRequest& request) {
        std::string cursor;
        if (auto at = request.target.find("&cursor="); at != std::string::npos)
            cursor = request.target.substr(at + 8);
        auto it = byCursor.find(cursor);
        if (it == byCursor.end())
            return ScriptedResponse::json(400, {{"error", {{"code", "invalid_cursor"}}}});
        return it->second;
    });
}

NotificationWorkerCredential DeliveryWorkerHarness::goodCredential() {
    return {kReceiver, kRefreshProof, "5", kNow + std::chrono::hours(1)};
}

void DeliveryWorkerHarness::setCredential(NotificationWorkerCredential credential) {
    std::lock_guard lock(mutex_);
    credential_ = std::move(credential);
    credentialError_ = nullptr;
}

void DeliveryWorkerHarness::failCredentials(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    credentialError_ = std::move(error);
}

int DeliveryWorkerHarness::credentialReads() const {
    std::lock_guard lock(mutex_);
    return credentialReads_;
}

void DeliveryWorkerHarness::onApply(
    std::function<void(const std::vector<NotificationDeliveryChange>&)> hook) {
    std::lock_guard lock(mutex_);
    applyHook_ = std::move(hook);
}

void DeliveryWorkerHarness::onApplyBadge(std::function<void(const NotificationBadge&)> hook) {
    std::lock_guard lock(mutex_);
    badgeHook_ = std::move(hook);
}

std::unique_ptr<NotificationDeliveryWorker> DeliveryWorkerHarness::makeWorker(bool withBadge) {
    auto credentials = [this] {
        std::lock_guard lock(mutex_);
        ++credentialReads_;
        events_.push_back("credentials");
        if (credentialError_) std::rethrow_exception(credentialError_);
        return credential_;
    };
    auto apply = [this](const std::string& receiver, const std::vector<NotificationDeliveryChange>& changes) {
        std::function<void(const std::vector<NotificationDeliveryChange>&)> hook;
        {
            std::lock_guard lock(mutex_);
            std::vector<std::string> ids;
            for (const auto& change : changes) ids.push_back(change.notificationID);
            applied_.push_back(std::move(ids));
            appliedReceivers_.push_back(receiver);
            events_.push_back("apply");
            hook = applyHook_;
        }
        if (hook) hook(changes);
    };
    std::optional<NotificationDeliveryWorker::ApplyBadge> applyBadge;
    if (withBadge) {
        applyBadge = [this](const NotificationBadge& badge) {
            std::function<void(const NotificationBadge&)> hook;
            {
                std::lock_guard lock(mutex_);
                badges_.push_back(badge);
                events_.push_back("applyBadge");
                hook = badgeHook_;
            }
            if (hook) hook(badge);
        };
    }
    return std::make_unique<NotificationDeliveryWorker>(server_.origin(), credentials, apply, applyBadge,
                                                        platform_);
}

std::vector<std::vector<std::string>> DeliveryWorkerHarness::applied() const {
    std::lock_guard lock(mutex_);
    return applied_;
}

std::vector<std::string> DeliveryWorkerHarness::appliedReceivers() const {
    std::lock_guard lock(mutex_);
    return appliedReceivers_;
}

std::vector<NotificationBadge> DeliveryWorkerHarness::badges() const {
    std::lock_guard lock(mutex_);
    return badges_;
}

std::vector<std::string> DeliveryWorkerHarness::requestLines() const {
    std::vector<std::string> lines;
    for (const auto& request : server_.requests()) lines.push_back(request.method + " " + request.target);
    return lines;
}

std::vector<RecordedRequest> DeliveryWorkerHarness::requestsTo(const std::string& exchange) const {
    std::vector<RecordedRequest> out;
    for (const auto& request : server_.requests()) {
        if (exchangeOf(request.path) == exchange) out.push_back(request);
    }
    return out;
}

std::vector<std::string> DeliveryWorkerHarness::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

}  // namespace TamselNotificationService::testing
