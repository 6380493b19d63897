#include "connector/Serve.h"

#include <malloc.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <deque>
#include <optional>

#include "connector/Bus.h"
#include "connector/ExtensionRunner.h"
#include "connector/PushMessage.h"
#include "connector/RegistrationStore.h"
#include "host/HostDesktop.h"
#include "platform/Log.h"

namespace tamsel::connector {
namespace {

using namespace std::chrono;

std::filesystem::path defaultExtension() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "tamsel-notification-service";
    path[n] = '\0';
    return std::filesystem::path(path).parent_path() / "tamsel-notification-service";
}

std::vector<std::string> extensionArguments(const host::HostOptions& o) {
    std::vector<std::string> a = {"--bundle",        o.bundle.string(),
                                  "--platform-root", o.platformRoot.string(),
                                  "--time-budget",   std::to_string(o.timeBudgetSeconds)};
    a.insert(a.end(), {"--notifications",
                       o.notifications == host::HostOptions::Notifications::file ? "file" : "desktop"});
    a.insert(a.end(),
             {"--keychain", o.keychain == host::HostOptions::Keychain::file ? "file" : "secret-service"});
    if (o.caFile) a.insert(a.end(), {"--ca-file", o.caFile->string()});
    a.insert(a.end(), {"--app-id", o.appId});
    if (o.log == host::HostOptions::Log::stderrJson) a.insert(a.end(), {"--log", "stderr"});
    if (o.log == host::HostOptions::Log::journal) a.insert(a.end(), {"--log", "journal"});
    return a;
}

bool plausibleEndpoint(const std::string& endpoint) {
    if (!(endpoint.starts_with("https://") || endpoint.starts_with("http://")) || endpoint.size() > 2048)
        return false;
    for (unsigned char c : endpoint)
        if (c <= 0x20 || c >= 0x7f) return false;
    return true;
}

class Server {
  public:
    Server(const ConnectorOptions& options, RegistrationStore store, std::optional<Registration> registration,
           std::shared_ptr<platform::NotificationCenter> center)
        : options_(options),
          store_(std::move(store)),
          registration_(std::move(registration)),
          center_(center),
          log_(std::string(platform::kSubsystem), "push-connector") {}

    ~Server() {
        runner_.reset();
        sd_event_source_disable_unref(idleTimer_);
        sd_event_source_disable_unref(drainTimer_);
        sd_bus_slot_unref(vtableSlot_);
        sd_bus_slot_unref(ownerSlot_);
        sd_bus_slot_unref(lostSlot_);
        if (bus_) sd_bus_detach_event(bus_.get());
        bus_.reset();
        sd_event_unref(event_);
    }

    int run() {
        if (sd_event_default(&event_) < 0) return fail("cannot create the event loop");
        sd_event_add_signal(event_, nullptr, SIGTERM, nullptr, nullptr);
        sd_event_add_signal(event_, nullptr, SIGINT, nullptr, nullptr);
        try {
            bus_ = openSessionBus();
        } catch (const BusError& e) {
            return fail(e.what());
        }
        if (sd_bus_attach_event(bus_.get(), event_, 0) < 0) return fail("cannot attach the bus to the loop");
        // A bus that goes away takes every caller with it: nothing is left to serve.
        sd_bus_set_exit_on_disconnect(bus_.get(), 1);

        ExtensionRunner::Settings settings;
        settings.program = options_.extension ? *options_.extension : defaultExtension();
        settings.arguments = extensionArguments(options_.host);
        settings.budget = duration_cast<milliseconds>(duration<double>(options_.host.timeBudgetSeconds));
        runner_ = std::make_unique<ExtensionRunner>(event_, settings, center_, [this] { becameIdle(); });

        // Followed before it is read, so no change of owner falls between.
        if (registration_) {
            std::string match =
                "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
                registration_->distributor + "'";
            if (sd_bus_add_match(bus_.get(), &ownerSlot_, match.c_str(), &Server::onOwnerChanged, this) < 0)
                return fail("cannot follow the distributor's name");
            try {
                distributorOwner_ = nameOwner(bus_.get(), registration_->distributor);
            } catch (const BusError& e) {
                return fail(e.what());
            }
            if (distributorOwner_.empty()) log_.notice("distributor-absent");
        } else {
            log_.notice("not-registered: every push is ignored until 'register'");
        }
        std::string lost =
            "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
            "interface='org.freedesktop.DBus',member='NameLost',arg0='" +
            options_.appId + "'";
        sd_bus_add_match(bus_.get(), &lostSlot_, lost.c_str(), &Server::onNameLost, this);

        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Message", "a{sv}", "", &Server::onMessage, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("NewEndpoint", "a{sv}", "", &Server::onNewEndpoint, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Unregistered", "a{sv}", "", &Server::onUnregistered, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        if (sd_bus_add_object_vtable(bus_.get(), &vtableSlot_, kConnectorPath, kConnectorInterface, vtable,
                                     this) < 0)
            return fail("cannot export the connector interface");
        int r = sd_bus_request_name(bus_.get(), options_.appId.c_str(), SD_BUS_NAME_ALLOW_REPLACEMENT);
        if (r < 0)
            return fail(r == -EEXIST
                            ? "another process owns " + options_.appId
                            : "cannot own " + options_.appId + " (errno " + std::to_string(-r) + ")");
        log_.info("serving");
        armIdle();
        r = sd_event_loop(event_);
        log_.info("stopped");
        return r < 0 ? 1 : 0;
    }

