#include "Services/NotificationRevisionLedger.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <stdexcept>

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
    // Left non-blocking: it is only ever locked, never read or written.
    : files_(files), fd_(files.open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600)) {
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

// A member as the file holds it, `"<key>":{…}`; returns where its {…} starts,
// from the member's first byte.
std::size_t appendMember(std::string& out, const std::string& key,
                         const NotificationRevisionLedger::Entry& entry) {
    const std::size_t start = out.size();
    appendString(out, key);
    out += ':';
    const std::size_t valueAt = out.size() - start;
    appendEntry(out, entry);
    return valueAt;
}

}  // namespace

// The state last read or written by a ledger of this process, for the next
// ledger of the same file: decoding a large file costs many times what
// comparing it does.
struct NotificationRevisionLedger::Remembered {
    std::mutex mutex;
    std::filesystem::path file;
    std::optional<State> state;
};

NotificationRevisionLedger::Remembered& NotificationRevisionLedger::remembered() {
    static Remembered instance;
    return instance;
}

namespace {

std::uint32_t checkedLength(std::size_t length) {
    if (length > UINT32_MAX) throw std::length_error("ledger member too long");
    return static_cast<std::uint32_t>(length);
}

}  // namespace

NotificationRevisionLedger::NotificationRevisionLedger(tamsel::platform::FileSystem& files,
                                                       std::filesystem::path file)
    : files_(files), file_(std::move(file)), lock_(files_, lockFile(file_)) {
    if (!files_.exists(file_)) return;
    bool kept = false;
    {
        auto& last = remembered();
        std::lock_guard guard(last.mutex);
        if (last.state && last.file == file_) {
            state_ = std::move(*last.state);
            last.state.reset();
            kept = true;
        }
    }
    // Compared where it lies, without reading the file into memory beside it.
    if (kept && files_.holds(file_, pieces(nullptr))) return;
    load(files_.readFile(file_, kRecordRoom));
}

NotificationRevisionLedger::~NotificationRevisionLedger() {
    // Still locked here: the lock is released after this body.
    try {
        auto& last = remembered();
        std::lock_guard guard(last.mutex);
        last.file = file_;
        last.state = std::move(state_);
    } catch (...) {
        // Only a shortcut is lost.
    }
}

NotificationRevisionLedger::Member NotificationRevisionLedger::append(std::string_view key,
                                                                      const Entry& entry) {
    std::size_t size = key.size() + 9;
    for (const auto& [name, value] : entry) size += name.size() + value.size() + 6;
    reserveText(size + key.size());
    auto& text = state_.text;
    // Each text follows a comma, so that members next to each other here go
    // out to the file as one piece (see pieces()).
    text += ',';
    Member m;
    m.at = text.size();
    m.valueAt = checkedLength(appendMember(text, std::string(key), entry));
    // Unescaped, the key is its quotes and a colon short of the value.
    const bool escaped = m.valueAt != key.size() + 3;
    m.length = checkedLength(text.size() - m.at);
    if (escaped) {
        m.keyAt = text.size();
        text.append(key);
    } else {
        m.keyAt = m.at + 1;
    }
    m.keyLength = checkedLength(key.size());
    return m;
}

void NotificationRevisionLedger::reserveText(std::size_t bytes) {
    auto& text = state_.text;
    if (text.size() + bytes <= text.capacity()) return;
    std::size_t live = 0;
    for (const auto& m : state_.members)
        live += 1 + m.length + (m.keyAt >= m.at + m.length ? m.keyLength : 0);
    // Room for many records beyond what is live, so that this is rare.
    std::string compacted;
    compacted.reserve(live + bytes + kRecordRoom);
    for (auto& m : state_.members) {
        const bool keyInText = m.keyAt < m.at + m.length;
        compacted += ',';
        const std::size_t at = compacted.size();
        compacted.append(text, m.at, m.length);
        if (keyInText) {
            m.keyAt = at + (m.keyAt - m.at);
        } else {
            compacted.append(text, m.keyAt, m.keyLength);
            m.keyAt = at + m.length;
        }
        m.at = at;
    }
    text = std::move(compacted);
}

