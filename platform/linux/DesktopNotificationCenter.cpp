#include "platform/linux/DesktopNotificationCenter.h"

#include <cstdint>
#include <limits>
#include <set>
#include <system_error>

#include "platform/ServiceError.h"
#include "platform/Task.h"
#include "platform/linux/DBusConnection.h"

namespace tamsel::platform {
namespace {

constexpr const char* kServerName = "org.freedesktop.Notifications";
constexpr const char* kServerPath = "/org/freedesktop/Notifications";
constexpr const char* kLauncherInterface = "com.canonical.Unity.LauncherEntry";
// Launchers listen to the interface's signal from any object path.
constexpr const char* kLauncherPath = "/com/brindaxel/tamsel/LauncherEntry";

[[noreturn]] void fail(long code) { throw NotificationCenterError(code); }
[[noreturn]] void corrupted() { fail(NotificationCenterError::kStoreCorrupted); }

constexpr StoreErrorCodes kStoreCodes{NotificationCenterError::kStoreCorrupted,
                                      NotificationCenterError::kStoreUnavailable};

// The centre's code for what the bus reported.
long codeFor(DBusFailure::Kind kind) {
    switch (kind) {
        case DBusFailure::Kind::noBus:
            return DesktopNotificationCenter::kBusUnavailable;
        case DBusFailure::Kind::timedOut:
            return DesktopNotificationCenter::kServerTimedOut;
        case DBusFailure::Kind::serviceUnknown:
            return DesktopNotificationCenter::kServerUnavailable;
        case DBusFailure::Kind::refused:
            return DesktopNotificationCenter::kServerRefused;
        case DBusFailure::Kind::invalidArgument:
            return NotificationCenterError::kInvalidRequest;
    }
    return DesktopNotificationCenter::kServerRefused;
}

std::optional<long> busCode(const Error& error) {
    if (error.domain() != ErrorDomain::dbus) return std::nullopt;
    return codeFor(static_cast<DBusFailure::Kind>(error.errorCode()));
}

template <class Body>
auto guardedOperation(Body&& body) {
    return asServiceError<NotificationCenterError>(kStoreCodes, std::forward<Body>(body), busCode);
}

// The server that shows the notifications now, as far as ids go.
struct Server {
    std::string bus;
    std::string owner;
    bool issued(const Json& entry) const {
        const Json& server = entry.at("server");
        return !owner.empty() && server.at("bus").get<std::string>() == bus &&
               server.at("owner").get<std::string>() == owner;
    }
};

// The bus's id is the connection's, asked once; the owner is asked every time,
// of the bus itself (a round trip that never reaches the server), since a
// server that restarted numbers its notifications anew.
Server currentServer(DBusConnection& bus, const std::string& busId, DBusDeadline deadline) {
    return {busId, bus.nameOwner(kServerName, deadline)};
}

bool isString(const Json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string();
}

// Checks the whole registry's shape before anything reads or changes it.
void validate(const Json& document) {
    if (auto delivered = document.find("delivered"); delivered != document.end()) {
        if (!delivered->is_array()) corrupted();
        for (const auto& entry : *delivered) {
            if (!entry.is_object() || !isString(entry, "identifier") || !entry.contains("content"))
                corrupted();
            try {
                (void)contentFromJson(entry.at("content"));
            } catch (const ContentFormatError&) {
                corrupted();
            }
            auto date = entry.find("date");
            if (date == entry.end() || !date->is_number_integer()) corrupted();
            if (date->is_number_unsigned() && date->get<std::uint64_t>() > INT64_MAX) corrupted();
            auto server = entry.find("server");
            if (server == entry.end() || !server->is_object() || !isString(*server, "bus") ||
                !isString(*server, "owner"))
                corrupted();
            auto id = server->find("id");
            if (id == server->end() || !id->is_number_unsigned() ||
                id->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max())
                corrupted();
        }
    }
    if (auto badge = document.find("badge"); badge != document.end() && !badge->is_null()) {
        bool fits = badge->is_number_integer() &&
                    (!badge->is_number_unsigned() || badge->get<std::uint64_t>() <= INT64_MAX);
        if (!fits) corrupted();
    }
}

Json& deliveredList(Json& document) {
    if (!document.contains("delivered")) document["delivered"] = Json::array();
    return document["delivered"];
}

// D-Bus strings end at the first NUL; show a replacement character rather than
// cut the text short.
std::string withoutNul(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\0')
            out += "\xEF\xBF\xBD";
        else
            out += c;
    }
    return out;
}

std::string escapeMarkup(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Whether the server reads markup in the body, and which server answered (the
// call may have started one).
std::pair<bool, std::string> serverReadsMarkup(DBusConnection& bus, DBusDeadline deadline) {
    auto m = bus.newMethodCall(kServerName, kServerPath, kServerName, "GetCapabilities");
    auto reply = bus.call(m, deadline);
    checkDBusMessage(sd_bus_message_enter_container(reply.get(), 'a', "s"));
    bool markup = false;
    const char* capability = nullptr;
    while (checkDBusMessage(sd_bus_message_read(reply.get(), "s", &capability)) > 0)
        if (std::string_view(capability) == "body-markup") markup = true;
    checkDBusMessage(sd_bus_message_exit_container(reply.get()));
    const char* sender = sd_bus_message_get_sender(reply.get());
    return {markup, sender ? sender : ""};
}

// One {sv} entry of a dictionary; `type` names the variant's contents and the
// value follows as sd_bus_message_append() takes it.
template <class Value>
void appendEntry(sd_bus_message* m, const char* key, const char* type, Value value) {
    checkDBusMessage(sd_bus_message_append(m, "{sv}", key, type, value));
}

}  // namespace

DesktopNotificationCenter::DesktopNotificationCenter(std::filesystem::path registry,
                                                     std::shared_ptr<const Clock> clock,
                                                     DesktopNotificationSettings settings)
    : registry_(std::move(registry)), clock_(std::move(clock)), settings_(std::move(settings)) {}

DesktopNotificationCenter::~DesktopNotificationCenter() = default;

DBusConnection& DesktopNotificationCenter::connection(DBusDeadline deadline) {
    // A bus that went away (or restarted) leaves a connection that only fails.
    if (session_.bus && !session_.bus->stillOpen()) session_ = Session{};
    if (!session_.bus) {
        Session fresh;
        fresh.bus = std::make_unique<DBusConnection>(settings_.busAddress, deadline);
        fresh.busId = fresh.bus->busId(deadline);
        session_ = std::move(fresh);
    }
    return *session_.bus;
}

template <class Body>
void DesktopNotificationCenter::withBus(DBusDeadline deadline, Body&& body) {
    // One operation at a time on the connection; waiting for it costs no more
    // than the operation's own time.
    {
        std::unique_lock lock(busMutex_);
        if (!busReleased_.wait_until(lock, deadline, [&] { return !busTaken_; }))
            throw DBusFailure(DBusFailure::Kind::timedOut, "");
        busTaken_ = true;
    }
    struct Release {
        DesktopNotificationCenter& center;
        ~Release() {
            {
                std::lock_guard lock(center.busMutex_);
                center.busTaken_ = false;
            }
            center.busReleased_.notify_one();
        }
    } release{*this};
    try {
        body(connection(deadline));
    } catch (const DBusFailure& failure) {
        if (failure.kind() == DBusFailure::Kind::noBus) session_ = Session{};
        throw;
    }
}

std::string DesktopNotificationCenter::summaryText(const NotificationContent& content) {
    if (content.communication && content.communication->is_object()) {
        auto name = content.communication->find("senderDisplayName");
        if (name != content.communication->end() && name->is_string() && !name->get<std::string>().empty())
            return withoutNul(name->get<std::string>());
    }
    return withoutNul(content.title.value_or(""));
}

std::string DesktopNotificationCenter::bodyText(const NotificationContent& content, bool serverReadsMarkup) {
    std::string text;
    if (content.subtitle) text = *content.subtitle;
    if (content.body) text += (text.empty() ? "" : "\n") + *content.body;
    text = withoutNul(std::move(text));
    return serverReadsMarkup ? escapeMarkup(text) : text;
}

std::vector<DeliveredNotification> DesktopNotificationCenter::deliveredNotifications() {
    return guardedOperation([&] {
        Json document = registry_.read();
        validate(document);
        std::vector<DeliveredNotification> delivered;
        if (auto it = document.find("delivered"); it != document.end())
            for (const auto& entry : *it) {
                NotificationRequest request{
                    entry.at("identifier").get<std::string>(),
                    std::make_shared<const NotificationContent>(contentFromJson(entry.at("content")))};
                TimePoint date{std::chrono::milliseconds(entry.at("date").get<std::int64_t>())};
                delivered.push_back({std::move(request), date});
            }
        return delivered;
    });
}

std::vector<NotificationRequest> DesktopNotificationCenter::pendingNotificationRequests() { return {}; }

void DesktopNotificationCenter::removePendingNotificationRequests(const std::vector<std::string>&) {}

void DesktopNotificationCenter::add(const NotificationRequest& request) {
    if (!request.content || request.identifier.empty()) fail(NotificationCenterError::kInvalidRequest);
    if (settings_.desktopEntry.empty()) fail(NotificationCenterError::kInvalidRequest);
    const NotificationContent& content = *request.content;
    Json stored;
    try {
        stored = contentToJson(content);
        // What the registry cannot hold (text that is not UTF-8) the bus cannot
        // carry either: refuse it before anything is shown.
        (void)writeJson(stored);
    } catch (const nlohmann::json::exception&) {
        fail(NotificationCenterError::kInvalidRequest);
    }
    const auto date = std::chrono::duration_cast<std::chrono::milliseconds>(clock_->now().time_since_epoch());
    const auto deadline = waitDeadline(settings_.timeLimit);
    guardedOperation([&] {
        withBus(deadline, [&](DBusConnection& bus) {
            Server server = currentServer(bus, session_.busId, deadline);
            if (server.owner.empty() || server.owner != session_.capabilitiesOwner) {
                auto [markup, owner] = serverReadsMarkup(bus, deadline);
                session_.readsMarkup = markup;
                session_.capabilitiesOwner = owner;
            }
            const bool markup = session_.readsMarkup;
            registry_.update([&](Json& document) {
                validate(document);
                Json& delivered = deliveredList(document);
                std::uint32_t replacesId = 0;
                Json kept = Json::array();
                for (auto& entry : delivered) {
                    if (entry.at("identifier").get<std::string>() != request.identifier) {
                        kept.push_back(std::move(entry));
                        continue;
                    }
                    if (server.issued(entry)) replacesId = entry.at("server").at("id").get<std::uint32_t>();
                }

                auto m = bus.newMethodCall(kServerName, kServerPath, kServerName, "Notify");
                sd_bus_message* message = m.get();
                checkDBusMessage(sd_bus_message_append(message, "susss", settings_.applicationName.c_str(),
                                                       replacesId, "", summaryText(content).c_str(),
                                                       bodyText(content, markup).c_str()));
                checkDBusMessage(sd_bus_message_append(message, "as", 0));
                checkDBusMessage(sd_bus_message_open_container(message, 'a', "{sv}"));
                appendEntry(message, "desktop-entry", "s", settings_.desktopEntry.c_str());
                if (content.communication) appendEntry(message, "category", "s", "im.received");
                if (content.sound == NotificationSound::none)
                    appendEntry(message, "suppress-sound", "b", int{1});
                checkDBusMessage(sd_bus_message_close_container(message));
                checkDBusMessage(sd_bus_message_append(message, "i", std::int32_t{-1}));

                auto reply = bus.call(m, deadline);
                std::uint32_t id = 0;
                checkDBusMessage(sd_bus_message_read(reply.get(), "u", &id));
                const char* sender = sd_bus_message_get_sender(reply.get());

                kept.push_back(
                    {{"identifier", request.identifier},
                     {"content", stored},
                     {"date", date.count()},
                     {"server", {{"bus", server.bus}, {"owner", sender ? sender : ""}, {"id", id}}}});
                delivered = std::move(kept);
            });
        });
    });
}

void DesktopNotificationCenter::removeDeliveredNotifications(const std::vector<std::string>& identifiers) {
    const std::set<std::string> wanted(identifiers.begin(), identifiers.end());
    if (wanted.empty()) return;
    const auto deadline = waitDeadline(settings_.timeLimit);
    guardedOperation([&] {
        // Most removals match nothing: answer those without the bus.
        {
            Json document = registry_.read();
            validate(document);
            bool any = false;
            if (auto it = document.find("delivered"); it != document.end())
                for (const auto& entry : *it)
                    any = any || wanted.count(entry.at("identifier").get<std::string>());
            if (!any) return;
        }
        withBus(deadline, [&](DBusConnection& bus) {
            Server server = currentServer(bus, session_.busId, deadline);
            std::optional<DBusFailure> unfinished;
            registry_.update([&](Json& document) {
                validate(document);
                Json& delivered = deliveredList(document);
                Json kept = Json::array();
                for (auto& entry : delivered) {
                    if (!wanted.count(entry.at("identifier").get<std::string>())) {
                        kept.push_back(std::move(entry));
                        continue;
                    }
                    // A notification of a server that is gone went with it.
                    if (!server.issued(entry) || unfinished) {
                        if (unfinished) kept.push_back(std::move(entry));
                        continue;
                    }
                    try {
                        auto m =
                            bus.newMethodCall(kServerName, kServerPath, kServerName, "CloseNotification");
                        checkDBusMessage(sd_bus_message_append(
                            m.get(), "u", entry.at("server").at("id").get<std::uint32_t>()));
                        bus.call(m, deadline);
                    } catch (const DBusFailure& failure) {
                        // The server answers an id it no longer shows (the person
                        // closed it) with an error: that notification is gone too.
                        // Without an answer it may still be on screen: keep it.
                        if (failure.kind() == DBusFailure::Kind::timedOut ||
                            failure.kind() == DBusFailure::Kind::noBus) {
                            unfinished = failure;
                            kept.push_back(std::move(entry));
                        }
                    }
                }
                delivered = std::move(kept);
            });
            if (unfinished) throw *unfinished;
        });
    });
}

void DesktopNotificationCenter::setBadgeCount(std::int64_t count) {
    if (count < 0) fail(NotificationCenterError::kBadgeRefused);
    if (settings_.desktopEntry.empty()) fail(NotificationCenterError::kBadgeRefused);
    const auto deadline = waitDeadline(settings_.timeLimit);
    guardedOperation([&] {
        withBus(deadline, [&](DBusConnection& bus) {
            registry_.update([&](Json& document) {
                validate(document);
                auto m = bus.newSignal(kLauncherPath, kLauncherInterface, "Update");
                sd_bus_message* message = m.get();
                std::string uri = "application://" + settings_.desktopEntry + ".desktop";
                checkDBusMessage(sd_bus_message_append(message, "s", uri.c_str()));
                checkDBusMessage(sd_bus_message_open_container(message, 'a', "{sv}"));
                appendEntry(message, "count", "x", count);
                appendEntry(message, "count-visible", "b", int{count > 0});
                checkDBusMessage(sd_bus_message_close_container(message));
                bus.sendRouted(m, deadline);
                document["badge"] = count;
            });
        });
    });
}

std::optional<std::int64_t> DesktopNotificationCenter::badgeCount() {
    return guardedOperation([&]() -> std::optional<std::int64_t> {
        Json document = registry_.read();
        validate(document);
        auto badge = document.find("badge");
        if (badge == document.end() || badge->is_null()) return std::nullopt;
        return badge->get<std::int64_t>();
    });
}

}  // namespace tamsel::platform
