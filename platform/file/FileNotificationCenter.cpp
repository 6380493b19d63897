#include "platform/file/FileNotificationCenter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>

#include "platform/FileSystem.h"
#include "platform/RegularFile.h"
#include "platform/ServiceError.h"
#include "platform/file/JsonText.h"

namespace tamsel::platform {
namespace {

constexpr StoreErrorCodes kStoreCodes{NotificationCenterError::kStoreCorrupted,
                                      NotificationCenterError::kStoreUnavailable};

[[noreturn]] void corrupted() { throw NotificationCenterError(NotificationCenterError::kStoreCorrupted); }

std::string formatDate(TimePoint date) {
    using namespace std::chrono;
    auto millis = duration_cast<milliseconds>(date.time_since_epoch()).count();
    auto seconds = static_cast<std::time_t>(millis / 1000 - (millis % 1000 < 0 ? 1 : 0));
    long fraction = static_cast<long>(((millis % 1000) + 1000) % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, fraction);
    return text;
}

// Reads exactly the form formatDate() writes.
TimePoint parseDate(const std::string& text) {
    using namespace std::chrono;
    auto digits = [&](std::size_t at, std::size_t count) {
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (text[i] < '0' || text[i] > '9') corrupted();
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != '.' || text[23] != 'Z')
        corrupted();
    year_month_day day{year(digits(0, 4)), month(static_cast<unsigned>(digits(5, 2))),
                       std::chrono::day(static_cast<unsigned>(digits(8, 2)))};
    int hour = digits(11, 2), minute = digits(14, 2), second = digits(17, 2);
    if (!day.ok() || hour > 23 || minute > 59 || second > 59) corrupted();
    return sys_days(day) + hours(hour) + minutes(minute) + seconds(second) + milliseconds(digits(20, 3));
}

NotificationRequest requestFromJson(const Json& entry) {
    if (!entry.is_object()) corrupted();
    auto identifier = entry.find("identifier");
    auto content = entry.find("content");
    if (identifier == entry.end() || !identifier->is_string() || content == entry.end()) corrupted();
    try {
        return {identifier->get<std::string>(),
                std::make_shared<const NotificationContent>(contentFromJson(*content))};
    } catch (const ContentFormatError&) {
        corrupted();
    }
}

constexpr const char* kDelivered = "delivered";
constexpr const char* kPending = "pending";
constexpr const char* kBadge = "badge";

// The identifiers of the entries taken out, in file order.
template <class Entries>
std::vector<std::string> removeIdentifiers(Entries& entries, const std::set<std::string>& identifiers) {
    std::vector<std::string> removed;
    std::erase_if(entries, [&](const auto& entry) {
        if (!identifiers.count(entry.request.identifier)) return false;
        removed.push_back(entry.request.identifier);
        return true;
    });
    return removed;
}

std::string identifiersJson(const std::vector<std::string>& identifiers) {
    return arrayJson(identifiers, [](const std::string& identifier) { return quotedJson(identifier); });
}

}  // namespace

FileNotificationCenter::FileNotificationCenter(std::filesystem::path file, std::shared_ptr<const Clock> clock,
                                               std::optional<std::filesystem::path> journal)
    : file_(std::move(file), Durability::none, &decode, &encode),
      clock_(std::move(clock)),
      journal_(std::move(journal)) {}

FileNotificationCenter::Document FileNotificationCenter::decode(std::string_view bytes) {
    Document document;
    // The whole document's shape is checked before anything reads or changes it.
    Json parsed = LockedJsonFile::parseDocument(bytes);
    for (auto& [key, value] : parsed.items()) {
        if (key == kDelivered || key == kPending) {
            if (!value.is_array()) corrupted();
            auto& entries = key == kDelivered ? document.delivered : document.pending;
            for (const auto& entry : value) {
                Entry decoded{requestFromJson(entry), {}, writeJson(entry)};
                if (key == kDelivered) {
                    auto date = entry.find("date");
                    if (date == entry.end() || !date->is_string()) corrupted();
                    decoded.date = parseDate(date->get<std::string>());
                }
                entries.push_back(std::move(decoded));
            }
        } else if (key == kBadge) {
            if (value.is_null()) continue;
            bool fits = value.is_number_integer() &&
                        (!value.is_number_unsigned() || value.get<std::uint64_t>() <= INT64_MAX);
            if (!fits) corrupted();
            document.badge = value.get<std::int64_t>();
        } else {
            document.others.emplace(key, writeJson(value));
        }
    }
    return document;
}

// Every write leaves all three members in place, so readers of the file always
// find its whole shape.
std::string FileNotificationCenter::encode(const Document& document) {
    std::size_t size = 64;
    for (const auto* list : {&document.delivered, &document.pending})
        for (const auto& entry : *list) size += entry.text.size() + 1;
    for (const auto& [key, value] : document.others) size += key.size() + value.size() + 4;
    auto text = [](const Entry& entry) -> const std::string& { return entry.text; };
    return objectJson(
        document.others, std::initializer_list<std::string_view>{kBadge, kDelivered, kPending},
        [&](std::string& out, std::string_view key) {
            if (key == kBadge)
                out += document.badge ? std::to_string(*document.badge) : "null";
            else
                appendArrayJson(out, key == kDelivered ? document.delivered : document.pending, text);
        },
        size);
}

template <class Read>
auto FileNotificationCenter::inspect(Read&& read) {
    return asServiceError<NotificationCenterError>(kStoreCodes, [&] { return file_.read(read); });
}

template <class Change>
void FileNotificationCenter::rewrite(Change&& change) {
    asServiceError<NotificationCenterError>(kStoreCodes, [&] {
        // A document that comes out the same (nothing removed) is not written again.
        file_.rewrite(change);
    });
}

void FileNotificationCenter::appendToJournal(const std::string& members) const {
    if (!journal_) return;
    // The members of a line are in the JSON writer's order, "pid" last.
    std::string text = "{" + members + ",\"pid\":" + std::to_string(::getpid()) + "}\n";
    // One write with O_APPEND: lines of concurrent processes never interleave.
    int fd = openRegular(*journal_, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0) throw FileSystemError(errno, "open");
    ssize_t written;
    do {
        written = ::write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    int error = errno;
    ::close(fd);
    if (written < 0) throw FileSystemError(error, "write");
    if (static_cast<std::size_t>(written) != text.size()) throw FileSystemError(EIO, "write");
}

std::vector<DeliveredNotification> FileNotificationCenter::deliveredNotifications() {
    return inspect([](const Document& document) {
        std::vector<DeliveredNotification> delivered;
        for (const auto& entry : document.delivered) delivered.push_back({entry.request, entry.date});
        return delivered;
    });
}

std::vector<NotificationRequest> FileNotificationCenter::pendingNotificationRequests() {
    return inspect([](const Document& document) {
        std::vector<NotificationRequest> pending;
        for (const auto& entry : document.pending) pending.push_back(entry.request);
        return pending;
    });
}

void FileNotificationCenter::removeDeliveredNotifications(const std::vector<std::string>& identifiers) {
    rewrite([&](Document& document) {
        auto removed = removeIdentifiers(document.delivered, {identifiers.begin(), identifiers.end()});
        appendToJournal("\"identifiers\":" + identifiersJson(removed) + ",\"operation\":\"removeDelivered\"");
    });
}

void FileNotificationCenter::removePendingNotificationRequests(const std::vector<std::string>& identifiers) {
    rewrite([&](Document& document) {
        auto removed = removeIdentifiers(document.pending, {identifiers.begin(), identifiers.end()});
        appendToJournal("\"identifiers\":" + identifiersJson(removed) + ",\"operation\":\"removePending\"");
    });
}

void FileNotificationCenter::add(const NotificationRequest& request) {
    if (!request.content || request.identifier.empty())
        throw NotificationCenterError(NotificationCenterError::kInvalidRequest);
    std::string content;
    std::string identifier;
    Entry entry;
    try {
        // A request the file could not hold (text that is not UTF-8) is refused
        // here rather than when the whole file is written.
        Json json = contentToJson(*request.content);
        content = writeJson(json);
        identifier = quotedJson(request.identifier);
        // What a reader of the file gets back, as from any other entry.
        entry.request = {request.identifier,
                         std::make_shared<const NotificationContent>(contentFromJson(json))};
    } catch (const nlohmann::json::exception&) {
        throw NotificationCenterError(NotificationCenterError::kInvalidRequest);
    } catch (const ContentFormatError&) {
        throw NotificationCenterError(NotificationCenterError::kInvalidRequest);
    }
    const std::string date = formatDate(clock_->now());
    entry.date = parseDate(date);
    entry.text = "{\"content\":" + content + ",\"date\":\"" + date + "\",\"identifier\":" + identifier + "}";
    rewrite([&](Document& document) {
        removeIdentifiers(document.delivered, {request.identifier});
        removeIdentifiers(document.pending, {request.identifier});
        document.delivered.push_back(std::move(entry));
        appendToJournal("\"content\":" + content + ",\"identifier\":" + identifier +
                        ",\"operation\":\"add\"");
    });
}

void FileNotificationCenter::setBadgeCount(std::int64_t count) {
    if (count < 0) throw NotificationCenterError(NotificationCenterError::kBadgeRefused);
    rewrite([&](Document& document) {
        document.badge = count;
        appendToJournal("\"count\":" + std::to_string(count) + ",\"operation\":\"setBadgeCount\"");
    });
}

std::optional<std::int64_t> FileNotificationCenter::badgeCount() {
    return inspect([](const Document& document) { return document.badge; });
}

}  // namespace tamsel::platform
