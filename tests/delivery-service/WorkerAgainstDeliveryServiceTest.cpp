// A worker runs full synchronisations against the reference delivery service,
// over real HTTPS verified against the service's own CA.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "Services/NotificationDeliveryWorker.h"
#include "platform/Task.h"
#include "platform/linux/CurlHTTPSession.h"
#include "tests/support/DeliveryServiceProcess.h"

namespace TamselNotificationService {
namespace {

using tamsel::platform::Json;
using tamsel::platform::testing::DeliveryServiceProcess;
using namespace std::chrono_literals;

// One receiver at the service and a worker for it; records what was applied.
class ServiceWorker {
  public:
    explicit ServiceWorker(const DeliveryServiceProcess& service) : service_(service) {
        credential_ = service.registerReceiver().dump();
        receiver_ = tamsel::platform::parseJson(credential_)["receiverID"];
        platform_.clock = std::make_shared<tamsel::platform::SystemClock>();
        tamsel::platform::HTTPSessionSettings settings;
        settings.caFile = service.caFile();
        platform_.sessions = std::make_shared<tamsel::platform::CurlHTTPSessionFactory>(settings);
    }

    std::unique_ptr<NotificationDeliveryWorker> makeWorker() {
        auto credentials = [this] {
            std::lock_guard lock(mutex_);
            return NotificationWorkerCredential::decode(credential_);
        };
        auto apply = [this](const std::string& receiver,
                            const std::vector<NotificationDeliveryChange>& changes) {
            std::function<void()> hook;
            {
                std::lock_guard lock(mutex_);
                EXPECT_EQ(receiver, receiver_);
                std::vector<std::string> ids;
                for (const auto& change : changes) ids.push_back(change.notificationID);
                pages_.push_back(std::move(ids));
                hook = onApply_;
            }
            if (hook) hook();
        };
        auto applyBadge = [this](const NotificationBadge& badge) {
            std::lock_guard lock(mutex_);
            badges_.push_back(badge);
        };
        return std::make_unique<NotificationDeliveryWorker>(service_.origin(), credentials, apply, applyBadge,
                                                            platform_);
    }

    ~ServiceWorker() {
        // No run's thread may outlive the test.
        EXPECT_TRUE(tamsel::platform::waitForAllTasks(std::chrono::steady_clock::now() + 10s));
    }

    const std::string& receiver() const { return receiver_; }
    std::string admin(const std::string& tail) const { return "/admin/receivers/" + receiver_ + tail; }
    std::vector<std::vector<std::string>> pages() const {
        std::lock_guard lock(mutex_);
        return pages_;
    }
    std::vector<NotificationBadge> badges() const {
        std::lock_guard lock(mutex_);
        return badges_;
    }
    void onApply(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        onApply_ = std::move(hook);
    }

  private:
    const DeliveryServiceProcess& service_;
    tamsel::platform::Platform platform_;
    mutable std::mutex mutex_;
    std::string credential_;
    std::string receiver_;
    std::vector<std::vector<std::string>> pages_;
    std::vector<NotificationBadge> badges_;
    std::function<void()> onApply_;
};

TEST(WorkerAgainstDeliveryService, ACursorThatExpiresBetweenPagesEndsTheRunAndTheNextRunResumes) {
    DeliveryServiceProcess service;
    ServiceWorker client(service);
    service.admin("POST", client.admin("/changes/generate"), {{"count", 70}});
    client.onApply([&] { service.admin("POST", client.admin("/expire-cursors")); });
    auto worker = client.makeWorker();
    EXPECT_NO_THROW(worker->synchronize());
    EXPECT_EQ(client.pages().size(), 1u);
    EXPECT_EQ(service.admin("GET", client.admin(""))["pending"], 20);

    client.onApply(nullptr);
    worker->synchronize();
    ASSERT_EQ(client.pages().size(), 2u);
    EXPECT_EQ(client.pages()[1].size(), 20u);
    EXPECT_EQ(service.admin("GET", client.admin(""))["pending"], 0);
}

}  // namespace
}  // namespace TamselNotificationService
