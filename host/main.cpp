// tamsel-notification-service: stands in for the platform's extension main.
// Reads push requests as JSON lines, hands each to one NotificationService, and
// writes every handed-off content as a JSON line on stdout; log events go to
// stderr as JSON lines.
#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "NotificationService/NotificationService.h"
#include "platform/Json.h"
#include "platform/Log.h"
#include "platform/Task.h"
#include "host/HostDesktop.h"
#include "host/HostOptions.h"
#include "host/InstalledDefaults.h"
#include "host/KeychainStoreCommand.h"
#include "host/NotifyCommand.h"

namespace {

using namespace std::chrono_literals;
using tamsel::platform::Json;

constexpr const char* kUsage = R"(usage: tamsel-notification-service --bundle DIR [options]
       tamsel-notification-service keychain-store --bundle DIR [--platform-root DIR]
                                   [--keychain file|secret-service] < credential.json
       tamsel-notification-service notify --bundle DIR [--platform-root DIR]
                                   [--notifications file|desktop] < requests.jsonl

Stands in for the platform's notification service extension host. Reads push
requests, one JSON object per line, from standard input (or --push FILE), hands
each to the extension, and writes every content handed back as one JSON line on
standard output:
    {"request": <push identifier>, "content": {...}}
Log events go to standard error as JSON lines:
    {"subsystem": ..., "category": ..., "level": "info|default|error", "message": ...}

A push line:
    {"identifier": "...", "content": {"title", "subtitle", "body", "sound",
     "badge", "threadIdentifier", "categoryIdentifier", "userInfo"}}
Every content member is optional; "userInfo" is any JSON object, "sound" is
absent or "default". A wake-up carries in its user info
    "tamsel": {"version": "notification-wakeup.v2", "groupKey": <64 hex digits>}

Pushes are served one after another. When a push's time budget runs out before
its content was handed back, the extension is told that its time expires. After
a hand-off the host lets that push's run finish (within the budget) before it
serves the next push, and exits when input ends and every push was answered.
A line that is not a push request gets one error line on standard error; later
lines are still served and the exit status is then 1.

options:
  --bundle DIR          the extension's bundle; its settings are read from DIR/Info.plist
  --platform-root DIR   where the file-backed platform services keep their state
                        (default: $XDG_DATA_HOME/tamsel-notification-service)
  --time-budget SECONDS time granted per push (default 30)
  --ca-file PEM         trust these certificates instead of the system's store
  --push FILE           read push lines from FILE instead of standard input
  --notification-journal FILE
                        also append every change made to the notification centre
                        to FILE, one JSON line each ({"operation": "add" |
                        "removeDelivered" | "removePending" | "setBadgeCount",
                        "pid", ...}), written just before the change takes effect:
                        a record of every post across processes, for tests
                        (with the file-backed centre only)
  --notifications file|desktop
                        file: notifications and the badge are kept in a file under
                        the platform root (default); desktop: they go to the
                        notification server and the launcher on the session bus
                        (org.freedesktop.Notifications, LauncherEntry), with a
                        registry of what was posted under the platform root
  --keychain file|secret-service
                        where the credential is read: files under the platform
                        root (default), or the desktop's Secret Service (never
                        prompts: a locked keyring is a refusal)
  --log stderr|journal  log events as JSON lines on standard error, or into the
                        systemd journal (default: the journal when standard error
                        is connected to it, as JOURNAL_STREAM says under systemd,
                        else stderr); without a journal, records go to stderr
  --app-id NAME         the application's id, which the desktop's notifications
                        and badge name (default com.brindaxel.tamsel)
  --help                show this text

An installed host first reads the defaults its installation gives it from
<directory of the program>/../share/tamsel-notification-service/defaults.json,
a JSON object with any of "bundle", "platformRoot", "caFile" (absolute paths),
"notifications", "keychain", "log" (the flags' values), "timeBudget" (seconds)
and "appId"; flags override them, and --bundle is not needed when they name a
bundle. keychain-store and notify take the bundle, platform root and backend
from it too. A file that cannot be read or holds anything else is a usage
error (status 2).

keychain-store: stores the worker credential read from standard input in the
file keychain under the platform root, as the main application would:
    <platform root>/keychain/<TAMSEL_NOTIFICATION_KEYCHAIN_GROUP>/Tamsel.notification-delivery.v2/receiver
The input must be a JSON object with the strings "receiverID", "refreshProof",
"authorizationRevision" and the number "expiresAt" (seconds since
2001-01-01T00:00:00Z); it is stored unchanged. An existing item is replaced.
With --keychain secret-service it goes into the default collection of the
desktop's Secret Service instead (schema "com.brindaxel.tamsel.KeychainItem",
attributes access-group, service and account); a locked keyring is refused
(status -25308), a missing Secret Service is status -25291.

