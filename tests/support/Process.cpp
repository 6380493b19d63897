#include "tests/support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tamsel::testing {
namespace {

int openOrThrow(const std::filesystem::path& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    return fd;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, SubprocessOptions options) {
    // A write to a child that has gone must fail the write, not end the test.
    static const bool sigpipeIgnored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)sigpipeIgnored;
    int in[2], out[2] = {-1, -1}, err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (options.stdoutFile)
        out[1] = openOrThrow(*options.stdoutFile, O_WRONLY | O_CREAT | O_TRUNC);
    else if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (options.stderrFile)
        err[1] = openOrThrow(*options.stderrFile, O_WRONLY | O_CREAT | O_TRUNC);
    else if (options.pipeStderr && ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (err[1] >= 0) posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    std::vector<std::string> variables;
    for (char** e = environ; *e; ++e) {
        const char* equals = std::strchr(*e, '=');
        std::string name(*e, equals ? static_cast<std::size_t>(equals - *e) : std::strlen(*e));
        if (!options.environment.count(name)) variables.emplace_back(*e);
    }
    for (const auto& [name, value] : options.environment) variables.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> copies = argv;
    std::vector<char*> args;
    for (auto& a : copies) args.push_back(a.data());
    args.push_back(nullptr);

    int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (err[1] >= 0) ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) {
        closeFd(in_);
        closeFd(out_);
        closeFd(err_);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

Subprocess::~Subprocess() {
    closeFd(in_);
    closeFd(out_);
    closeFd(err_);
    if (!status_) {
        ::kill(pid_, SIGKILL);
        reap(0);
    }
    closeFd(pidfd_);
}

void Subprocess::forgetOutput(int fd) {
    for (int* mine : {&out_, &err_, &in_})
        if (*mine == fd) *mine = -1;
}

std::optional<std::string> Subprocess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (out_ < 0 || left.count() <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[4096];
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string Subprocess::readAll() {
    std::string all = std::move(buffered_);
    buffered_.clear();
    char chunk[4096];
    while (out_ >= 0) {
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return all;
}

void Subprocess::write(const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(in_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to the child failed");
        written += static_cast<std::size_t>(n);
    }
}

void Subprocess::closeInput() { closeFd(in_); }

void Subprocess::signal(int signal) const {
    if (!status_) ::kill(pid_, signal);
}

void Subprocess::reap(int options) {
    int status = 0;
    rusage usage{};
    pid_t r;
    while ((r = ::wait4(pid_, &status, options, &usage)) < 0 && errno == EINTR) {
    }
    if (r == pid_) {
        status_ = status;
        peakRssKiB_ = usage.ru_maxrss;
    }
}

std::optional<int> Subprocess::waitFor(std::chrono::nanoseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (!status_) reap(WNOHANG);
        if (status_) return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -WTERMSIG(*status_);
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) return std::nullopt;
        if (pidfd_ >= 0) {
            // The pidfd turns readable when the child ends: no polling interval.
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            timespec wait{static_cast<time_t>(seconds.count()),
                          static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
            pollfd p{pidfd_, POLLIN, 0};
            ::ppoll(&p, 1, &wait, nullptr);
        } else {
            std::this_thread::sleep_for(
                std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(1)));
        }
    }
}

int Subprocess::wait() {
    if (!status_) reap(0);
    return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -WTERMSIG(*status_);
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& environment) {
    Subprocess child(argv, {.environment = environment});
    ProcessResult result;
    int inFd = child.inputFd();
    if (input.empty()) {
        child.closeInput();
        inFd = -1;
    } else {
        ::fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    int outputs[2] = {child.outputFd(), child.errorFd()};
    std::string* sinks[2] = {&result.out, &result.err};
    std::size_t written = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (outputs[0] >= 0 || outputs[1] >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            child.signal(SIGKILL);
            result.timedOut = true;
            break;
        }
        pollfd fds[3] = {{outputs[0], POLLIN, 0}, {outputs[1], POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (::poll(fds, 3, static_cast<int>(left.count())) < 0 && errno == EINTR) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            ssize_t r = ::read(fds[i].fd, buffer, sizeof buffer);
            if (r > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                outputs[i] = -1;  // closed by the destructor
            }
        }
        if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = ::write(inFd, input.data() + written, input.size() - written);
            if (w > 0) written += static_cast<std::size_t>(w);
            if (w < 0 && errno != EAGAIN) written = input.size();
            if (written == input.size()) {
                child.closeInput();
                inFd = -1;
            }
        }
    }
    child.closeInput();
    result.exitCode = child.wait();
    result.peakRssKiB = child.peakRssKiB();
    return result;
}

std::filesystem::path binaryPath(const std::string& name) {
    return std::filesystem::path(TAMSEL_BINARY_DIR) / name;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace tamsel::testing
