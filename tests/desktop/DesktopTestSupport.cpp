#include "tests/desktop/DesktopTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tamsel::testing {
namespace {

using platform::Json;

std::chrono::milliseconds left(std::chrono::steady_clock::time_point deadline) {
    return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                             deadline - std::chrono::steady_clock::now()));
}

// Waits until the child `pid` has exited or the deadline passes: poll() on its
// pidfd wakes at the exit itself. Reaps nothing.
void awaitExit(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return;  // already reaped, or no pidfd: the caller's waitpid tells
    pollfd exited{fd, POLLIN, 0};
    while (::poll(&exited, 1, static_cast<int>(left(deadline).count())) < 0 && errno == EINTR) {
    }
    ::close(fd);
}

// Waits for the child without blocking past the limit; true when it was reaped.
bool reapWithin(pid_t pid, std::chrono::milliseconds limit) {
    awaitExit(pid, std::chrono::steady_clock::now() + limit);
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

}  // namespace

ChildProcess::ChildProcess(Options options) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (options.input && pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (options.pipeOutput && pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::string logPath = options.log.empty() ? "/dev/null" : options.log.string();
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || devnull < 0) throw std::runtime_error("cannot open the child's log");

    // Everything the child touches is made before fork: after it, only system calls.
    std::vector<char*> argv, envp;
    for (auto& a : options.argv) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : options.environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t parent = getpid();

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(options.input ? in[0] : devnull, 0);
        dup2(options.pipeOutput ? out[1] : log, 1);
        dup2(log, 2);
        // A fresh process group, so stop() reaches whatever the child starts.
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(log);
    ::close(devnull);
    if (options.pipeOutput) {
        ::close(out[1]);
        output_ = out[0];
    }
    if (options.input) {
        ::close(in[0]);
        signal(SIGPIPE, SIG_IGN);
        const std::string& text = *options.input;
        std::size_t written = 0;
        while (written < text.size()) {
            ssize_t w = ::write(in[1], text.data() + written, text.size() - written);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            written += static_cast<std::size_t>(w);
        }
        ::close(in[1]);
    }
}

ChildProcess::~ChildProcess() { stop(); }

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        if (output_ < 0) return std::nullopt;
        auto remaining = left(deadline);
        if (remaining == 0ms) return std::nullopt;
        pollfd fd{output_, POLLIN, 0};
        int n = poll(&fd, 1, static_cast<int>(remaining.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        char chunk[4096];
        ssize_t r = ::read(output_, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ::close(output_);
            output_ = -1;
            continue;
        }
        buffered_.append(chunk, static_cast<std::size_t>(r));
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return std::nullopt;
    awaitExit(pid_, std::chrono::steady_clock::now() + limit);
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void ChildProcess::stop() {
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    ::kill(pid_, SIGTERM);
    if (!reapWithin(pid_, 3s)) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        reapWithin(pid_, 5s);
    }
    // Whatever the child left in its group goes too.
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> result;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (!overrides.count(name)) result.push_back(entry);
    }
    for (const auto& [name, value] : overrides)
        if (!value.empty()) result.push_back(name + "=" + value);
    return result;
}

// --- BusClient -------------------------------------------------------------

BusClient::BusClient(const std::string& address) {
    int r = sd_bus_new(&bus_);
    if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
    if (r >= 0) r = sd_bus_start(bus_);
    if (r < 0) {
        sd_bus_close_unref(bus_);
        throw std::runtime_error(std::string("cannot connect to the test bus: ") + std::strerror(-r));
    }
}

BusClient::~BusClient() { sd_bus_close_unref(bus_); }

Json BusClient::finishCall(sd_bus_message* m, std::chrono::milliseconds limit) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(bus_, m, static_cast<std::uint64_t>(limit.count()) * 1000, &error, &reply);
    sd_bus_message_unref(m);
    if (r < 0) {
        std::string what = error.name ? error.name : std::strerror(-r);
        sd_bus_error_free(&error);
        throw std::runtime_error("call failed: " + what);
    }
    Json values = messageValues(reply);
    sd_bus_message_unref(reply);
    return values;
}

bool BusClient::hasOwner(const std::string& name) {
    Json reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                      [&](sd_bus_message* m) { sd_bus_message_append(m, "s", name.c_str()); });
    return reply.at(0).get<bool>();
}

void BusClient::addMatch(const std::string& rule) {
    int r = sd_bus_add_match(bus_, nullptr, rule.c_str(), nullptr, nullptr);
    if (r < 0) throw std::runtime_error("AddMatch failed");
}

