#include "platform/linux/DBusConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Task.h"

namespace tamsel::platform {
namespace {

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

// Microseconds left until the deadline, or the run's deadline when that comes
// first; at least one, as sd-bus reads 0 as "its own default", which is far
// longer than any of ours.
std::uint64_t remainingMicroseconds(DBusDeadline deadline) {
    if (auto run = currentTaskDeadline()) deadline = std::min(deadline, *run);
    auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw DBusFailure(DBusFailure::Kind::timedOut, "");
    return static_cast<std::uint64_t>(left.count());
}

bool startsWith(const char* text, const char* prefix) {
    return text && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

struct ErrorHolder {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~ErrorHolder() { sd_bus_error_free(&error); }
};

}  // namespace

[[noreturn]] void throwDBusResult(int result) {
    switch (-result) {
        case ETIMEDOUT:
            throw DBusFailure(DBusFailure::Kind::timedOut, "");
        case EINVAL:
        case EBADMSG:
        case E2BIG:
        case ENOMSG:
            throw DBusFailure(DBusFailure::Kind::invalidArgument, "");
        default:
            throw DBusFailure(DBusFailure::Kind::noBus, "");
    }
}

int checkDBusMessage(int result) {
    if (result < 0) throw DBusFailure(DBusFailure::Kind::invalidArgument, "");
    return result;
}

DBusMessage& DBusMessage::operator=(DBusMessage&& other) noexcept {
    if (this != &other) {
        sd_bus_message_unref(m_);
        m_ = other.m_;
        other.m_ = nullptr;
    }
    return *this;
}

DBusMessage::~DBusMessage() { sd_bus_message_unref(m_); }

DBusConnection::DBusConnection(const std::string& address, DBusDeadline deadline) {
    int r;
    if (address.empty()) {
        r = sd_bus_open_user(&bus_);
    } else {
        r = sd_bus_new(&bus_);
        if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
        if (r >= 0) r = sd_bus_start(bus_);
    }
    if (r < 0) {
        bus_ = sd_bus_close_unref(bus_);
        throw DBusFailure(DBusFailure::Kind::noBus, "");
    }
    // sd-bus would finish the handshake inside the first call with a limit of
    // its own; finish it here under ours.
    try {
        for (;;) {
            r = sd_bus_is_ready(bus_);
            if (r > 0) break;
            if (r < 0) throw DBusFailure(DBusFailure::Kind::noBus, "");
            r = sd_bus_process(bus_, nullptr);
            if (r < 0) throw DBusFailure(DBusFailure::Kind::noBus, "");
            if (r > 0) continue;
            r = sd_bus_wait(bus_, remainingMicroseconds(deadline));
            if (r < 0 && r != -EINTR) throw DBusFailure(DBusFailure::Kind::noBus, "");
        }
    } catch (...) {
        bus_ = sd_bus_close_unref(bus_);
        throw;
    }
}

DBusConnection::~DBusConnection() { sd_bus_close_unref(bus_); }

DBusMessage DBusConnection::newMethodCall(const char* destination, const char* path, const char* interface,
                                          const char* member) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, destination, path, interface, member);
    if (r < 0) throwDBusResult(r);
    return DBusMessage(m);
}

DBusMessage DBusConnection::newSignal(const char* path, const char* interface, const char* member) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(bus_, &m, path, interface, member);
    if (r < 0) throwDBusResult(r);
    return DBusMessage(m);
}

DBusMessage DBusConnection::call(const DBusMessage& message, DBusDeadline deadline) {
    ErrorHolder error;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(bus_, message.get(), remainingMicroseconds(deadline), &error.error, &reply);
    if (r >= 0) return DBusMessage(reply);
    const char* name = error.error.name;
    if (!name) throwDBusResult(r);
    if (sd_bus_error_has_name(&error.error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
        sd_bus_error_has_name(&error.error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
        startsWith(name, "org.freedesktop.DBus.Error.Spawn."))
        throw DBusFailure(DBusFailure::Kind::serviceUnknown, name);
    if (sd_bus_error_has_name(&error.error, SD_BUS_ERROR_NO_REPLY) ||
        sd_bus_error_has_name(&error.error, SD_BUS_ERROR_TIMEOUT) ||
        sd_bus_error_has_name(&error.error, "org.freedesktop.DBus.Error.TimedOut"))
        throw DBusFailure(DBusFailure::Kind::timedOut, name);
    if (r == -ETIMEDOUT) throw DBusFailure(DBusFailure::Kind::timedOut, name);
    if (r == -ECONNRESET || r == -ENOTCONN || r == -ECONNREFUSED)
        throw DBusFailure(DBusFailure::Kind::noBus, name);
    throw DBusFailure(DBusFailure::Kind::refused, name);
}

bool DBusConnection::stillOpen() {
    // Nothing is subscribed to, so little ever arrives between calls; the bound
    // only keeps a peer that floods the connection from holding the caller here.
    for (int handled = 0; handled < 64; ++handled) {
        int r = sd_bus_process(bus_, nullptr);
        if (r < 0) return false;
        if (r == 0) break;
    }
    return sd_bus_is_open(bus_) > 0;
}

void DBusConnection::sendRouted(const DBusMessage& message, DBusDeadline deadline) {
    int r = sd_bus_send(bus_, message.get(), nullptr);
    if (r < 0) throwDBusResult(r);
    (void)busId(deadline);
}

std::string DBusConnection::busId(DBusDeadline deadline) {
    auto m = newMethodCall(kBusName, kBusPath, kBusName, "GetId");
    auto reply = call(m, deadline);
    const char* id = nullptr;
    checkDBusMessage(sd_bus_message_read(reply.get(), "s", &id));
    return id ? id : "";
}

std::string DBusConnection::nameOwner(const char* name, DBusDeadline deadline) {
    auto m = newMethodCall(kBusName, kBusPath, kBusName, "GetNameOwner");
    checkDBusMessage(sd_bus_message_append(m.get(), "s", name));
    try {
        auto reply = call(m, deadline);
        const char* owner = nullptr;
        checkDBusMessage(sd_bus_message_read(reply.get(), "s", &owner));
        return owner ? owner : "";
    } catch (const DBusFailure& failure) {
        if (failure.kind() == DBusFailure::Kind::serviceUnknown) return "";
        throw;
    }
}

}  // namespace tamsel::platform