  private:
    int fail(const std::string& why) {
        log_.error("cannot-serve: " + why);
        std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
        return 1;
    }

    void armIdle() {
        if (options_.idleExitSeconds <= 0) return;
        auto usec = static_cast<std::uint64_t>(options_.idleExitSeconds * 1e6);
        if (idleTimer_) {
            sd_event_source_set_time_relative(idleTimer_, usec);
            sd_event_source_set_enabled(idleTimer_, SD_EVENT_ONESHOT);
        } else {
            sd_event_add_time_relative(event_, &idleTimer_, CLOCK_MONOTONIC, usec, 0, &Server::onIdle, this);
        }
    }

    void becameIdle() {
        if (leaving_) {
            sd_event_exit(event_, 0);
            return;
        }
        // What the pushes just served freed (their messages, up to 1 MiB of
        // output per extension, the centre's file read in) goes back to the
        // system rather than staying in the heap while the connector waits.
        malloc_trim(0);
        armIdle();
    }

    // Leaves the bus name; what was sent to it before still arrives and is served.
    void leave(const char* why) {
        if (leaving_) return;
        leaving_ = true;
        log_.info(why);
        sd_bus_release_name(bus_.get(), options_.appId.c_str());
        sd_event_add_time_relative(event_, &drainTimer_, CLOCK_MONOTONIC, 200000, 0, &Server::onDrained,
                                   this);
    }

    static int onIdle(sd_event_source*, uint64_t, void* userdata) {
        auto* self = static_cast<Server*>(userdata);
        if (self->runner_->idle()) self->leave("idle-exit");
        return 0;
    }

    static int onDrained(sd_event_source*, uint64_t, void* userdata) {
        auto* self = static_cast<Server*>(userdata);
        if (self->runner_->idle()) sd_event_exit(self->event_, 0);
        return 0;
    }

    static int onNameLost(sd_bus_message*, void* userdata, sd_bus_error*) {
        static_cast<Server*>(userdata)->leave("name-taken-over");
        return 0;
    }

