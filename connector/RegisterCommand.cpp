#include "connector/RegisterCommand.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdio>
#include <optional>

#include "connector/Bus.h"
#include "connector/RegistrationStore.h"
#include "platform/Clock.h"
#include "platform/Json.h"
#include "webpush/Base64Url.h"

namespace tamsel::connector {
namespace {

constexpr std::uint64_t kWaitMicroseconds = 10 * 1000000ull;

int failed(const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
    return 1;
}

// Text a peer sent, kept printable and short before it goes into a message.
std::string printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 64)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
    return out;
}

struct MessagePtr {
    sd_bus_message* m = nullptr;
    ~MessagePtr() { sd_bus_message_unref(m); }
};

// One registration in flight: the Register call and the endpoint that follows it.
struct Registering {
    sd_bus* bus = nullptr;
    sd_event* event = nullptr;
    std::string distributor;
    std::string distributorOwner;
    std::string token;
    bool answered = false;
    std::optional<std::string> endpoint;
    std::string error;

    void check() {
        if (!error.empty())
            sd_event_exit(event, 1);
        else if (answered && endpoint)
            sd_event_exit(event, 0);
    }

    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Registering*>(userdata);
        if (const sd_bus_error* e = sd_bus_message_get_error(reply)) {
            self->error = "the distributor did not take the registration (" + std::string(e->name) + ")";
        } else if (auto dict = readDict(reply)) {
            const std::string* success = dictString(*dict, "success");
            const std::string* reason = dictString(*dict, "reason");
            if (success && *success == "REGISTRATION_SUCCEEDED")
                self->answered = true;
            else
                self->error = "the distributor refused the registration (" +
                              printable(success ? *success : "no answer") +
                              (reason ? ", " + printable(*reason) : std::string()) + ")";
        } else {
            self->error = "the distributor answered the registration oddly";
        }
        self->check();
        return 0;
    }

    static int onNewEndpoint(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        auto* self = static_cast<Registering*>(userdata);
        const char* sender = sd_bus_message_get_sender(m);
        try {
            // The distributor may have been started by the Register call itself.
            if (self->distributorOwner.empty())
                self->distributorOwner = nameOwner(self->bus, self->distributor);
        } catch (const BusError&) {
        }
        if (!sender || self->distributorOwner.empty() || self->distributorOwner != sender)
            return sd_bus_error_set_const(error, SD_BUS_ERROR_ACCESS_DENIED,
                                          "only the registered distributor may call");
        auto dict = readDict(m);
        const std::string* token = dict ? dictString(*dict, "token") : nullptr;
        const std::string* endpoint = dict ? dictString(*dict, "endpoint") : nullptr;
        if (token && *token == self->token && endpoint &&
            (endpoint->starts_with("https://") || endpoint->starts_with("http://"))) {
            self->endpoint = *endpoint;
            self->check();
        }
        return sd_bus_reply_method_return(m, "");
    }

    // Pushes cannot be served while registering: they are answered and dropped.
    static int onOther(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }
};

}  // namespace

