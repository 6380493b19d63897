#include "NotificationService/NotificationService.h"

#include "Services/ErrorReport.h"
#include "Services/NotificationDeliveryPresenter.h"
#include "Services/NotificationDeliveryRecords.h"
#include "Services/NotificationDeliveryWorker.h"
#include "Services/NotificationSharedAuthority.h"
#include "platform/Url.h"

namespace TamselNotificationService {

using tamsel::platform::Json;

namespace {
constexpr const char* kWakeupVersion = "notification-wakeup.v2";
constexpr const char* kBaseURLKey = "TAMSEL_API_BASE_URL";
}  // namespace

NotificationService::NotificationService(tamsel::platform::Platform platform)
    : platform_(std::move(platform)),
      logger_(std::string(tamsel::platform::kSubsystem), "notification-extension") {}

std::optional<std::string> NotificationService::acceptedGroupKey(
    const tamsel::platform::NotificationContent& content) const {
    if (!content.userInfo || !content.userInfo->is_object()) return std::nullopt;
    auto entry = content.userInfo->find("tamsel");
    if (entry == content.userInfo->end() || !entry->is_object()) return std::nullopt;
    for (const auto& [key, value] : entry->items())
        if (!value.is_string()) return std::nullopt;
    if (entry->size() != 2 || !entry->contains("version") || !entry->contains("groupKey"))
        return std::nullopt;
    if (entry->at("version").get_ref<const std::string&>() != kWakeupVersion) return std::nullopt;
    const auto& groupKey = entry->at("groupKey").get_ref<const std::string&>();
    if (!NotificationDeliveryRecords::groupKey(groupKey)) return std::nullopt;
    return groupKey;
}

std::optional<std::string> NotificationService::baseURL() const {
    if (!platform_.bundle) return std::nullopt;
    auto value = platform_.bundle->object(kBaseURLKey);
    if (!value || !value->string() || !tamsel::platform::isURIReference(*value->string()))
        return std::nullopt;
    return *value->string();
}

void NotificationService::didReceive(const tamsel::platform::NotificationRequest& request,
                                     ContentHandler contentHandler) {
    logger_.info("extension_request_received");
    const auto& content = request.content;
    std::optional<std::string> groupKey = content ? acceptedGroupKey(*content) : std::nullopt;
    std::optional<std::string> url = groupKey ? baseURL() : std::nullopt;
    if (!groupKey || !url) {
        logger_.error("extension_request_rejected");
        contentHandler(content);
        return;
    }
    auto remote =
        std::make_shared<NotificationRemotePresentation>(*groupKey, content, std::move(contentHandler));
    {
        std::lock_guard guard(fieldsLock_);
        remote_ = remote;
    }
    startRun(*url, remote);
}

void NotificationService::startRun(const std::string& baseURL,
                                   const std::shared_ptr<NotificationRemotePresentation>& remote) {
    auto presenter = std::make_shared<NotificationDeliveryPresenter>(remote, platform_);
    std::shared_ptr<NotificationDeliveryWorker> worker;
    try {
        // The credential is read anew on every call, inside the run: the main
        // application may replace it at any time.
        worker = std::make_shared<NotificationDeliveryWorker>(
            baseURL, [platform = platform_] { return NotificationSharedAuthority::load(platform); },
            [presenter](const std::string& receiver, const std::vector<NotificationDeliveryChange>& changes) {
                presenter->apply(receiver, changes);
            },
            NotificationDeliveryWorker::ApplyBadge(
                [presenter](const NotificationBadge& badge) { presenter->applyBadge(badge); }),
            platform_);
    } catch (...) {
        // A refused base URL, or a session that cannot be built: either way no run.
        logger_.error("extension_worker_initialization_failed");
        remote->finishFallback();
        return;
    }
    {
        std::lock_guard guard(fieldsLock_);
        worker_ = worker;
    }
    auto task = tamsel::platform::Task<void>::start([worker, remote, logger = logger_] {
        try {
            worker->synchronize();
            logger.info("extension_worker_completed");
        } catch (...) {
            logger.error("extension_worker_failed type=" + errorTypeName(std::current_exception()));
        }
        remote->finishFallback();
    });
    std::lock_guard guard(fieldsLock_);
    task_ = task;
}

void NotificationService::serviceExtensionTimeWillExpire() {
    logger_.error("extension_time_expired");
    std::optional<tamsel::platform::Task<void>> task;
    std::shared_ptr<NotificationRemotePresentation> remote;
    std::shared_ptr<NotificationDeliveryWorker> worker;
    {
        std::lock_guard guard(fieldsLock_);
        task = task_;
        remote = remote_;
        worker = worker_;
    }
    // Run stop: nothing here waits for the run to wind down.
    if (task) task->cancel();
    if (worker) tamsel::platform::Task<void>::start([worker] { worker->cancel(); });
    if (remote) remote->finishFallback();
}

bool NotificationService::waitForRun(std::chrono::steady_clock::time_point deadline) {
    std::optional<tamsel::platform::Task<void>> task;
    {
        std::lock_guard guard(fieldsLock_);
        task = task_;
    }
    return !task || task->waitUntil(deadline);
}

}  // namespace TamselNotificationService