std::optional<Json> BusClient::nextSignal(std::chrono::milliseconds limit, bool busSignalsToo) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        sd_bus_message* m = nullptr;
        int r = sd_bus_process(bus_, &m);
        if (r < 0) return std::nullopt;
        if (m) {
            bool isSignal = sd_bus_message_is_signal(m, nullptr, nullptr) > 0;
            // The bus greets every client with NameAcquired; that is not news.
            bool fromBus = sd_bus_message_get_sender(m) &&
                           std::strcmp(sd_bus_message_get_sender(m), "org.freedesktop.DBus") == 0;
            std::optional<Json> signal;
            if (isSignal && (!fromBus || busSignalsToo)) {
                signal = Json{{"path", sd_bus_message_get_path(m)},
                              {"interface", sd_bus_message_get_interface(m)},
                              {"member", sd_bus_message_get_member(m)},
                              {"sender", sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : ""},
                              {"body", messageValues(m)}};
            }
            sd_bus_message_unref(m);
            if (signal) return signal;
            continue;
        }
        if (r > 0) continue;
        auto remaining = left(deadline);
        if (remaining == 0ms) return std::nullopt;
        sd_bus_wait(bus_, static_cast<std::uint64_t>(remaining.count()) * 1000);
    }
}

namespace {

Json readValue(sd_bus_message* m, char type, const char* contents);

Json readBasic(sd_bus_message* m, char type) {
    union {
        uint8_t y;
        int b;
        int16_t n;
        uint16_t q;
        int32_t i;
        uint32_t u;
        int64_t x;
        uint64_t t;
        double d;
        const char* s;
        int h;
    } v{};
    if (sd_bus_message_read_basic(m, type, &v) <= 0) throw std::runtime_error("cannot read a value");
    switch (type) {
        case 'y':
            return v.y;
        case 'b':
            return v.b != 0;
        case 'n':
            return v.n;
        case 'q':
            return v.q;
        case 'i':
            return v.i;
        case 'u':
            return v.u;
        case 'x':
            return v.x;
        case 't':
            return v.t;
        case 'd':
            return v.d;
        case 's':
        case 'o':
        case 'g':
            return std::string(v.s);
        case 'h':
            return v.h;
    }
    throw std::runtime_error("unknown type");
}

Json readValues(sd_bus_message* m) {
    Json values = Json::array();
    for (;;) {
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_peek_type(m, &type, &contents);
        if (r < 0) throw std::runtime_error("cannot read a message");
        if (r == 0) return values;
        values.push_back(readValue(m, type, contents));
    }
}

Json readValue(sd_bus_message* m, char type, const char* contents) {
    if (type != 'a' && type != 'v' && type != 'r' && type != 'e') return readBasic(m, type);
    if (sd_bus_message_enter_container(m, type, contents) <= 0)
        throw std::runtime_error("cannot enter a container");
    Json result;
    if (type == 'a' && contents[0] == '{') {
        result = Json::object();
        std::string entry(contents + 1, std::strlen(contents) - 2);
        while (sd_bus_message_enter_container(m, 'e', entry.c_str()) > 0) {
            Json pair = readValues(m);
            sd_bus_message_exit_container(m);
            std::string key = pair.at(0).is_string() ? pair.at(0).get<std::string>() : pair.at(0).dump();
            result[key] = pair.at(1);
        }
    } else if (type == 'v') {
        Json inner = readValues(m);
        result = inner.empty() ? Json() : inner.at(0);
    } else {
        result = readValues(m);
    }
    sd_bus_message_exit_container(m);
    return result;
}

}  // namespace

Json messageValues(sd_bus_message* m) {
    sd_bus_message_rewind(m, 1);
    return readValues(m);
}

// --- PrivateBus ------------------------------------------------------------

PrivateBus::PrivateBus() {
    const auto& dir = dir_.path();
    for (const char* sub : {"home", "run", "services", "data", "config", "cache"})
        std::filesystem::create_directories(dir / sub);
    std::filesystem::permissions(dir / "run", std::filesystem::perms::owner_all);
    std::ofstream(dir / "bus.conf") << "<busconfig>\n"
                                       "  <type>session</type>\n"
                                       "  <listen>unix:path="
                                    << (dir / "bus").string()
                                    << "</listen>\n"
                                       "  <servicedir>"
                                    << (dir / "services").string()
                                    << "</servicedir>\n"
                                       "  <auth>EXTERNAL</auth>\n"
                                       "  <policy context=\"default\">\n"
                                       "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                       "    <allow eavesdrop=\"true\"/>\n"
                                       "    <allow own=\"*\"/>\n"
                                       "  </policy>\n"
                                       "</busconfig>\n";
    startDaemon();
}