bool NotificationRevisionLedger::adopt(std::string& bytes) {
    // The file as this ledger writes it is "{", the members' texts in key order
    // with a comma between each two, and "}": the bytes can then be the text
    // itself, the opening brace standing in for the first member's comma. Each
    // member is encoded again as it is read and must be exactly what lies there;
    // anything else (spacing, another order, escapes in a key, a member named
    // twice) is read the long way.
    std::vector<Member> members;
    // A guess at the count (a brace may also sit in a value) with room for the
    // run's new members, so that the array is not grown by doubling beside
    // everything else; room never used is never paged in.
    const auto guess = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '{'));
    members.reserve(guess + guess / 4 + 256);
    std::string encoded;
    std::size_t next = 0;  // where the next member's comma (or the opening brace) lies
    bool exact = true;
    LedgerReader reader([&](std::string key, Entry entry) {
        if (!exact) return;
        encoded.clear();
        const std::size_t valueAt = appendMember(encoded, key, entry);
        const char separator = next == 0 ? '{' : ',';
        if (valueAt != key.size() + 3 || bytes.size() <= next || bytes[next] != separator ||
            std::string_view(bytes).substr(next + 1, encoded.size()) != encoded ||
            (!members.empty() && keyOf(bytes, members.back()) >= key)) {
            exact = false;
            return;
        }
        Member m;
        m.at = next + 1;
        m.keyAt = m.at + 1;
        m.keyLength = checkedLength(key.size());
        m.valueAt = checkedLength(valueAt);
        m.length = checkedLength(encoded.size());
        members.push_back(m);
        next = m.at + m.length;
    });
    if (!Json::sax_parse(bytes.begin(), bytes.end(), &reader) || !exact) return false;
    if (members.empty() ? bytes != "{}" : bytes.size() != next + 1 || bytes[next] != '}') return false;
    state_.text = std::move(bytes);
    state_.members = std::move(members);
    return true;
}

void NotificationRevisionLedger::load(std::string bytes) {
    state_ = State{};
    if (adopt(bytes)) return;
    // Straight into members, without every entry decoded at once beside them.
    state_.text.reserve(bytes.size() + kRecordRoom);
    std::vector<Member> read;
    LedgerReader reader([&](std::string key, Entry entry) { read.push_back(append(key, entry)); });
    if (!Json::sax_parse(bytes.begin(), bytes.end(), &reader)) {
        read.clear();
        state_.text.clear();
        for (auto& [key, entry] : decode(bytes)) read.push_back(append(key, entry));
    }
    // Key order; of a key named twice the last one counts, as in decode().
    std::stable_sort(read.begin(), read.end(),
                     [&](const Member& a, const Member& b) { return keyOf(a) < keyOf(b); });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (kept > 0 && keyOf(read[kept - 1]) == keyOf(read[i]))
            read[kept - 1] = read[i];
        else
            read[kept++] = read[i];
    }
    read.resize(kept);
    state_.members.reserve(kept + kept / 4 + 256);
    state_.members.assign(read.begin(), read.end());
}

std::vector<std::string_view> NotificationRevisionLedger::pieces(const Member* replacement) const {
    const std::string& text = state_.text;
    std::vector<std::string_view> out{"{"};
    std::size_t begin = 0, end = 0;  // the run of text not yet in out
    auto add = [&](const Member& m) {
        // Right after the run, behind its comma: the run grows over both.
        if (begin != end && m.at == end + 1 && text[end] == ',') {
            end = m.at + m.length;
            return;
        }
        if (begin != end) {
            out.emplace_back(text.data() + begin, end - begin);
            out.emplace_back(",");
        }
        begin = m.at;
        end = m.at + m.length;
    };
    bool placed = replacement == nullptr;
    for (const auto& m : state_.members) {
        if (!placed && keyOf(*replacement) <= keyOf(m)) {
            add(*replacement);
            placed = true;
            if (keyOf(*replacement) == keyOf(m)) continue;
        }
        add(m);
    }
    if (!placed) add(*replacement);
    if (begin != end) out.emplace_back(text.data() + begin, end - begin);
    out.emplace_back("}");
    return out;
}

