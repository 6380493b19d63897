#pragma once
// Runs one extension process per push on an sd-event loop and presents what
// each hands back as the push's notification.
//
// A push's extension gets its push line on stdin (then end of input) and
// writes {"request", "content"} lines on stdout. The first line naming the
// push with a content is presented at once under the push's identifier; an
// extension that exits without one, cannot be started, or outlives its time
// budget by the grace period (then its process group is killed) gets the
// push's own content presented instead. At most `maxRunning` run at once; the
// rest wait in arrival order. Everything happens on the loop's thread and no
// call here waits for an extension.
#include <systemd/sd-event.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "connector/PushMessage.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

namespace tamsel::connector {

class ExtensionRunner {
  public:
    struct Settings {
        std::filesystem::path program;
        std::vector<std::string> arguments;  // after the program's name
        std::chrono::milliseconds budget{30000};
        std::chrono::milliseconds grace{5000};
        std::size_t maxRunning = 4;
    };

    // SIGCHLD must be blocked in every thread before the first submit().
    // `becameIdle` runs whenever the last extension finished and none waits.
    ExtensionRunner(sd_event* event, Settings settings, std::shared_ptr<platform::NotificationCenter> center,
                    std::function<void()> becameIdle);
    ~ExtensionRunner();
    ExtensionRunner(const ExtensionRunner&) = delete;
    ExtensionRunner& operator=(const ExtensionRunner&) = delete;

    void submit(PushRequest request);
    bool idle() const { return running_.empty() && waiting_.empty(); }

  private:
    struct Run;
    void startWaiting();
    void start(PushRequest request);
    void readOutput(Run& run);
    void present(Run& run, const platform::SharedContent& content, const char* event);
    void finish(Run& run);
    static int onOutput(sd_event_source*, int fd, uint32_t, void* userdata);
    static int onExit(sd_event_source*, const siginfo_t*, void* userdata);
    static int onDeadline(sd_event_source*, uint64_t, void* userdata);

    sd_event* event_;
    Settings settings_;
    std::shared_ptr<platform::NotificationCenter> center_;
    std::function<void()> becameIdle_;
    std::deque<PushRequest> waiting_;
    std::map<Run*, std::unique_ptr<Run>> running_;
    platform::Logger log_;
};

}  // namespace tamsel::connector
