// tamsel-notification-service: stands in for the platform's extension main.
// Reads push requests as JSON lines, hands each to one NotificationService, and
// writes every handed-off content as a JSON line on stdout; log events go to
// stderr as JSON lines.
#include <curl/curl.h>
#include <malloc.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "NotificationService/NotificationService.h"
#include "host/HostCommandLine.h"
#include "host/HostDesktop.h"
#include "host/HostOptions.h"
#include "host/KeychainStoreCommand.h"
#include "host/LineReader.h"
#include "host/NotifyCommand.h"
#include "platform/Json.h"
#include "platform/Log.h"
#include "platform/Task.h"

namespace {

using namespace std::chrono_literals;
using tamsel::platform::Json;

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

}  // namespace

int main(int argc, char** argv) {
    // Buffers the size of a large ledger (its file, its texts, each rewrite)
    // get mappings of their own, returned the moment they are freed. By
    // default malloc raises this threshold past the first such buffer freed
    // and then carves the next ones out of the heap, whose holes stay
    // resident: about 1.3 MiB more at the peak of a long run.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // One arena: the run's work is done by one task at a time, and a second
    // arena for the worker's thread reserves its own heap and grows it a few
    // pages at a time, with a system call and a page fault each.
    mallopt(M_ARENA_MAX, 1);
    auto parsed = tamsel::cli::parse(tamsel::host::hostProgram(), argc, argv);
    if (!parsed.arguments) return parsed.exitStatus;
    auto read = tamsel::host::readHostOptions(*parsed.arguments);
    if (!read) return 2;
    tamsel::host::HostOptions options = std::move(*read);
    const std::string& command = parsed.arguments->command();
    try {
        if (options.platformRoot.empty()) options.platformRoot = tamsel::host::defaultPlatformRoot();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot start: %s\n",
                     command.empty() ? "tamsel-notification-service"
                                     : ("tamsel-notification-service " + command).c_str(),
                     e.what());
        return 2;
    }

    if (command == "keychain-store") return tamsel::host::runKeychainStore(options, stdin, stderr);
    if (command == "notify") {
        tamsel::platform::setLogSink(std::make_shared<tamsel::platform::StderrJsonLogSink>());
        return tamsel::host::runNotify(options, stdin, stderr);
    }

    curl_global_init(CURL_GLOBAL_DEFAULT);
    tamsel::platform::setLogSink(tamsel::host::makeLogSink(options));

    tamsel::platform::Platform platform;
    try {
        platform = tamsel::host::makeHostPlatform(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tamsel-notification-service: cannot start: %s\n", e.what());
        return 2;
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> pushFile(nullptr, std::fclose);
    if (options.pushFile) {
        pushFile.reset(std::fopen(options.pushFile->c_str(), "re"));
        if (!pushFile) {
            std::fprintf(stderr, "tamsel-notification-service: cannot start: cannot read the push file\n");
            return 2;
        }
    }
    std::FILE* input = pushFile ? pushFile.get() : stdin;

    TamselNotificationService::NotificationService service(platform);
    const auto budget = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options.timeBudgetSeconds));
    // After time expiry the cancelled run still has to wind down; bound that wait.
    constexpr auto kWindDown = 25s;

    bool badInput = false;
    std::size_t lineNumber = 0;
    std::string line;
    for (tamsel::host::LineRead read;
         (read = tamsel::host::readLine(input, line)) != tamsel::host::LineRead::end;) {
        ++lineNumber;
        if (read == tamsel::host::LineRead::tooLong) {
            reportBadLine(lineNumber, "longer than 65536 bytes");
            badInput = true;
            continue;
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        tamsel::platform::NotificationRequest request;
        try {
            request = tamsel::platform::parsePushLine(line);
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
        // Every wait of this push's tasks (a lock, a bus call) ends with its budget.
        tamsel::platform::setCurrentTaskDeadline(start + budget);
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
