// Several extension processes apply the same page at the same time on the
// file-backed platform: each notification is shown and each intent donated
// exactly once, whichever process gets the ledger.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>

#include "Services/NotificationDeliveryFailure.h"
#include "platform/RegularFile.h"
#include "platform/file/FileInteractionStore.h"
#include "platform/file/FileNotificationCenter.h"
#include "tests/Services/PresenterFixture.h"
#include "tests/support/SpawnedTestProcess.h"

namespace presentation_test {
namespace {

std::vector<NotificationDeliveryChange> sharedPage() {
    return {fromSender(change("n-a", "3", 'a')), fromSender(change("n-b", "1", 'b'), "Grace", senderID('b')),
            change("n-c", "7", 'c'), withdrawal("n-old", "2")};
}

Platform filePlatform(const std::filesystem::path& root) {
    auto bundle = std::make_shared<MemoryBundle>();
    bundle->set("TAMSEL_NOTIFICATION_APP_GROUP", PropertyValue{kGroup});
    Platform p;
    p.bundle = bundle;
    p.clock = std::make_shared<SystemClock>();
    p.files = std::make_shared<PosixFileSystem>(root);
    p.center = std::make_shared<FileNotificationCenter>(root / "notification-center.json", p.clock);
    p.interactions = std::make_shared<FileInteractionStore>(root / "interactions.json");
    return p;
}

// Writes each log message as a line on stdout, for the parent to count.
class StdoutMessages final : public LogSink {
  public:
    void write(const LogRecord& record) override {
        std::lock_guard lock(mutex_);
        std::cout << record.message << std::endl;
    }

  private:
    std::mutex mutex_;
};

}  // namespace
}  // namespace presentation_test

// In a child process: applies the shared page, trying again while another
// process holds the ledger.
TAMSEL_TEST_PROCESS_ROLE(apply_shared_page) {
    using namespace presentation_test;
    const char* root = std::getenv("TAMSEL_TEST_PLATFORM_ROOT");
    if (!root) return 2;
    setLogSink(std::make_shared<StdoutMessages>());
    NotificationDeliveryPresenter presenter(nullptr, filePlatform(root));
    const auto lockFile =
        NotificationRevisionLedger::lockFile(std::filesystem::path(root) / "containers" / kGroup /
                                             "NotificationDelivery" / NotificationRevisionLedger::kFileName);
    for (int attempt = 0; attempt < 100; ++attempt) {
        try {
            presenter.apply(kReceiver, sharedPage());
            std::cout << "applied" << std::endl;
            return 0;
        } catch (const NotificationDeliveryFailure& failure) {
            if (failure.kind() != NotificationDeliveryFailure::Kind::response) return 3;
            // Another process holds the ledger: wait (bounded) until it lets go.
            int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0) return 5;
            try {
                tamsel::platform::lockExclusively(
                    fd, std::chrono::steady_clock::now() + std::chrono::seconds(10));
            } catch (const std::exception&) {
                ::close(fd);
                return 6;
            }
            ::close(fd);  // releases it at once
        }
    }
    return 4;
}

namespace presentation_test {
namespace {

using tamsel::testing::SpawnedTestProcess;

TEST(PresenterAcrossProcesses, ConcurrentProcessesShowEachChangeOnce) {
    ScratchDirectory root;
    std::filesystem::create_directories(root.path() / "containers" / kGroup);
    auto platform = filePlatform(root.path());
    platform.center->add(shownRequest("n-old", "1", 'd'));
    platform.center->add(shownRequest("n-keep", "1", 'e'));

    std::vector<std::unique_ptr<SpawnedTestProcess>> children;
    for (int i = 0; i < 4; ++i)
        children.push_back(std::make_unique<SpawnedTestProcess>(
            "apply_shared_page",
            std::map<std::string, std::string>{{"TAMSEL_TEST_PLATFORM_ROOT", root.path()}}));
    int donations = 0;
    for (auto& child : children) {
        child->closeInput();
        std::istringstream lines(child->readAll());
        for (std::string line; std::getline(lines, line);)
            donations += line == "communication_intent_applied";
        EXPECT_EQ(child->wait(), 0);
    }
    EXPECT_EQ(donations, 2);

    std::map<std::string, std::string> shown;  // notification -> revision
    for (const auto& delivered : platform.center->deliveredNotifications()) {
        const auto& info = *delivered.request.content->userInfo;
        EXPECT_TRUE(shown.emplace(info["tamselNotificationId"], info["tamselNotificationRevision"]).second);
    }
    EXPECT_EQ(shown, (std::map<std::string, std::string>{{notificationID("n-a"), "3"},
                                                         {notificationID("n-b"), "1"},
                                                         {notificationID("n-c"), "7"},
                                                         {notificationID("n-keep"), "1"}}));
    auto donated = std::static_pointer_cast<FileInteractionStore>(platform.interactions)->donated();
    ASSERT_EQ(donated.size(), 2u);
    EXPECT_EQ(donated[0].intent.sender->displayName, "Ada Example");
    EXPECT_EQ(donated[1].intent.sender->displayName, "Grace");

    // A later process finds everything recorded.
    NotificationDeliveryPresenter(nullptr, platform).apply(kReceiver, sharedPage());
    EXPECT_EQ(platform.center->deliveredNotifications().size(), 4u);
}

}  // namespace
}  // namespace presentation_test