notify: posts notification requests, one {"identifier": ..., "content": {...}}
per line (the content as in a push line), through the notification centre the
host would use: a way to see how a desktop shows them without a delivery
service. Exit status 1 when a line or a request was refused.
)";

struct Handoff {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
};

std::mutex stdoutMutex;

void writeStdout(const Json& line) {
    std::string text = line.dump() + "\n";
    std::lock_guard lock(stdoutMutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void reportBadLine(std::size_t number, const char* why) {
    Json line = {{"error", "line " + std::to_string(number) + " is not a push request: " + why}};
    std::string text = line.dump() + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "tamsel-notification-service: %s\n(see --help)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<tamsel::host::InstalledDefaults> defaults;
    try {
        defaults = tamsel::host::loadInstalledDefaults();
    } catch (const tamsel::host::InstalledDefaultsError& e) {
        return usageError(e.what());
    }
    // The subcommands parse their own flags: the defaults go in front, so given flags win.
    auto withDefaults = [&](std::vector<std::string_view> accepted) {
        std::vector<std::string> arguments;
        if (defaults) arguments = defaults->asArguments(accepted);
        arguments.insert(arguments.end(), argv + 2, argv + argc);
        return arguments;
    };
    auto pointers = [](const std::vector<std::string>& arguments) {
        std::vector<const char*> p;
        for (const auto& a : arguments) p.push_back(a.c_str());
        return p;
    };

    if (argc >= 2 && std::strcmp(argv[1], "keychain-store") == 0) {
        if (argc >= 3 && (std::strcmp(argv[2], "--help") == 0 || std::strcmp(argv[2], "-h") == 0)) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        auto arguments = withDefaults({"--bundle", "--platform-root", "--keychain"});
        auto p = pointers(arguments);
        return tamsel::host::runKeychainStore(static_cast<int>(p.size()), p.data(), std::cin, std::cerr);
    }

    if (argc >= 2 && std::strcmp(argv[1], "notify") == 0) {
        tamsel::platform::setLogSink(std::make_shared<tamsel::platform::StderrJsonLogSink>());
        auto arguments = withDefaults({"--bundle", "--platform-root", "--notifications"});
        auto p = pointers(arguments);
        return tamsel::host::runNotify(static_cast<int>(p.size()), p.data(), std::cin, std::cerr);
    }

    tamsel::host::HostOptions options;
    if (defaults) defaults->applyTo(options);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)name;
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--bundle") {
            const char* v = value("--bundle");
            if (!v) return usageError("--bundle needs a directory");
            options.bundle = v;
        } else if (arg == "--platform-root") {
            const char* v = value("--platform-root");
            if (!v) return usageError("--platform-root needs a directory");
            options.platformRoot = v;
        } else if (arg == "--time-budget") {
            const char* v = value("--time-budget");
            char* end = nullptr;
            double seconds = v ? std::strtod(v, &end) : 0;
            if (!v || *end != '\0' || !(seconds > 0) || seconds > 3600)
                return usageError("--time-budget needs a number of seconds between 0 and 3600");
            options.timeBudgetSeconds = seconds;
        } else if (arg == "--ca-file") {
            const char* v = value("--ca-file");
            if (!v) return usageError("--ca-file needs a PEM file");
            options.caFile = v;
        } else if (arg == "--push") {
            const char* v = value("--push");
            if (!v) return usageError("--push needs a file");
            options.pushFile = v;
        } else if (arg == "--notification-journal") {
            const char* v = value("--notification-journal");
            if (!v) return usageError("--notification-journal needs a file");
            options.notificationJournal = v;
        } else if (arg == "--app-id") {
            const char* v = value("--app-id");
            if (!v || !tamsel::host::isBusName(v)) return usageError("--app-id needs a bus name");
            options.appId = v;
        } else if (arg == "--notifications" || arg == "--keychain" || arg == "--log") {
            const char* v = value(arg.c_str());
            if (!v || !tamsel::host::parseBackendFlag(options, arg, v))
                return usageError(arg + " needs one of the values --help names");
        } else {
            return usageError("unknown argument " + arg);
        }
    }
    if (options.bundle.empty()) return usageError("--bundle is required");
    // The journal records what the file-backed centre does; the desktop's has none.
    if (options.notificationJournal &&
        options.notifications != tamsel::host::HostOptions::Notifications::file)
        return usageError("--notification-journal needs --notifications file");
    if (options.platformRoot.empty()) options.platformRoot = tamsel::host::defaultPlatformRoot();

    curl_global_init(CURL_GLOBAL_DEFAULT);
    tamsel::platform::setLogSink(tamsel::host::makeLogSink(options));

    tamsel::platform::Platform platform;
    try {
        platform = tamsel::host::makeHostPlatform(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tamsel-notification-service: cannot start: %s\n", e.what());
        return 2;
    }

    std::ifstream pushFile;
    if (options.pushFile) {
        pushFile.open(*options.pushFile);
        if (!pushFile) return usageError("cannot read the push file");
    }
    std::istream& input = options.pushFile ? static_cast<std::istream&>(pushFile) : std::cin;

    TamselNotificationService::NotificationService service(platform);
    const auto budget = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options.timeBudgetSeconds));
    // After time expiry the cancelled run still has to wind down; bound that wait.
    constexpr auto kWindDown = 25s;

    bool badInput = false;
    std::size_t lineNumber = 0;
    std::string line;
    while (std::getline(input, line)) {
        ++lineNumber;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        tamsel::platform::NotificationRequest request;
        try {
            Json push = Json::parse(line);
            if (!push.is_object()) throw tamsel::platform::ContentFormatError("not a JSON object");
            auto identifier = push.find("identifier");
            auto content = push.find("content");
            if (identifier == push.end() || !identifier->is_string())
                throw tamsel::platform::ContentFormatError("\"identifier\" is missing or not a string");
            if (content == push.end()) throw tamsel::platform::ContentFormatError("\"content\" is missing");
            for (const auto& [key, member] : push.items())
                if (key != "identifier" && key != "content")
                    throw tamsel::platform::ContentFormatError("unknown member");
            request.identifier = identifier->get<std::string>();
            request.content = std::make_shared<const tamsel::platform::NotificationContent>(
                tamsel::platform::contentFromJson(*content));
        } catch (const Json::exception&) {
            reportBadLine(lineNumber, "not valid JSON");
            badInput = true;
            continue;
        } catch (const tamsel::platform::ContentFormatError& e) {
            reportBadLine(lineNumber, e.what());
            badInput = true;
            continue;
        }

        const auto start = std::chrono::steady_clock::now();
        auto handoff = std::make_shared<Handoff>();
        std::string pushIdentifier = request.identifier;
        service.didReceive(request, [handoff, pushIdentifier](tamsel::platform::SharedContent content) {
            writeStdout({{"request", pushIdentifier},
                         {"content", content ? tamsel::platform::contentToJson(*content) : Json::object()}});
            {
                std::lock_guard lock(handoff->mutex);
                handoff->done = true;
            }
            handoff->changed.notify_all();
        });
        bool handedOff;
        {
            std::unique_lock lock(handoff->mutex);
            handedOff = handoff->changed.wait_until(lock, start + budget, [&] { return handoff->done; });
        }
        if (!handedOff) {
            service.serviceExtensionTimeWillExpire();
            service.waitForRun(std::chrono::steady_clock::now() + kWindDown);
        } else if (!service.waitForRun(start + budget)) {
            service.serviceExtensionTimeWillExpire();
            service.waitForRun(std::chrono::steady_clock::now() + kWindDown);
        }
    }

    tamsel::platform::waitForAllTasks(std::chrono::steady_clock::now() + kWindDown);
    curl_global_cleanup();
    return badInput ? 1 : 0;
}