void PrivateBus::startDaemon() {
    const auto& dir = dir_.path();
    daemon_ = std::make_unique<ChildProcess>(
        ChildProcess::Options{{"/usr/bin/dbus-daemon", "--config-file=" + (dir / "bus.conf").string(),
                               "--nofork", "--print-address=1"},
                              environment(),
                              std::nullopt,
                              true,
                              dir / "dbus-daemon.log"});
    auto line = daemon_->readLine(15s);
    if (!line || line->empty()) throw std::runtime_error("the test bus did not start within 15 s");
    address_ = *line;
}

PrivateBus::~PrivateBus() { stop(); }

void PrivateBus::stop() {
    // Services first, so none of them sees its bus vanish while it still works.
    for (auto it = services_.rbegin(); it != services_.rend(); ++it) (*it)->stop();
    services_.clear();
    if (daemon_) daemon_->stop();
    daemon_.reset();
}

void PrivateBus::restart() {
    stop();
    startDaemon();
}

std::vector<std::string> PrivateBus::environment(const std::map<std::string, std::string>& extra) const {
    const auto& dir = dir_.path();
    std::map<std::string, std::string> overrides = {
        {"HOME", (dir / "home").string()},
        {"XDG_RUNTIME_DIR", (dir / "run").string()},
        {"XDG_DATA_HOME", (dir / "data").string()},
        {"XDG_CONFIG_HOME", (dir / "config").string()},
        {"XDG_CACHE_HOME", (dir / "cache").string()},
        {"DBUS_SESSION_BUS_ADDRESS", address_},
        {"DISPLAY", ""},
        {"WAYLAND_DISPLAY", ""},
        {"JOURNAL_STREAM", ""},
    };
    for (const auto& [name, value] : extra) overrides[name] = value;
    return environmentWith(overrides);
}

bool PrivateBus::waitForName(const std::string& name, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    BusClient client(address_);
    for (;;) {
        if (client.hasOwner(name)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(25ms);
    }
}

ChildProcess& PrivateBus::start(ChildProcess::Options options) {
    services_.push_back(std::make_unique<ChildProcess>(std::move(options)));
    return *services_.back();
}

// --- Services --------------------------------------------------------------

MockNotificationServer::MockNotificationServer(PrivateBus& bus, const std::vector<std::string>& capabilities)
    : bus_(bus) {
    std::vector<std::string> argv = {"/usr/bin/python3", "-m", "dbusmock", "--template",
                                     "notification_daemon"};
    if (!capabilities.empty()) {
        std::string list;
        for (const auto& c : capabilities) list += (list.empty() ? "" : " ") + c;
        argv.push_back("--parameters");
        argv.push_back(Json{{"capabilities", list}}.dump());
    }
    process_ = &bus.start(
        {argv, bus.environment(), std::nullopt, false, bus.directory() / "notification-server.log"});
    if (!bus.waitForName("org.freedesktop.Notifications", 30s))
        throw std::runtime_error("the mock notification server did not appear within 30 s");
}

Json MockNotificationServer::calls() {
    BusClient client(bus_.address());
    Json reply = client.call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                             "org.freedesktop.DBus.Mock", "GetCalls");
    Json calls = Json::array();
    for (const auto& call : reply.at(0)) calls.push_back({{"method", call.at(1)}, {"args", call.at(2)}});
    return calls;
}

KeyringDaemon::KeyringDaemon(PrivateBus& bus) : bus_(bus) {
    const auto& home = home_.path();
    std::filesystem::create_directories(home / "run");
    std::filesystem::permissions(home / "run", std::filesystem::perms::owner_all);
    process_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"/usr/bin/gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
        bus.environment({{"HOME", home.string()},
                         {"XDG_DATA_HOME", (home / "data").string()},
                         {"XDG_RUNTIME_DIR", (home / "run").string()}}),
        std::string("test-keyring-password"),
        false,
        home / "gnome-keyring.log"});
    if (!bus.waitForName("org.freedesktop.secrets", 30s))
        throw std::runtime_error("the keyring daemon did not appear within 30 s");
}

KeyringDaemon::~KeyringDaemon() {
    process_->stop();
    // The next daemon on this bus must not meet the name still taken.
    BusClient client(bus_.address());
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (client.hasOwner("org.freedesktop.secrets") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
}

void KeyringDaemon::lockDefaultCollection() {
    BusClient client(bus_.address());
    Json alias =
        client.call("org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                    "ReadAlias", [](sd_bus_message* m) { sd_bus_message_append(m, "s", "default"); });
    std::string path = alias.at(0);
    client.call("org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                "Lock", [&](sd_bus_message* m) { sd_bus_message_append(m, "ao", 1, path.c_str()); });
}

}  // namespace tamsel::testing
