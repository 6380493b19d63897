#include "platform/linux/CurlHTTPSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <optional>
#include <stop_token>
#include <string_view>

#include "platform/Task.h"

namespace tamsel::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Longest single wait in the transfer loop; cancellation wakes it earlier.
constexpr auto kLongestPoll = 1000ms;

// What one exchange accumulates; the callbacks see it through their user pointer.
struct Transfer {
    HTTPResponse response;
    std::size_t bodyLimit = 0;
    std::size_t headerBytes = 0;
    std::chrono::milliseconds idleLimit{};
    SteadyClock::time_point lastActivity = SteadyClock::now();
    curl_off_t downloaded = 0;
    curl_off_t uploaded = 0;
    std::stop_token token;
    bool cancelled = false;
    bool idleExpired = false;

    void touch() { lastActivity = SteadyClock::now(); }

    bool shouldStop() {
        if (token.stop_requested()) cancelled = true;
        if (SteadyClock::now() - lastActivity >= idleLimit) idleExpired = true;
        return cancelled || idleExpired;
    }
};

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    transfer.touch();
    if (bytes > transfer.bodyLimit - transfer.response.body.size()) {
        // Stop receiving: anything but `bytes` ends the transfer with a write error.
        transfer.response.bodyExceededLimit = true;
        return 0;
    }
    transfer.response.body.append(data, bytes);
    return bytes;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    transfer.touch();
    // Endless headers are as much an oversized answer as an endless body.
    transfer.headerBytes += bytes;
    if (transfer.headerBytes > transfer.bodyLimit) {
        transfer.response.bodyExceededLimit = true;
        return 0;
    }
    auto& headers = transfer.response.headers;
    std::string_view line(data, bytes);
    if (line.starts_with("HTTP/")) {
        // A new status line: an interim answer (100 Continue) came before; forget its headers.
        headers.clear();
        return bytes;
    }
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
        if (!headers.empty() && !trim(line).empty()) {
            headers.back().second += ' ';
            headers.back().second += trim(line);
        }
        return bytes;
    }
    line = trim(line);
    auto colon = line.find(':');
    if (line.empty() || colon == std::string_view::npos || colon == 0) return bytes;
    headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
    return bytes;
}

// libcurl calls this throughout the transfer (also while connecting); it is what
// sees bytes move, and it can stop the transfer.
int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (dlnow != transfer.downloaded || ulnow != transfer.uploaded) {
        transfer.downloaded = dlnow;
        transfer.uploaded = ulnow;
        transfer.touch();
    }
    return transfer.shouldStop() ? 1 : 0;
}

