#pragma once
// Fixtures for the desktop backends: a private session bus per test with its own
// HOME, the services that live on it (a mock notification server, a real keyring
// daemon), and a plain sd-bus client to look at what reached the bus.
//
// Every wait has a hard limit, and every process started here is stopped and
// reaped when its owner goes (and killed by the kernel should the test process
// die first), so a broken service fails a test instead of hanging it.
#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "tests/support/Process.h"
#include "tests/support/ScratchDirectory.h"

namespace tamsel::testing {

using namespace std::chrono_literals;

// A child process with an environment of its own.
class ChildProcess {
  public:
    struct Options {
        std::vector<std::string> argv;  // argv[0] is an absolute path
        std::vector<std::string> environment;
        std::optional<std::string> input;  // written to stdin, which is then closed
        bool pipeOutput = false;           // stdout readable through readLine(); else to `log`
        std::filesystem::path log;         // stderr (and stdout unless piped); /dev/null when empty
    };
    explicit ChildProcess(Options options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The next line of stdout, or nothing when none came within the limit.
    std::optional<std::string> readLine(std::chrono::milliseconds limit);
    // The exit status (-signal when killed) once it ended within the limit.
    std::optional<int> wait(std::chrono::milliseconds limit);
    // Terminates (SIGTERM, then SIGKILL after 3 s) and reaps; idempotent.
    void stop();

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string buffered_;
};

// This process's environment with `overrides` applied; an empty value removes the variable.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides);

// A plain client connection to a bus, for tests to call and to listen.
class BusClient {
  public:
    explicit BusClient(const std::string& address);
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    sd_bus* get() const { return bus_; }
    // Calls a method whose arguments `append` adds; the reply's values as JSON.
    template <class Append>
    platform::Json call(const char* destination, const char* path, const char* interface, const char* member,
                        Append&& append, std::chrono::milliseconds limit = 5s);
    platform::Json call(const char* destination, const char* path, const char* interface, const char* member,
                        std::chrono::milliseconds limit = 5s) {
        return call(
            destination, path, interface, member, [](sd_bus_message*) {}, limit);
    }
    bool hasOwner(const std::string& name);
    void addMatch(const std::string& rule);
    // The next signal matching the rules added, as {"path", "interface", "member", "sender", "body"};
    // the bus's own signals only with `busSignalsToo`.
    std::optional<platform::Json> nextSignal(std::chrono::milliseconds limit, bool busSignalsToo = false);

  private:
    platform::Json finishCall(sd_bus_message* m, std::chrono::milliseconds limit);
    sd_bus* bus_ = nullptr;
};

// Every value left in the message, as a JSON array (variants unwrapped,
// dictionaries as objects with their keys as text).
platform::Json messageValues(sd_bus_message* m);

// A session bus of its own in a temporary directory that also serves as HOME and
// XDG_RUNTIME_DIR. Nothing is activated on demand: a service is there only when
// a test starts it.
class PrivateBus {
  public:
    PrivateBus();
    ~PrivateBus();
    const std::string& address() const { return address_; }
    // The socket's address without the daemon's guid, which changes with restart().
    std::string socketAddress() const { return "unix:path=" + (dir_.path() / "bus").string(); }
    const std::filesystem::path& directory() const { return dir_.path(); }
    // The environment a process on this bus gets.
    std::vector<std::string> environment(const std::map<std::string, std::string>& extra = {}) const;
    // Whether `name` got an owner within the limit.
    bool waitForName(const std::string& name, std::chrono::milliseconds limit);
    // Starts a process on this bus; it is stopped before the bus is.
    ChildProcess& start(ChildProcess::Options options);
    // Stops the services and the daemon, and starts a new daemon on the same
    // socket: every connection to the old one breaks.
    void restart();

  private:
    void startDaemon();
    void stop();

    ScratchDirectory dir_;
    std::unique_ptr<ChildProcess> daemon_;
    std::vector<std::unique_ptr<ChildProcess>> services_;
    std::string address_;
};

// python3-dbusmock's notification server on a private bus.
class MockNotificationServer {
  public:
    // `capabilities`: what GetCapabilities answers (the template's default when empty).
    explicit MockNotificationServer(PrivateBus& bus, const std::vector<std::string>& capabilities = {});
    // The calls received so far, oldest first: [{"method": …, "args": [...]}].
    platform::Json calls();
    void stop() { process_->stop(); }

  private:
    PrivateBus& bus_;
    ChildProcess* process_;
};

// A real keyring daemon (Secret Service only) with a login keyring of its own,
// unlocked; stopped (and its name gone from the bus) when the object goes.
class KeyringDaemon {
  public:
    explicit KeyringDaemon(PrivateBus& bus);
    ~KeyringDaemon();
    // Locks the default collection as a person's "lock" would.
    void lockDefaultCollection();

  private:
    PrivateBus& bus_;
    ScratchDirectory home_;
    std::unique_ptr<ChildProcess> process_;
};

template <class Append>
platform::Json BusClient::call(const char* destination, const char* path, const char* interface,
                               const char* member, Append&& append, std::chrono::milliseconds limit) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(bus_, &m, destination, path, interface, member) < 0)
        throw std::runtime_error("cannot make a method call");
    append(m);
    return finishCall(m, limit);
}

}  // namespace tamsel::testing
