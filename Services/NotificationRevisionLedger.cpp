#include "Services/NotificationRevisionLedger.h"

#include <fcntl.h>
#include <sys/file.h>

#include "Services/NotificationDeliveryFailure.h"
#include "platform/Json.h"

namespace TamselNotificationService {

using tamsel::platform::Json;

namespace {
constexpr const char* kAppGroupKey = "TAMSEL_NOTIFICATION_APP_GROUP";
constexpr const char* kDefaultDirectory = "Tamsel";

[[noreturn]] void wrongShape(const char* what) {
    throw nlohmann::json::type_error::create(302, what, nullptr);
}

// A bundle identifier is used as one directory name; one that is not a single
// plain component (a "/" would nest, an absolute one would replace the whole
// path) counts as none.
bool isSingleComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}
}  // namespace

std::filesystem::path NotificationRevisionLedger::location(const tamsel::platform::Bundle& bundle,
                                                           tamsel::platform::FileSystem& files) {
    std::filesystem::path directory;
    auto group = bundle.object(kAppGroupKey);
    if (group && group->string()) {
        auto container = files.containerDirectory(*group->string());
        if (!container) throw NotificationDeliveryFailure::credential();
        directory = *container / "NotificationDelivery";
    } else {
        auto identifier = bundle.identifier();
        directory = files.applicationSupportDirectory() /
                    (identifier && isSingleComponent(*identifier) ? *identifier : kDefaultDirectory);
    }
    files.createDirectories(directory, 0700);
    return directory / kFileName;
}

std::filesystem::path NotificationRevisionLedger::lockFile(const std::filesystem::path& ledgerFile) {
    auto path = ledgerFile;
    path += ".lock";
    return path;
}

NotificationRevisionLedger::Lock::Lock(tamsel::platform::FileSystem& files, const std::filesystem::path& path)
    : files_(files), fd_(files.open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ < 0) throw NotificationDeliveryFailure::response();
    // Never waits: a holder elsewhere means another run owns the ledger now.
    if (files_.flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        files_.close(fd_);
        throw NotificationDeliveryFailure::response();
    }
}

NotificationRevisionLedger::Lock::~Lock() {
    // Closing alone would release the lock too; unlocking first keeps the
    // release independent of other descriptors of the same open file.
    files_.flock(fd_, LOCK_UN);
    files_.close(fd_);
}

NotificationRevisionLedger::NotificationRevisionLedger(tamsel::platform::FileSystem& files,
                                                       std::filesystem::path file)
    : files_(files), file_(std::move(file)), lock_(files_, lockFile(file_)) {
    if (files_.exists(file_)) entries_ = decode(files_.readFile(file_));
}

NotificationRevisionLedger::~NotificationRevisionLedger() = default;

NotificationRevisionLedger::Entries NotificationRevisionLedger::decode(std::string_view bytes) {
    Json document = tamsel::platform::parseJson(bytes);
    if (!document.is_object()) wrongShape("ledger is not a JSON object");
    Entries entries;
    for (const auto& [key, value] : document.items()) {
        if (!value.is_object()) wrongShape("ledger member is not an object");
        Entry entry;
        for (const auto& [name, text] : value.items()) {
            if (!text.is_string()) wrongShape("ledger entry member is not a string");
            entry.emplace(name, text.get<std::string>());
        }
        entries.emplace(key, std::move(entry));
    }
    return entries;
}

std::string NotificationRevisionLedger::encode(const Entries& entries) {
    Json document = Json::object();
    for (const auto& [key, entry] : entries) {
        Json object = Json::object();
        for (const auto& [name, text] : entry) object[name] = text;
        document[key] = std::move(object);
    }
    return tamsel::platform::writeJson(document);
}

const NotificationRevisionLedger::Entry* NotificationRevisionLedger::find(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

void NotificationRevisionLedger::write(bool restrictPermissions) {
    files_.writeFileAtomically(file_, encode(entries_));
    if (restrictPermissions) files_.setPermissions(file_, 0600);
}

void NotificationRevisionLedger::record(const std::string& key, Entry entry, bool restrictPermissions) {
    entries_[key] = std::move(entry);
    write(restrictPermissions);
}

void NotificationRevisionLedger::erase(const std::string& key, bool restrictPermissions) {
    entries_.erase(key);
    write(restrictPermissions);
}

}  // namespace TamselNotificationService
