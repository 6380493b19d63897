#pragma once
// One connection to a message bus over sd-bus, with a deadline on everything
// that waits: connecting, authenticating, every call. Nothing here waits
// without a limit, so a bus or a peer that stops answering costs at most the
// caller's time limit, and never more than the time left to the run
// (currentTaskDeadline()).
//
// A connection belongs to one thread at a time: a caller that keeps one across
// operations serialises them itself.
#include <systemd/sd-bus.h>

#include <chrono>
#include <exception>
#include <string>

#include "platform/PlatformError.h"

namespace tamsel::platform {

class DBusFailure : public std::exception, public Error {
  public:
    enum class Kind {
        noBus,           // no address, nothing listening, or the connection broke
        timedOut,        // the deadline passed first
        serviceUnknown,  // nobody owns the name and none could be started for it
        refused,         // the peer answered with an error of its own
        invalidArgument  // a value the wire cannot carry
    };
    DBusFailure(Kind kind, std::string errorName)
        : Error(ErrorDomain::dbus, static_cast<long>(kind)), kind_(kind), errorName_(std::move(errorName)) {}
    Kind kind() const { return kind_; }
    // The D-Bus error name when the peer sent one (never any message text).
    const std::string& errorName() const { return errorName_; }
    const char* what() const noexcept override { return "D-Bus failure"; }

  private:
    Kind kind_;
    std::string errorName_;
};

using DBusDeadline = std::chrono::steady_clock::time_point;

// Owns one reference to a message.
class DBusMessage {
  public:
    DBusMessage() = default;
    explicit DBusMessage(sd_bus_message* m) : m_(m) {}
    DBusMessage(DBusMessage&& other) noexcept : m_(other.m_) { other.m_ = nullptr; }
    DBusMessage& operator=(DBusMessage&& other) noexcept;
    DBusMessage(const DBusMessage&) = delete;
    DBusMessage& operator=(const DBusMessage&) = delete;
    ~DBusMessage();
    sd_bus_message* get() const { return m_; }

  private:
    sd_bus_message* m_ = nullptr;
};

class DBusConnection {
  public:
    // Connects to `address` ("unix:path=…"), or when it is empty to the user's
    // session bus as the environment names it, and completes the handshake
    // before the deadline.
    DBusConnection(const std::string& address, DBusDeadline deadline);
    ~DBusConnection();
    DBusConnection(const DBusConnection&) = delete;
    DBusConnection& operator=(const DBusConnection&) = delete;

    sd_bus* get() const { return bus_; }

    DBusMessage newMethodCall(const char* destination, const char* path, const char* interface,
                              const char* member);
    DBusMessage newSignal(const char* path, const char* interface, const char* member);

    // Sends the call and waits for its reply until the deadline.
    DBusMessage call(const DBusMessage& message, DBusDeadline deadline);
    // Queues the message and returns once the bus has routed it: a round trip to
    // the bus itself follows it on the same connection, and the bus handles a
    // connection's messages in order.
    void sendRouted(const DBusMessage& message, DBusDeadline deadline);

    // Handles what has arrived, without waiting; false once the connection has
    // broken (the bus went away), after which every call on it fails.
    bool stillOpen();

    // The bus's own identity (unique per running bus) and the unique name that
    // owns `name` now (empty when nobody does).
    std::string busId(DBusDeadline deadline);
    std::string nameOwner(const char* name, DBusDeadline deadline);

  private:
    sd_bus* bus_ = nullptr;
};

// Turns a negative sd-bus result (no error reply) into the failure.
[[noreturn]] void throwDBusResult(int result);
// Checks a result of sd_bus_message_append/read: a value the wire refused.
int checkDBusMessage(int result);

}  // namespace tamsel::platform