int runRegister(const ConnectorOptions& options) {
    if (options.vapid) {
        auto key = webpush::base64urlDecode(*options.vapid);
        if (!key || key->size() != webpush::kPublicKeySize || !webpush::p256::fromPublic(*key)) {
            std::fprintf(stderr,
                         "%s: --vapid needs an uncompressed P-256 public key in base64url; see '%s --help'\n",
                         kProgram, kProgram);
            return 2;
        }
    }
    try {
        BusPtr bus = openSessionBus();
        auto choice = chooseDistributor(listDistributors(bus.get()), options.distributor);
        if (choice.name.empty()) return failed(choice.error);

        RegistrationStore store(options.host, options.appId);
        auto stored = store.load();
        Registration registration =
            stored ? std::move(*stored)
                   : Registration{platform::randomUUID(), webpush::ReceiverKeys::generate(), choice.name, ""};
        if (registration.distributor != choice.name) {
            registration.distributor = choice.name;
            registration.endpoint.clear();
        }
        // Kept before asking, so that a second attempt reuses the same keys and token.
        store.save(registration);

        sd_event* event = nullptr;
        if (sd_event_new(&event) < 0) return failed("cannot create the event loop");
        struct EventGuard {
            sd_event* e;
            ~EventGuard() { sd_event_unref(e); }
        } eventGuard{event};
        if (sd_bus_attach_event(bus.get(), event, 0) < 0) return failed("cannot attach the bus to the loop");
        struct Detach {
            sd_bus* b;
            ~Detach() { sd_bus_detach_event(b); }
        } detach{bus.get()};

        Registering registering;
        registering.bus = bus.get();
        registering.event = event;
        registering.distributor = choice.name;
        registering.token = registration.token;
        registering.distributorOwner = nameOwner(bus.get(), choice.name);

        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Message", "a{sv}", "", &Registering::onOther, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("NewEndpoint", "a{sv}", "", &Registering::onNewEndpoint,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Unregistered", "a{sv}", "", &Registering::onOther, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        sd_bus_slot* vtableSlot = nullptr;
        if (sd_bus_add_object_vtable(bus.get(), &vtableSlot, kConnectorPath, kConnectorInterface, vtable,
                                     &registering) < 0)
            return failed("cannot export the connector interface");
        struct SlotGuard {
            sd_bus_slot*& s;
            ~SlotGuard() { sd_bus_slot_unref(s); }
        } vtableGuard{vtableSlot};
        // A running server gives the name up: the distributor's answer must reach this process.
        int r = sd_bus_request_name(bus.get(), options.appId.c_str(), SD_BUS_NAME_REPLACE_EXISTING);
        if (r < 0)
            return failed(r == -EEXIST
                              ? "another process owns " + options.appId + " and keeps it"
                              : "cannot own " + options.appId + " (errno " + std::to_string(-r) + ")");

        MessagePtr call;
        if (sd_bus_message_new_method_call(bus.get(), &call.m, choice.name.c_str(), kDistributorPath,
                                           kDistributorInterface, "Register") < 0)
            return failed("cannot build the Register call");
        r = sd_bus_message_open_container(call.m, 'a', "{sv}");
        if (r >= 0)
            r = sd_bus_message_append(call.m, "{sv}{sv}{sv}", "service", "s", options.appId.c_str(), "token",
                                      "s", registration.token.c_str(), "description", "s",
                                      "Tamsel notifications");
        if (r >= 0 && options.vapid)
            r = sd_bus_message_append(call.m, "{sv}", "vapid", "s", options.vapid->c_str());
        if (r >= 0) r = sd_bus_message_close_container(call.m);
        if (r < 0) return failed("cannot build the Register call");
        sd_bus_slot* callSlot = nullptr;
        if (sd_bus_call_async(bus.get(), &callSlot, call.m, &Registering::onReply, &registering,
                              kWaitMicroseconds) < 0)
            return failed("cannot send the Register call");
        SlotGuard callGuard{callSlot};

        sd_event_source* timer = nullptr;
        sd_event_add_time_relative(event, &timer, CLOCK_MONOTONIC, kWaitMicroseconds, 0, nullptr,
                                   reinterpret_cast<void*>(2));
        struct SourceGuard {
            sd_event_source* s;
            ~SourceGuard() { sd_event_source_disable_unref(s); }
        } timerGuard{timer};

        r = sd_event_loop(event);
        if (r != 0) {
            if (!registering.error.empty()) return failed(registering.error);
            return failed(registering.answered ? "the distributor sent no endpoint within 10 seconds"
                                               : "the distributor did not answer within 10 seconds");
        }
        registration.endpoint = *registering.endpoint;
        store.save(registration);
        sd_bus_release_name(bus.get(), options.appId.c_str());

        platform::Json line = {
            {"endpoint", registration.endpoint},
            {"p256dh", webpush::base64urlEncode(registration.keys.publicKey())},
            {"auth", webpush::base64urlEncode(registration.keys.authSecret())},
            {"distributor", registration.distributor},
        };
        std::printf("%s\n", line.dump().c_str());
        return 0;
    } catch (const BusError& e) {
        return failed(e.what());
    } catch (const RegistrationStoreError& e) {
        return failed(e.what());
    } catch (const webpush::CryptoFailure& e) {
        return failed(e.what());
    }
}

int runStatus(const ConnectorOptions& options) {
    try {
        auto registration = RegistrationStore(options.host, options.appId).load();
        platform::Json line = {
            {"registered", registration && !registration->endpoint.empty()},
            {"distributor", registration ? platform::Json(registration->distributor) : nullptr},
            {"endpoint", registration && !registration->endpoint.empty()
                             ? platform::Json(registration->endpoint)
                             : nullptr}};
        std::printf("%s\n", line.dump().c_str());
        return 0;
    } catch (const RegistrationStoreError& e) {
        return failed(e.what());
    }
}

int runUnregister(const ConnectorOptions& options) {
    try {
        RegistrationStore store(options.host, options.appId);
        std::optional<Registration> registration;
        try {
            registration = store.load();
        } catch (const RegistrationStoreError& e) {
            std::fprintf(stderr, "%s: %s; forgetting it\n", kProgram, e.what());
        }
        if (registration) {
            try {
                BusPtr bus = openSessionBus();
                MessagePtr call, reply;
                sd_bus_error error = SD_BUS_ERROR_NULL;
                int r = sd_bus_message_new_method_call(bus.get(), &call.m, registration->distributor.c_str(),
                                                       kDistributorPath, kDistributorInterface, "Unregister");
                if (r >= 0)
                    r = sd_bus_message_append(call.m, "a{sv}", 1, "token", "s", registration->token.c_str());
                if (r >= 0) r = sd_bus_call(bus.get(), call.m, kWaitMicroseconds, &error, &reply.m);
                if (r < 0)
                    std::fprintf(stderr,
                                 "%s: the distributor did not confirm (%s); forgetting the registration\n",
                                 kProgram, sd_bus_error_is_set(&error) ? error.name : "no answer");
                sd_bus_error_free(&error);
            } catch (const BusError& e) {
                std::fprintf(stderr, "%s: %s; forgetting the registration\n", kProgram, e.what());
            }
        }
        store.forget();
        return 0;
    } catch (const RegistrationStoreError& e) {
        return failed(e.what());
    }
}

}  // namespace tamsel::connector
