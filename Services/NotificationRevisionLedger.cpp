#include "Services/NotificationRevisionLedger.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>

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
    if (files_.exists(file_)) load(files_.readFile(file_));
}

NotificationRevisionLedger::~NotificationRevisionLedger() = default;

namespace {

// Reads a well-formed ledger straight into entries, without the document in
// between (which took about as much memory again as the entries themselves).
// It gives up at the first thing that is not plainly a ledger: a syntax error,
// another shape, a value of another type. Members named twice keep their last
// value, as in the document.
template <class Sink>
class LedgerReader {
  public:
    explicit LedgerReader(Sink sink) : sink_(std::move(sink)) {}

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
        if (depth_ == 2) sink_(std::move(key_), std::move(entry_));
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
    Sink sink_;
};

}  // namespace

NotificationRevisionLedger::Entries NotificationRevisionLedger::decode(std::string_view bytes) {
    Entries read;
    LedgerReader reader(
        [&](std::string key, Entry entry) { read.insert_or_assign(std::move(key), std::move(entry)); });
    if (Json::sax_parse(bytes.begin(), bytes.end(), &reader)) return read;

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

// An entry's object as the JSON writer writes it: compact, members in key order.
void appendEntry(std::string& out, const NotificationRevisionLedger::Entry& entry) {
    out += '{';
    for (auto it = entry.begin(); it != entry.end(); ++it) {
        if (it != entry.begin()) out += ',';
        appendString(out, it->first);
        out += ':';
        appendString(out, it->second);
    }
    out += '}';
}

}  // namespace

NotificationRevisionLedger::Member NotificationRevisionLedger::member(std::string key, const Entry& entry) {
    Member m{std::move(key), {}, 0};
    appendString(m.text, m.key);
    m.text += ':';
    m.valueAt = m.text.size();
    appendEntry(m.text, entry);
    return m;
}

