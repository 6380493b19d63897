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

namespace {

// Reads a well-formed ledger straight into entries, without the document in
// between (which took about as much memory again as the entries themselves).
// It gives up at the first thing that is not plainly a ledger: a syntax error,
// another shape, a value of another type. Members named twice keep their last
// value, as in the document.
class LedgerReader {
  public:
    using Entries = NotificationRevisionLedger::Entries;

    Entries& entries() { return entries_; }

    bool start_object(std::size_t) {
        if (depth_ == 0) {
            depth_ = 1;
            return true;
        }
        if (depth_ == 1) {
            depth_ = 2;
            entry_.clear();
            return true;
        }
        return false;
    }
    bool end_object() {
        if (depth_ == 2) entries_.insert_or_assign(std::move(key_), std::move(entry_));
        --depth_;
        return true;
    }
    bool key(std::string& name) {
        (depth_ == 1 ? key_ : name_) = std::move(name);
        return true;
    }
    bool string(std::string& text) {
        if (depth_ != 2) return false;
        entry_.insert_or_assign(std::move(name_), std::move(text));
        return true;
    }
    bool null() { return false; }
    bool boolean(bool) { return false; }
    bool number_integer(Json::number_integer_t) { return false; }
    bool number_unsigned(Json::number_unsigned_t) { return false; }
    bool number_float(Json::number_float_t, const std::string&) { return false; }
    bool binary(Json::binary_t&) { return false; }
    bool start_array(std::size_t) { return false; }
    bool end_array() { return false; }
    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception&) {
        return false;
    }

  private:
    int depth_ = 0;
    std::string key_;
    std::string name_;
    NotificationRevisionLedger::Entry entry_;
    Entries entries_;
};

}  // namespace

NotificationRevisionLedger::Entries NotificationRevisionLedger::decode(std::string_view bytes) {
    LedgerReader reader;
    if (Json::sax_parse(bytes.begin(), bytes.end(), &reader)) return std::move(reader.entries());

    // Not plainly a ledger: read it whole, which refuses it with the error it
    // has always had (or, for a member named twice, accepts it as before).
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

namespace {

// A string exactly as the JSON writer writes it. Printable ASCII other than the
// quote and the backslash (every key and value the presenter records) needs no
// escaping and is copied; anything else goes through the writer, which escapes
// it and refuses text that is not UTF-8.
void appendString(std::string& out, const std::string& text) {
    // Without an early exit, so that the compiler can check many bytes at once.
    bool special = false;
    for (unsigned char c : text) special |= (c < 0x20) | (c > 0x7e) | (c == '"') | (c == '\\');
    if (special) {
        out += tamsel::platform::writeJson(Json(text));
        return;
    }
    out.push_back('"');
    out.append(text);
    out.push_back('"');
}

void appendEntry(std::string& out, const std::string& key, const NotificationRevisionLedger::Entry& entry) {
    if (out.size() > 1) out += ',';
    appendString(out, key);
    out += ":{";
    for (auto member = entry.begin(); member != entry.end(); ++member) {
        if (member != entry.begin()) out += ',';
        appendString(out, member->first);
        out += ':';
        appendString(out, member->second);
    }
    out += '}';
}

// Written straight from the entries rather than through a JSON document: the
// ledger is rewritten after every change, and building the document first cost
// several times the write itself. The bytes are the writer's: compact, members
// in key order. With a key, its entry is written as `replacement` (added in its
// place if missing), so a record can be encoded without touching the entries.
std::string encodeEntries(const NotificationRevisionLedger::Entries& entries, const std::string* key,
                          const NotificationRevisionLedger::Entry* replacement) {
    std::string out;
    out.reserve((entries.size() + 1) * 128 + 2);
    out += '{';
    bool placed = key == nullptr;
    for (const auto& [name, entry] : entries) {
        if (!placed && *key <= name) {
            appendEntry(out, *key, *replacement);
            placed = true;
            if (*key == name) continue;
        }
        appendEntry(out, name, entry);
    }
    if (!placed) appendEntry(out, *key, *replacement);
    out += '}';
    return out;
}

}  // namespace

std::string NotificationRevisionLedger::encode(const Entries& entries) {
    return encodeEntries(entries, nullptr, nullptr);
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
    prepare(key, std::move(entry), restrictPermissions).commit();
}

NotificationRevisionLedger::PreparedRecord NotificationRevisionLedger::prepare(const std::string& key,
                                                                               Entry entry,
                                                                               bool restrictPermissions) {
    auto staged = files_.stageFile(file_, encodeEntries(entries_, &key, &entry));
    return PreparedRecord(*this, key, std::move(entry), restrictPermissions, std::move(staged));
}

NotificationRevisionLedger::PreparedRecord::PreparedRecord(
    NotificationRevisionLedger& ledger, std::string key, Entry entry, bool restrictPermissions,
    std::unique_ptr<tamsel::platform::StagedFile> staged)
    : ledger_(ledger),
      key_(std::move(key)),
      entry_(std::move(entry)),
      restrictPermissions_(restrictPermissions),
      staged_(std::move(staged)) {}

void NotificationRevisionLedger::PreparedRecord::commit() {
    staged_->commit();
    // The file holds it now, whatever happens to its permissions.
    ledger_.entries_[key_] = std::move(entry_);
    if (restrictPermissions_) ledger_.files_.setPermissions(ledger_.file_, 0600);
}

void NotificationRevisionLedger::erase(const std::string& key, bool restrictPermissions) {
    entries_.erase(key);
    write(restrictPermissions);
}

}  // namespace TamselNotificationService