    static int onOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Server*>(userdata);
        const char *name = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0) return 0;
        self->distributorOwner_ = after ? after : "";
        self->log_.info(self->distributorOwner_.empty() ? "distributor-gone" : "distributor-owner-changed");
        return 0;
    }

    // The common checks: the caller, the arguments, the token. Nothing when the call stops here.
    std::optional<Dict> admit(sd_bus_message* m, sd_bus_error* error, const char* method) {
        const char* sender = sd_bus_message_get_sender(m);
        if (!registration_ || distributorOwner_.empty() || !sender || distributorOwner_ != sender) {
            log_.error(std::string("caller-refused: ") + method + " from " + (sender ? sender : "?") +
                       ", which is not the distributor");
            sd_bus_error_set_const(error, SD_BUS_ERROR_ACCESS_DENIED,
                                   "only the registered distributor may call");
            return std::nullopt;
        }
        auto dict = readDict(m);
        if (!dict) {
            log_.error(std::string("call-ignored: ") + method + " arguments are malformed");
            return std::nullopt;
        }
        const std::string* token = dictString(*dict, "token");
        if (!token || *token != registration_->token) {
            log_.error(std::string("call-ignored: ") + method + " for an unknown token");
            return std::nullopt;
        }
        return dict;
    }

    static int answer(sd_bus_message* m, sd_bus_error* error) {
        if (sd_bus_error_is_set(error)) return -sd_bus_error_get_errno(error);
        return sd_bus_reply_method_return(m, "");
    }

    static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        auto* self = static_cast<Server*>(userdata);
        if (auto dict = self->admit(m, error, "Message")) self->receive(*dict);
        return answer(m, error);
    }

    void receive(const Dict& dict) {
        armIdle();
        auto message = dict.find("message");
        std::vector<std::uint8_t> body;
        if (message != dict.end()) {
            if (auto* bytes = std::get_if<std::vector<std::uint8_t>>(&message->second))
                body = *bytes;
            else if (auto* text = std::get_if<std::string>(&message->second))
                body.assign(text->begin(), text->end());
        } else {
            log_.error("push-refused: no message");
            return;
        }
        const std::string* id = dictString(dict, "id");
        try {
            auto opened = openMessage(registration_->keys, body, id ? *id : std::string());
            if (!opened.request) {
                log_.error("push-refused: " + opened.refusal);
                return;
            }
            // Distributors may deliver a message again; one already served is not run twice.
            if (id && !id->empty()) {
                if (std::find(seenIds_.begin(), seenIds_.end(), *id) != seenIds_.end()) {
                    log_.notice("push-repeated: ignored");
                    return;
                }
                seenIds_.push_back(*id);
                if (seenIds_.size() > kRememberedIds) seenIds_.pop_front();
            }
            log_.info("push-received");
            runner_->submit(std::move(*opened.request));
        } catch (const std::exception&) {
            log_.error("push-refused: decryption failed");
        }
    }

    static int onNewEndpoint(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        auto* self = static_cast<Server*>(userdata);
        if (auto dict = self->admit(m, error, "NewEndpoint")) {
            const std::string* endpoint = dictString(*dict, "endpoint");
            if (!endpoint || !plausibleEndpoint(*endpoint)) {
                self->log_.error("call-ignored: NewEndpoint without a usable endpoint");
            } else if (*endpoint != self->registration_->endpoint) {
                self->registration_->endpoint = *endpoint;
                try {
                    self->store_.save(*self->registration_);
                    self->log_.notice(
                        "endpoint-stored: the application server must be given the new endpoint");
                } catch (const RegistrationStoreError& e) {
                    self->log_.error(std::string("endpoint-not-stored: ") + e.what());
                }
            }
        }
        return answer(m, error);
    }

    static int onUnregistered(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        auto* self = static_cast<Server*>(userdata);
        if (self->admit(m, error, "Unregistered")) {
            self->registration_.reset();
            try {
                self->store_.forget();
                self->log_.notice("unregistered: the distributor dropped the registration");
            } catch (const RegistrationStoreError& e) {
                self->log_.error(std::string("unregistered-not-forgotten: ") + e.what());
            }
        }
        return answer(m, error);
    }

    const ConnectorOptions& options_;
    RegistrationStore store_;
    std::optional<Registration> registration_;
    std::shared_ptr<platform::NotificationCenter> center_;
    platform::Logger log_;
    sd_event* event_ = nullptr;
    BusPtr bus_;
    std::unique_ptr<ExtensionRunner> runner_;
    std::string distributorOwner_;
    sd_bus_slot* vtableSlot_ = nullptr;
    sd_bus_slot* ownerSlot_ = nullptr;
    sd_bus_slot* lostSlot_ = nullptr;
    sd_event_source* idleTimer_ = nullptr;
    sd_event_source* drainTimer_ = nullptr;
    bool leaving_ = false;
    // The ids of the last messages served, oldest first.
    static constexpr std::size_t kRememberedIds = 256;
    std::deque<std::string> seenIds_;
};

}  // namespace

int runServe(const ConnectorOptions& options) {
    platform::Logger log(std::string(platform::kSubsystem), "push-connector");
    std::shared_ptr<platform::NotificationCenter> center;
    try {
        center = host::makePresentingPlatform(options.host).center;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot start: %s\n", kProgram, e.what());
        return 1;
    }
    try {
        RegistrationStore store(options.host, options.appId);
        auto registration = store.load();
        Server server(options, std::move(store), std::move(registration), center);
        return server.run();
    } catch (const RegistrationStoreError& e) {
        log.error(std::string("cannot-serve: ") + e.what());
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return 1;
    }
}

}  // namespace tamsel::connector