bool isToken(std::string_view text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

// A value may not smuggle a second header or end the header block.
bool isFieldValue(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

struct HeaderList {
    curl_slist* list = nullptr;
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    ~HeaderList() { curl_slist_free_all(list); }
    void add(const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (!next) throw std::bad_alloc();
        list = next;
    }
};

class CurlHTTPSession final : public HTTPSession {
  public:
    explicit CurlHTTPSession(HTTPSessionSettings settings)
        : settings_(std::move(settings)), multi_(curl_multi_init()), easy_(curl_easy_init()) {
        if (!multi_ || !easy_) {
            if (easy_) curl_easy_cleanup(easy_);
            if (multi_) curl_multi_cleanup(multi_);
            throw std::bad_alloc();
        }
    }

    ~CurlHTTPSession() override {
        curl_multi_cleanup(multi_);
        curl_easy_cleanup(easy_);
    }

    CurlHTTPSession(const CurlHTTPSession&) = delete;
    CurlHTTPSession& operator=(const CurlHTTPSession&) = delete;

    HTTPResponse perform(const HTTPRequest& request) override {
        std::stop_token token = currentStopToken();
        if (token.stop_requested()) throw CancellationError();
        if (!isToken(request.method)) throw HTTPSessionError(HTTPSessionError::kBadArgument);
        bool hasContentType = false;
        for (const auto& [name, value] : request.headers) {
            if (!isToken(name) || !isFieldValue(value))
                throw HTTPSessionError(HTTPSessionError::kBadArgument);
            hasContentType = hasContentType || headerNameEquals(name, "Content-Type");
        }

        // Reset drops every option of the previous request but keeps the open
        // connection in the multi handle's cache.
        curl_easy_reset(easy_);
        HeaderList headers;
        for (const auto& [name, value] : request.headers)
            headers.add(value.empty() ? name + ";" : name + ": " + value);
        // libcurl would add these on its own; they are not ours to send.
        if (!hasContentType) headers.add("Content-Type:");
        headers.add("Expect:");

        Transfer transfer;
        transfer.bodyLimit = settings_.bodyLimit;
        transfer.idleLimit = settings_.idleLimit;
        transfer.token = token;
        if (CURLcode code = configure(request, headers.list, transfer); code != CURLE_OK)
            throw HTTPSessionError(code);

        if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) throw HTTPSessionError(CURLE_FAILED_INIT);
        struct Detach {
            CURLM* multi;
            CURL* easy;
            ~Detach() { curl_multi_remove_handle(multi, easy); }
        } detach{multi_, easy_};

        std::optional<CURLcode> result;
        {
            std::stop_callback wake(token, [multi = multi_] { curl_multi_wakeup(multi); });
            for (;;) {
                int running = 0;
                if (curl_multi_perform(multi_, &running) != CURLM_OK)
                    throw HTTPSessionError(CURLE_FAILED_INIT);
                if (running == 0) {
                    result = finishedResult();
                    break;
                }
                if (transfer.shouldStop()) break;
                auto idleLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                    transfer.idleLimit - (SteadyClock::now() - transfer.lastActivity));
                auto wait = std::clamp(idleLeft + 1ms, 1ms, std::chrono::milliseconds(kLongestPoll));
                if (curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr) != CURLM_OK)
                    throw HTTPSessionError(CURLE_FAILED_INIT);
            }
        }

        if (!result || *result == CURLE_ABORTED_BY_CALLBACK) {
            if (transfer.cancelled) throw CancellationError();
            if (transfer.idleExpired) throw HTTPSessionError(HTTPSessionError::kTimedOut);
        }
        const CURLcode code = result.value_or(CURLE_ABORTED_BY_CALLBACK);
        if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && transfer.response.bodyExceededLimit))
            throw HTTPSessionError(code);

        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        if (status > 0) transfer.response.status = status;
        return std::move(transfer.response);
    }

  private:
    CURLcode configure(const HTTPRequest& request, curl_slist* headers, Transfer& transfer) {
        const long transferLimit = static_cast<long>(settings_.transferLimit.count());
        CURLcode code = CURLE_OK;
        auto set = [&](CURLoption option, auto value) {
            if (code == CURLE_OK) code = curl_easy_setopt(easy_, option, value);
        };
        set(CURLOPT_URL, request.url.c_str());
        set(CURLOPT_PROTOCOLS_STR, "https");
        set(CURLOPT_REDIR_PROTOCOLS_STR, "https");
        set(CURLOPT_FOLLOWLOCATION, 0L);
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_SSL_VERIFYPEER, 1L);
        set(CURLOPT_SSL_VERIFYHOST, 2L);
        if (settings_.caFile) {
            set(CURLOPT_CAINFO, settings_.caFile->c_str());
            // In place of the system's store, not beside it.
            set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        }
        set(CURLOPT_TIMEOUT_MS, transferLimit);
        set(CURLOPT_CONNECTTIMEOUT_MS, transferLimit);
        set(CURLOPT_HTTPHEADER, headers);
        set(CURLOPT_WRITEFUNCTION, &onBody);
        set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
        set(CURLOPT_HEADERFUNCTION, &onHeader);
        set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
        set(CURLOPT_NOPROGRESS, 0L);
        set(CURLOPT_XFERINFOFUNCTION, &onProgress);
        set(CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));

        if (request.method == "GET" && request.body.empty()) {
            set(CURLOPT_HTTPGET, 1L);
        } else if (request.method == "HEAD" && request.body.empty()) {
            set(CURLOPT_NOBODY, 1L);
        } else {
            set(CURLOPT_POST, 1L);
            set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            set(CURLOPT_POSTFIELDS, request.body.data());
            if (request.method != "POST") set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        return code;
    }

    std::optional<CURLcode> finishedResult() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left))
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) return message->data.result;
        return std::nullopt;
    }

    HTTPSessionSettings settings_;
    CURLM* multi_;
    CURL* easy_;
};

}  // namespace

CurlHTTPSessionFactory::CurlHTTPSessionFactory(HTTPSessionSettings settings)
    : settings_(std::move(settings)) {
    // The host initialises libcurl in main(); this covers tests and tools. The
    // call is reference-counted, so a second one does no harm.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::shared_ptr<HTTPSession> CurlHTTPSessionFactory::makeSession() {
    return std::make_shared<CurlHTTPSession>(settings_);
}

}  // namespace tamsel::platform