std::string NotificationRevisionLedger::encodeFile(const Member* replacement) const {
    std::string out;
    const auto parts = pieces(replacement);
    std::size_t size = 0;
    for (auto piece : parts) size += piece.size();
    out.reserve(size);
    for (auto piece : parts) out += piece;
    return out;
}

// Written straight from the entries rather than through a JSON document; the
// bytes are the writer's.
std::string NotificationRevisionLedger::encode(const Entries& entries) {
    std::string out = "{";
    for (const auto& [key, entry] : entries) {
        if (out.size() > 1) out += ',';
        appendMember(out, key, entry);
    }
    out += '}';
    return out;
}

std::vector<NotificationRevisionLedger::Member>::const_iterator NotificationRevisionLedger::position(
    std::string_view key) const {
    return std::lower_bound(state_.members.begin(), state_.members.end(), key,
                            [&](const Member& m, std::string_view k) { return keyOf(m) < k; });
}

std::optional<NotificationRevisionLedger::Entry> NotificationRevisionLedger::find(
    const std::string& key) const {
    auto it = position(key);
    if (it == state_.members.end() || keyOf(*it) != key) return std::nullopt;
    return decodeEntry(textOf(*it).substr(it->valueAt));
}

NotificationRevisionLedger::Entries NotificationRevisionLedger::entries() const {
    Entries entries;
    for (const auto& m : state_.members)
        entries.emplace_hint(entries.end(), std::string(keyOf(m)), decodeEntry(textOf(m).substr(m.valueAt)));
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
    files_.writeFileAtomically(file_, encodeFile(nullptr));
    if (restrictPermissions) files_.setPermissions(file_, 0600);
}

void NotificationRevisionLedger::record(const std::string& key, Entry entry, bool restrictPermissions) {
    prepare(key, std::move(entry), restrictPermissions).commit();
}

NotificationRevisionLedger::PreparedRecord NotificationRevisionLedger::prepare(const std::string& key,
                                                                               Entry entry,
                                                                               bool restrictPermissions) {
    Member m = append(key, entry);
    // Written from the texts where they are: neither joined first nor kept
    // beside them until the commit.
    auto staged = files_.stageFile(file_, pieces(&m));
    return PreparedRecord(*this, m, restrictPermissions, std::move(staged));
}

NotificationRevisionLedger::PreparedRecord::PreparedRecord(
    NotificationRevisionLedger& ledger, Member member, bool restrictPermissions,
    std::unique_ptr<tamsel::platform::StagedFile> staged)
    : ledger_(ledger),
      member_(member),
      restrictPermissions_(restrictPermissions),
      staged_(std::move(staged)) {}

void NotificationRevisionLedger::place(const Member& m) {
    auto it = position(keyOf(m));
    auto& members = state_.members;
    auto at = members.begin() + (it - members.cbegin());
    if (at != members.end() && keyOf(*at) == keyOf(m))
        *at = m;
    else
        members.insert(at, m);
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
        bool inPlace = false;
        try {
            inPlace = ledger_.files_.holds(ledger_.file_, ledger_.pieces(&member_));
        } catch (...) {
        }
        if (inPlace) ledger_.place(member_);
        throw;
    }
    // The file holds it now, whatever happens to its permissions.
    ledger_.place(member_);
    if (restrictPermissions_) ledger_.files_.setPermissions(ledger_.file_, 0600);
}

void NotificationRevisionLedger::erase(const std::string& key, bool restrictPermissions) {
    if (auto it = position(key); it != state_.members.end() && keyOf(*it) == key)
        state_.members.erase(state_.members.begin() + (it - state_.members.cbegin()));
    write(restrictPermissions);
}

}  // namespace TamselNotificationService