void NotificationRevisionLedger::load(std::string_view bytes) {
    // Straight into members, without every entry decoded at once beside them.
    std::vector<Member> read;
    LedgerReader reader([&](std::string key, Entry entry) { read.push_back(member(std::move(key), entry)); });
    if (!Json::sax_parse(bytes.begin(), bytes.end(), &reader)) {
        read.clear();
        for (auto& [key, entry] : decode(bytes)) read.push_back(member(key, entry));
    }
    // Key order; of a key named twice the last one counts, as in decode().
    std::stable_sort(read.begin(), read.end(),
                     [](const Member& a, const Member& b) { return a.key < b.key; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (kept > 0 && read[kept - 1].key == read[i].key)
            read[kept - 1] = std::move(read[i]);
        else if (kept++ != i)
            read[kept - 1] = std::move(read[i]);
    }
    read.resize(kept);
    members_ = std::move(read);
}

namespace {

// The file's bytes from its members in key order. With a replacement, the
// member of that key is written as it (added in its place if missing), so
// that a record can be encoded without touching the ledger.
template <class Member>
std::string encodeFile(const std::vector<Member>& members, const Member* replacement) {
    std::size_t size = 2 + (replacement ? replacement->text.size() + 1 : 0);
    for (const auto& m : members) size += m.text.size() + 1;
    std::string out;
    out.reserve(size);
    out += '{';
    auto append = [&](const Member& m) {
        if (out.size() > 1) out += ',';
        out += m.text;
    };
    bool placed = replacement == nullptr;
    for (const auto& m : members) {
        if (!placed && replacement->key <= m.key) {
            append(*replacement);
            placed = true;
            if (replacement->key == m.key) continue;
        }
        append(m);
    }
    if (!placed) append(*replacement);
    out += '}';
    return out;
}

}  // namespace

// Written straight from the entries rather than through a JSON document; the
// bytes are the writer's.
std::string NotificationRevisionLedger::encode(const Entries& entries) {
    std::string out = "{";
    for (const auto& [key, entry] : entries) {
        if (out.size() > 1) out += ',';
        appendString(out, key);
        out += ':';
        appendEntry(out, entry);
    }
    out += '}';
    return out;
}

std::vector<NotificationRevisionLedger::Member>::iterator NotificationRevisionLedger::position(
    const std::string& key) {
    return std::lower_bound(members_.begin(), members_.end(), key,
                            [](const Member& m, const std::string& k) { return m.key < k; });
}

std::vector<NotificationRevisionLedger::Member>::const_iterator NotificationRevisionLedger::position(
    const std::string& key) const {
    return std::lower_bound(members_.begin(), members_.end(), key,
                            [](const Member& m, const std::string& k) { return m.key < k; });
}

std::optional<NotificationRevisionLedger::Entry> NotificationRevisionLedger::find(
    const std::string& key) const {
    auto it = position(key);
    if (it == members_.end() || it->key != key) return std::nullopt;
    return decodeEntry(std::string_view(it->text).substr(it->valueAt));
}

NotificationRevisionLedger::Entries NotificationRevisionLedger::entries() const {
    Entries entries;
    for (const auto& m : members_)
        entries.emplace_hint(entries.end(), m.key, decodeEntry(std::string_view(m.text).substr(m.valueAt)));
    return entries;
}

NotificationRevisionLedger::Entry NotificationRevisionLedger::decodeEntry(std::string_view text) {
    // Only ever text this ledger encoded from strings.
    const Json object = tamsel::platform::parseJson(text);
    Entry entry;
    for (const auto& [name, value] : object.items()) entry.emplace(name, value.get<std::string>());
    return entry;
}

void NotificationRevisionLedger::write(bool restrictPermissions) {
    files_.writeFileAtomically(file_, encodeFile<Member>(members_, nullptr));
    if (restrictPermissions) files_.setPermissions(file_, 0600);
}

void NotificationRevisionLedger::record(const std::string& key, Entry entry, bool restrictPermissions) {
    prepare(key, std::move(entry), restrictPermissions).commit();
}

NotificationRevisionLedger::PreparedRecord NotificationRevisionLedger::prepare(const std::string& key,
                                                                               Entry entry,
                                                                               bool restrictPermissions) {
    Member m = member(key, entry);
    std::string bytes = encodeFile(members_, &m);
    auto staged = files_.stageFile(file_, bytes);
    return PreparedRecord(*this, std::move(m), std::move(bytes), restrictPermissions, std::move(staged));
}

NotificationRevisionLedger::PreparedRecord::PreparedRecord(
    NotificationRevisionLedger& ledger, Member member, std::string bytes, bool restrictPermissions,
    std::unique_ptr<tamsel::platform::StagedFile> staged)
    : ledger_(ledger),
      member_(std::move(member)),
      bytes_(std::move(bytes)),
      restrictPermissions_(restrictPermissions),
      staged_(std::move(staged)) {}

void NotificationRevisionLedger::place(Member m) {
    auto it = position(m.key);
    if (it != members_.end() && it->key == m.key)
        *it = std::move(m);
    else
        members_.insert(it, std::move(m));
}

bool NotificationRevisionLedger::holds(const std::string& bytes) const {
    try {
        return files_.readFile(file_) == bytes;
    } catch (...) {
        return false;
    }
}

void NotificationRevisionLedger::PreparedRecord::commit() {
    try {
        staged_->commit();
    } catch (...) {
        // A step after the rename may have failed (the directory's fsync):
        // the file then holds the record already, and leaving it out here
        // would have the next record rewrite the file without it, so that
        // the change is shown again by the next run. The error still ends
        // the call.
        if (ledger_.holds(bytes_)) ledger_.place(std::move(member_));
        throw;
    }
    // The file holds it now, whatever happens to its permissions.
    ledger_.place(std::move(member_));
    if (restrictPermissions_) ledger_.files_.setPermissions(ledger_.file_, 0600);
}

void NotificationRevisionLedger::erase(const std::string& key, bool restrictPermissions) {
    if (auto it = position(key); it != members_.end() && it->key == key) members_.erase(it);
    write(restrictPermissions);
}

}  // namespace TamselNotificationService
