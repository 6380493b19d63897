#include "tests/support/SpawnedTestProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace tamsel::testing {
namespace {

constexpr const char* kRoleVariable = "TAMSEL_TEST_PROCESS_ROLE";

std::map<std::string, ProcessRole>& roles() {
    static std::map<std::string, ProcessRole> registered;
    return registered;
}

}  // namespace

bool registerProcessRole(const char* name, ProcessRole role) {
    roles()[name] = role;
    // Registration runs during static initialisation; the child takes its role
    // as soon as the role it was started for is known, before any test runs.
    const char* wanted = std::getenv(kRoleVariable);
    if (wanted && std::strcmp(wanted, name) == 0) std::_Exit(role());
    return true;
}

SpawnedTestProcess::SpawnedTestProcess(const std::string& role,
                                       const std::map<std::string, std::string>& environment) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);

    std::vector<std::string> variables;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, kRoleVariable, std::strlen(kRoleVariable)) == 0) continue;
        variables.emplace_back(*e);
    }
    variables.push_back(std::string(kRoleVariable) + "=" + role);
    for (const auto& [key, value] : environment) variables.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::vector<char*> argv{self.data(), nullptr};

    int result = ::posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (result != 0) {
        ::close(toChild_);
        ::close(fromChild_);
        throw std::runtime_error("posix_spawn failed");
    }
}

SpawnedTestProcess::~SpawnedTestProcess() {
    closeInput();
    if (fromChild_ >= 0) ::close(fromChild_);
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

std::optional<std::string> SpawnedTestProcess::readLine() {
    for (;;) {
        if (auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        char chunk[256];
        ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string SpawnedTestProcess::readAll() {
    std::string all = std::move(buffered_);
    buffered_.clear();
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return all;
        all.append(chunk, static_cast<std::size_t>(n));
    }
}

void SpawnedTestProcess::writeLine(const std::string& line) {
    std::string text = line + "\n";
    if (::write(toChild_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("write to child failed");
}

void SpawnedTestProcess::closeInput() {
    if (toChild_ >= 0) ::close(toChild_);
    toChild_ = -1;
}

int SpawnedTestProcess::wait() {
    if (status_) return *status_;
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return *status_;
}

}  // namespace tamsel::testing
