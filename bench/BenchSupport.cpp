#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "Services/NotificationRevisionLedger.h"

namespace tamsel::bench {

using platform::Json;

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string hex64(unsigned seed) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    unsigned long long x = 0x9E3779B97F4A7C15ull * (seed + 1);
    for (int i = 0; i < 64; ++i) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        out += kHex[(x >> 32) & 15];
    }
    return out;
}

}  // namespace

std::string identifier(const std::string& prefix, std::size_t index, unsigned seed) {
    std::string out = prefix;
    unsigned long long x = (index + 1) * 0x9E3779B97F4A7C15ull + seed * 0xD1B54A32D192ED03ull;
    for (int i = 0; i < 22; ++i) {
        x ^= x >> 31;
        x *= 0x94D049BB133111EBull;
        out += kAlphabet[(x >> 40) & 63];
    }
    // The index itself, so that no two collide whatever the mixing does.
    std::string tail = std::to_string(index);
    out.replace(out.size() - tail.size(), tail.size(), tail);
    return out;
}

Json changeRecord(std::size_t index, const std::string& groupKey) {
    return {{"notificationId", identifier("ntf_", index, 7)},
            {"notificationRevision", "1"},
            {"state", "available"},
            {"presentation",
             {{"title", "Message " + std::to_string(index + 1)},
              {"body", std::string(40, 'x')},
              {"target",
               {{"kind", "communication"},
                {"communicationId", identifier("com_", index, 8)},
                {"channelThreadId", identifier("thr_", index, 9)}}},
              {"attention",
               {{"policyVersion", "notification-attention.v1"}, {"groupKey", groupKey}, {"audible", false}}},
              {"sender",
               {{"schema", "notification_sender.v1"},
                {"canonicalId", "tamsel_sender_" + hex64(static_cast<unsigned>(index))},
                {"displayName", "Benchmark Sender"}}}}}};
}

std::string ledgerBytes(const std::string& receiver, std::size_t entries) {
    using TamselNotificationService::NotificationRevisionLedger;
    NotificationRevisionLedger::Entries ledger;
    for (std::size_t i = 0; i < entries; ++i)
        ledger[receiver + ":" + identifier("ntf_", i, 3)] = {
            {"revision", std::to_string(1 + i % 7)}, {"state", "available"}, {"intent", "donated"}};
    ledger[NotificationRevisionLedger::kBadgeKey] = {
        {"receiver", receiver}, {"revision", "3"}, {"count", "2"}};
    return NotificationRevisionLedger::encode(ledger);
}

void atomicRewrite(const std::filesystem::path& file, const std::string& bytes, bool syncDirectory) {
    auto temporary = file;
    temporary += ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("open");
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) fail("fsync");
    if (::close(fd) != 0) fail("close");
    if (::rename(temporary.c_str(), file.c_str()) != 0) fail("rename");
    if (syncDirectory) {
        int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) fail("open");
        int synced = ::fsync(dir);
        ::close(dir);
        if (synced != 0) fail("fsync");
    }
}

}  // namespace tamsel::bench
