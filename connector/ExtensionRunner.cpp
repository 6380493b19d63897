#include "connector/ExtensionRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace tamsel::connector {
namespace {

// The most of an extension's output kept: a content is a few kilobytes.
constexpr std::size_t kMaxOutput = 1024 * 1024;

std::uint64_t monotonicAfter(std::chrono::milliseconds delay) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u +
           static_cast<std::uint64_t>(delay.count()) * 1000u;
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the extension closed its input: it will say so by what it hands back
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

struct ExtensionRunner::Run {
    ExtensionRunner* owner = nullptr;
    PushRequest request;
    pid_t pid = -1;
    int output = -1;
    std::string collected;
    bool presented = false;
    bool killed = false;
    sd_event_source* outputSource = nullptr;
    sd_event_source* exitSource = nullptr;
    sd_event_source* deadlineSource = nullptr;

    ~Run() {
        sd_event_source_disable_unref(outputSource);
        sd_event_source_disable_unref(exitSource);
        sd_event_source_disable_unref(deadlineSource);
        if (output >= 0) ::close(output);
    }
};

ExtensionRunner::ExtensionRunner(sd_event* event, Settings settings,
                                 std::shared_ptr<platform::NotificationCenter> center,
                                 std::function<void()> becameIdle)
    : event_(event),
      settings_(std::move(settings)),
      center_(std::move(center)),
      becameIdle_(std::move(becameIdle)),
      log_(std::string(platform::kSubsystem), "push-connector") {}

ExtensionRunner::~ExtensionRunner() {
    // Extensions still running when the loop ends are left to finish on their own.
    running_.clear();
}

void ExtensionRunner::submit(PushRequest request) {
    waiting_.push_back(std::move(request));
    startWaiting();
}

void ExtensionRunner::startWaiting() {
    while (running_.size() < settings_.maxRunning && !waiting_.empty()) {
        PushRequest next = std::move(waiting_.front());
        waiting_.pop_front();
        start(std::move(next));
    }
}

void ExtensionRunner::start(PushRequest request) {
    auto run = std::make_unique<Run>();
    run->owner = this;
    run->request = std::move(request);

    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        present(*run, run->request.fallback, "extension-not-started");
        return;
    }
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]), ::close(input[1]);
        present(*run, run->request.fallback, "extension-not-started");
        return;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so a kill reaches whatever it started too; the
    // signal mask and dispositions of this loop are not the extension's.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> argv{settings_.program.string()};
    argv.insert(argv.end(), settings_.arguments.begin(), settings_.arguments.end());
    std::vector<char*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);

    pid_t pid = -1;
    int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(input[0]);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(input[1]);
        ::close(output[0]);
        present(*run, run->request.fallback, "extension-not-started");
        return;
    }
    run->pid = pid;
    run->output = output[0];
    // The line is far smaller than a pipe's buffer: this write does not wait.
    writeAll(input[1], pushLine(run->request));
    ::close(input[1]);
    ::fcntl(run->output, F_SETFL, ::fcntl(run->output, F_GETFL) | O_NONBLOCK);

    Run* key = run.get();
    int r =
        sd_event_add_io(event_, &run->outputSource, run->output, EPOLLIN, &ExtensionRunner::onOutput, key);
    if (r >= 0) r = sd_event_add_child(event_, &run->exitSource, pid, WEXITED, &ExtensionRunner::onExit, key);
    if (r >= 0)
        r = sd_event_add_time(event_, &run->deadlineSource, CLOCK_MONOTONIC,
                              monotonicAfter(settings_.budget + settings_.grace), 0,
                              &ExtensionRunner::onDeadline, key);
    if (r < 0) {
        // Without its event sources the run cannot be watched: end it now.
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        present(*run, run->request.fallback, "extension-not-started");
        return;
    }
    log_.info("extension-started");
    running_.emplace(key, std::move(run));
}

void ExtensionRunner::readOutput(Run& run) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(run.output, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0 || errno != EAGAIN) {
                sd_event_source_set_enabled(run.outputSource, SD_EVENT_OFF);
                ::close(run.output);
                run.output = -1;
            }
            break;
        }
        if (run.collected.size() < kMaxOutput) run.collected.append(buffer, static_cast<std::size_t>(n));
    }
    if (!run.presented)
        if (auto content = handedBackContent(run.collected, run.request.identifier))
            present(run, *content, "extension-handed-back");
}

void ExtensionRunner::present(Run& run, const platform::SharedContent& content, const char* event) {
    run.presented = true;
    log_.notice(event);
    try {
        center_->add({run.request.identifier, content});
        log_.info("push-presented");
    } catch (const platform::NotificationCenterError& e) {
        log_.error("push-not-presented: the notification centre refused it (code " +
                   std::to_string(e.code()) + ")");
    } catch (const std::exception&) {
        log_.error("push-not-presented: the notification centre failed");
    }
}

void ExtensionRunner::finish(Run& run) {
    if (run.output >= 0) readOutput(run);
    if (!run.presented)
        present(run, run.request.fallback,
                run.killed ? "extension-killed-fallback" : "extension-gave-nothing");
    running_.erase(&run);
    startWaiting();
    if (idle() && becameIdle_) becameIdle_();
}

int ExtensionRunner::onOutput(sd_event_source*, int, uint32_t, void* userdata) {
    auto& run = *static_cast<Run*>(userdata);
    run.owner->readOutput(run);
    return 0;
}

int ExtensionRunner::onExit(sd_event_source*, const siginfo_t* info, void* userdata) {
    auto& run = *static_cast<Run*>(userdata);
    if (info->si_code != CLD_EXITED || info->si_status != 0)
        run.owner->log_.notice(info->si_code == CLD_EXITED
                                   ? "extension-exited: status " + std::to_string(info->si_status)
                                   : "extension-exited: signal " + std::to_string(info->si_status));
    // Reaped here, before its sources go: the loop's own reaping then finds nothing.
    ::waitpid(run.pid, nullptr, WNOHANG);
    // A descendant may still hold the output open: take what is there and stop.
    run.owner->finish(run);
    return 0;
}

int ExtensionRunner::onDeadline(sd_event_source*, uint64_t, void* userdata) {
    auto& run = *static_cast<Run*>(userdata);
    run.killed = true;
    run.owner->log_.error("extension-overran: killed");
    // Not reaped yet (the exit source has not run), so the group id is still this one's.
    ::kill(-run.pid, SIGKILL);
    return 0;
}

}  // namespace tamsel::connector
