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

// Checks the whole document's shape before anything reads or changes it.
void validate(const Json& document) {
    for (const char* list : {"delivered", "pending"}) {
        auto it = document.find(list);
        if (it == document.end()) continue;
        if (!it->is_array()) corrupted();
        for (const auto& entry : *it) {
            requestFromJson(entry);
            if (std::string(list) == "delivered") {
                auto date = entry.find("date");
                if (date == entry.end() || !date->is_string()) corrupted();
                parseDate(date->get<std::string>());
            }
        }
    }
    if (auto badge = document.find("badge"); badge != document.end() && !badge->is_null()) {
        bool fits = badge->is_number_integer() &&
                    (!badge->is_number_unsigned() || badge->get<std::uint64_t>() <= INT64_MAX);
        if (!fits) corrupted();
    }
}

Json& list(Json& document, const char* name) {
    if (!document.contains(name)) document[name] = Json::array();
    return document[name];
}

// Every write leaves all three members in place, so readers of the file always
// find its whole shape.
void complete(Json& document) {
    list(document, "delivered");
    list(document, "pending");
    if (!document.contains("badge")) document["badge"] = nullptr;
}

// Returns the identifiers that were there.
Json removeIdentifiers(Json& entries, const std::set<std::string>& identifiers) {
    Json kept = Json::array();
    Json removed = Json::array();
    for (auto& entry : entries) {
        const auto& identifier = entry.at("identifier");
        if (identifiers.count(identifier.get<std::string>()))
            removed.push_back(identifier);
        else
            kept.push_back(std::move(entry));
    }
    entries = std::move(kept);
    return removed;
}

}  // namespace

FileNotificationCenter::FileNotificationCenter(std::filesystem::path file, std::shared_ptr<const Clock> clock,
                                               std::optional<std::filesystem::path> journal)
    : file_(std::move(file)), clock_(std::move(clock)), journal_(std::move(journal)) {}

void FileNotificationCenter::appendToJournal(Json line) const {
    if (!journal_) return;
    line["pid"] = static_cast<std::int64_t>(::getpid());
    std::string text = writeJson(line) + "\n";
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
    return asServiceError<NotificationCenterError>(kStoreCodes, [&] {
        Json document = file_.read();
        validate(document);
        std::vector<DeliveredNotification> delivered;
        if (auto it = document.find("delivered"); it != document.end())
            for (const auto& entry : *it)
                delivered.push_back({requestFromJson(entry), parseDate(entry.at("date").get<std::string>())});
        return delivered;
    });
}

std::vector<NotificationRequest> FileNotificationCenter::pendingNotificationRequests() {
    return asServiceError<NotificationCenterError>(kStoreCodes, [&] {
        Json document = file_.read();
        validate(document);
        std::vector<NotificationRequest> pending;
        if (auto it = document.find("pending"); it != document.end())
            for (const auto& entry : *it) pending.push_back(requestFromJson(entry));
        return pending;
    });
}

void FileNotificationCenter::removeDeliveredNotifications(const std::vector<std::string>& identifiers) {
    asServiceError<NotificationCenterError>(kStoreCodes, [&] {
        file_.update([&](Json& document) {
            validate(document);
            complete(document);
            Json removed =
                removeIdentifiers(list(document, "delivered"), {identifiers.begin(), identifiers.end()});
            appendToJournal({{"operation", "removeDelivered"}, {"identifiers", std::move(removed)}});
        });
    });
}

void FileNotificationCenter::removePendingNotificationRequests(const std::vector<std::string>& identifiers) {
    asServiceError<NotificationCenterError>(kStoreCodes, [&] {
        file_.update([&](Json& document) {
            validate(document);
            complete(document);
            Json removed =
                removeIdentifiers(list(document, "pending"), {identifiers.begin(), identifiers.end()});
            appendToJournal({{"operation", "removePending"}, {"identifiers", std::move(removed)}});
        });
    });
}

void FileNotificationCenter::add(const NotificationRequest& request) {
    if (!request.content || request.identifier.empty())
        throw NotificationCenterError(NotificationCenterError::kInvalidRequest);
    Json content;
    try {
        content = contentToJson(*request.content);
        // A content the file could not hold (text that is not UTF-8) is refused
        // here rather than when the whole file is written.
        (void)writeJson(content);
    } catch (const nlohmann::json::exception&) {
        throw NotificationCenterError(NotificationCenterError::kInvalidRequest);
    }
    std::string date = formatDate(clock_->now());
    asServiceError<NotificationCenterError>(kStoreCodes, [&] {
        file_.update([&](Json& document) {
            validate(document);
            complete(document);
            removeIdentifiers(list(document, "delivered"), {request.identifier});
            removeIdentifiers(list(document, "pending"), {request.identifier});
            list(document, "delivered")
                .push_back({{"identifier", request.identifier}, {"content", content}, {"date", date}});
            appendToJournal({{"operation", "add"}, {"identifier", request.identifier}, {"content", content}});
        });
    });
}

void FileNotificationCenter::setBadgeCount(std::int64_t count) {
    if (count < 0) throw NotificationCenterError(NotificationCenterError::kBadgeRefused);
    asServiceError<NotificationCenterError>(kStoreCodes, [&] {
        file_.update([&](Json& document) {
            validate(document);
            complete(document);
            document["badge"] = count;
            appendToJournal({{"operation", "setBadgeCount"}, {"count", count}});
        });
    });
}

std::optional<std::int64_t> FileNotificationCenter::badgeCount() {
    return asServiceError<NotificationCenterError>(kStoreCodes, [&]() -> std::optional<std::int64_t> {
        Json document = file_.read();
        validate(document);
        auto badge = document.find("badge");
        if (badge == document.end() || badge->is_null()) return std::nullopt;
        return badge->get<std::int64_t>();
    });
}

}  // namespace tamsel::platform
