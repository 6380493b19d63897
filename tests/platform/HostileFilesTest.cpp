// Something other than the expected regular file where a platform file belongs:
// each is refused at once with its service's own error, and nothing changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>

#include "platform/Bundle.h"
#include "platform/RegularFile.h"
#include "platform/file/FileInteractionStore.h"
#include "platform/file/FileKeychain.h"
#include "platform/file/FileNotificationCenter.h"
#include "platform/file/PosixFileSystem.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using namespace tamsel::platform;
using namespace std::chrono_literals;
using tamsel::testing::readText;
using tamsel::testing::ScratchDirectory;
using tamsel::testing::writeText;

enum class Hostile { symlink, fifo, directory, oversized };

const char* nameOf(Hostile kind) {
    switch (kind) {
        case Hostile::symlink:
            return "symlink";
        case Hostile::fifo:
            return "fifo";
        case Hostile::directory:
            return "directory";
        case Hostile::oversized:
            return "oversized";
    }
    return "?";
}

void plant(Hostile kind, const std::filesystem::path& path, const std::filesystem::path& elsewhere,
           std::size_t cap) {
    std::filesystem::create_directories(path.parent_path());
    switch (kind) {
        case Hostile::symlink:
            // A link to a well-formed file: following it would be the fault.
            std::filesystem::create_symlink(elsewhere, path);
            break;
        case Hostile::fifo:
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            break;
        case Hostile::directory:
            std::filesystem::create_directory(path);
            break;
        case Hostile::oversized:
            writeText(path, std::string(cap + 1, ' '));
            break;
    }
}

// Every entry below the root: its kind and, for a file, its bytes.
std::map<std::string, std::string> snapshot(const std::filesystem::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        auto status = entry.symlink_status();
        std::string description = std::to_string(static_cast<int>(status.type()));
        if (std::filesystem::is_symlink(status))
            description += std::filesystem::read_symlink(entry.path()).string();
        else if (std::filesystem::is_regular_file(status))
            description += readText(entry.path());
        entries[entry.path().lexically_relative(root).string()] = description;
    }
    return entries;
}

// What one call reports: a name for the error and its code.
using Outcome = std::pair<std::string, long>;

template <class Error>
Outcome caught(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return {"error", error.code()};
    } catch (const std::exception& other) {
        return {std::string("unexpected ") + other.what(), 0};
    }
    return {"no error", 0};
}

struct Place {
    const char* name;
    std::filesystem::path relative;
    std::size_t cap;  // 0: no size cap at this place
    // Runs the service on the root; returns the outcome for `kind`.
    std::function<Outcome(const std::filesystem::path& root)> call;
    std::function<Outcome(Hostile kind)> expected;
};

const std::string kGroup = "group.test";

std::vector<Place> places() {
    return {
        {"ledger lock", "ledger.json.lock", 0,
         [](const std::filesystem::path& root) -> Outcome {
             PosixFileSystem files(root);
             int fd = files.open(root / "ledger.json.lock", O_RDWR | O_CREAT, 0600);
             if (fd >= 0) {
                 files.close(fd);
                 return {"no error", 0};
             }
             return {"errno", errno};
         },
         [](Hostile kind) -> Outcome {
             if (kind == Hostile::symlink) return {"errno", ELOOP};
             if (kind == Hostile::directory) return {"errno", EISDIR};
             return {"errno", kNotARegularFile};
         }},
        {"notification centre", "notification-center.json", 0,
         [](const std::filesystem::path& root) {
             FileNotificationCenter center(root / "notification-center.json",
                                           std::make_shared<SystemClock>());
             auto added = caught<NotificationCenterError>([&] {
                 center.add({"id", std::make_shared<const NotificationContent>()});
             });
             auto read = caught<NotificationCenterError>([&] { center.deliveredNotifications(); });
             return added == read ? added : Outcome{"add and read differ", 0};
         },
         [](Hostile) -> Outcome {
             return {"error", NotificationCenterError::kStoreUnavailable};
         }},
        {"interaction store", "interactions.json", 0,
         [](const std::filesystem::path& root) {
             FileInteractionStore store(root / "interactions.json");
             Interaction interaction;
             interaction.identifier = "x";
             return caught<IntentError>([&] { store.donate(interaction); });
         },
         [](Hostile) -> Outcome {
             return {"error", IntentError::kStoreUnavailable};
         }},
        {"keychain item",
         std::filesystem::path("keychain") / kGroup / kCredentialService / kCredentialAccount,
         FileKeychain::kLargestItem,
         [](const std::filesystem::path& root) -> Outcome {
             FileKeychain keychain(root);
             auto result = keychain.copyMatching({{kSecClass, kSecClassGenericPassword},
                                                  {kSecUseDataProtectionKeychain, true},
                                                  {kSecAttrAccessGroup, kGroup},
                                                  {kSecAttrService, kCredentialService},
                                                  {kSecAttrAccount, kCredentialAccount},
                                                  {kSecReturnData, true}});
             return {"status", result.status};
         },
         [](Hostile) -> Outcome {
             return {"status", kErrSecIO};
         }},
        {"Info.plist", std::filesystem::path("bundle") / "Info.plist", PlistBundle::kLargestInfoPlist,
         [](const std::filesystem::path& root) -> Outcome {
             try {
                 PlistBundle bundle(root / "bundle");
             } catch (const BundleError& error) {
                 return {error.what(), 0};
             }
             return {"no error", 0};
         },
         [](Hostile kind) -> Outcome {
             if (kind == Hostile::oversized) return {"Info.plist is larger than 1 MiB", 0};
             return {"Info.plist is not a regular file", 0};
         }},
    };
}

TEST(HostileFiles, AreRefusedAtOnceWithTheServicesOwnErrorAndNothingChanges) {
    for (const auto& place : places()) {
        for (Hostile kind : {Hostile::symlink, Hostile::fifo, Hostile::directory, Hostile::oversized}) {
            if (kind == Hostile::oversized && place.cap == 0) continue;
            SCOPED_TRACE(std::string(place.name) + ": " + nameOf(kind));
            ScratchDirectory root;
            // A well-formed file elsewhere, as a link's target.
            const auto elsewhere = root.path() / "elsewhere";
            writeText(elsewhere, place.relative.filename() == "Info.plist"
                                     ? "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>"
                                     : "{}");
            plant(kind, root.path() / place.relative, elsewhere, place.cap);
            auto before = snapshot(root.path());

            auto start = std::chrono::steady_clock::now();
            Outcome outcome = place.call(root.path());
            auto elapsed = std::chrono::steady_clock::now() - start;

            EXPECT_EQ(outcome, place.expected(kind));
            EXPECT_LT(elapsed, 500ms);
            auto after = snapshot(root.path());
            // The lock file beside a document is made before the document is looked at.
            std::erase_if(after, [&](const auto& entry) {
                return !before.count(entry.first) && entry.first.ends_with(".lock");
            });
            EXPECT_EQ(after, before);
        }
    }
}

}  // namespace
