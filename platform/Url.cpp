#include "platform/Url.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>
#include <string>

namespace tamsel::platform {
namespace {

bool isUnreservedOrSubDelim(char c) {
    if (std::isalnum(static_cast<unsigned char>(c))) return true;
    return std::string_view("-._~!$&'()*+,;=").find(c) != std::string_view::npos;
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Every character of part is a pchar, "/", "?" (and, for the authority, "[" "]" "@").
bool validPart(std::string_view part, std::string_view extra) {
    for (std::size_t i = 0; i < part.size(); ++i) {
        char c = part[i];
        if (c == '%') {
            if (i + 2 >= part.size() || !isHex(part[i + 1]) || !isHex(part[i + 2])) return false;
            i += 2;
            continue;
        }
        if (isUnreservedOrSubDelim(c) || c == ':' || c == '@') continue;
        if (extra.find(c) != std::string_view::npos) continue;
        return false;
    }
    return true;
}

}  // namespace

bool isURIReference(std::string_view text) {
    if (text.empty()) return false;
    std::string_view rest = text;

    // Fragment, then query: each may hold "/" and "?", nothing else special.
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        if (!validPart(rest.substr(hash + 1), "/?")) return false;
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        if (!validPart(rest.substr(question + 1), "/?")) return false;
        rest = rest.substr(0, question);
    }

    // A scheme is what precedes the first ":" when no "/" comes before it.
    auto colon = rest.find(':');
    auto slash = rest.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
        std::string_view scheme = rest.substr(0, colon);
        if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) return false;
        for (char c : scheme)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
                return false;
        rest = rest.substr(colon + 1);
    }

    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        auto end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        // An IP literal is the only place for brackets: "[...]" as the whole host.
        auto at = authority.rfind('@');
        std::string_view hostPort = at == std::string_view::npos ? authority : authority.substr(at + 1);
        if (at != std::string_view::npos && !validPart(authority.substr(0, at), "")) return false;
        if (!hostPort.empty() && hostPort[0] == '[') {
            auto close = hostPort.find(']');
            if (close == std::string_view::npos) return false;
            for (char c : hostPort.substr(1, close - 1))
                if (!isHex(c) && c != ':' && c != '.' && c != 'v' && c != 'V') return false;
            hostPort = hostPort.substr(close + 1);
            if (!hostPort.empty() && hostPort[0] != ':') return false;
        }
        if (hostPort.find('@') != std::string_view::npos) return false;
        auto portColon = hostPort.rfind(':');
        if (portColon != std::string_view::npos) {
            for (char c : hostPort.substr(portColon + 1))
                if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            hostPort = hostPort.substr(0, portColon);
        }
        if (!validPart(hostPort, "") || hostPort.find(':') != std::string_view::npos) return false;
    }
    return validPart(rest, "/");
}

namespace {

struct CurlURLDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using CurlURL = std::unique_ptr<CURLU, CurlURLDeleter>;

std::optional<std::string> part(CURLU* handle, CURLUPart which) {
    char* value = nullptr;
    if (curl_url_get(handle, which, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
    std::string text(value);
    curl_free(value);
    return text;
}

std::optional<URLComponents> componentsOf(CURLU* handle) {
    auto url = part(handle, CURLUPART_URL);
    auto scheme = part(handle, CURLUPART_SCHEME);
    if (!url || !scheme) return std::nullopt;
    URLComponents out;
    out.url = *url;
    out.scheme = *scheme;
    out.user = part(handle, CURLUPART_USER);
    out.password = part(handle, CURLUPART_PASSWORD);
    out.host = part(handle, CURLUPART_HOST);
    out.port = part(handle, CURLUPART_PORT);
    out.path = part(handle, CURLUPART_PATH).value_or("/");
    out.query = part(handle, CURLUPART_QUERY);
    out.fragment = part(handle, CURLUPART_FRAGMENT);
    return out;
}

// The parser is lenient where the text must decide: it reads "https:///x" as host
// "x" and drops an empty fragment. So the authority's shape comes from the text.
struct Authority {
    bool userInfo = false;
    bool emptyHost = true;
};

std::optional<Authority> authorityOf(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos || text.substr(colon + 1, 2) != "//") return std::nullopt;
    std::string_view rest = text.substr(colon + 3);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    Authority out;
    auto at = authority.rfind('@');
    out.userInfo = at != std::string_view::npos;
    std::string_view hostPort = out.userInfo ? authority.substr(at + 1) : authority;
    std::string_view host = hostPort;
    if (!hostPort.empty() && hostPort[0] == '[')
        host = hostPort.substr(0, hostPort.find(']') + 1);
    else if (auto portColon = hostPort.rfind(':'); portColon != std::string_view::npos)
        host = hostPort.substr(0, portColon);
    out.emptyHost = host.empty();
    return out;
}

}  // namespace

std::optional<URLComponents> parseURL(std::string_view text) {
    if (!isURIReference(text)) return std::nullopt;
    auto authority = authorityOf(text);
    if (!authority) return std::nullopt;
    CurlURL handle(curl_url());
    if (!handle) return std::nullopt;
    if (curl_url_set(handle.get(), CURLUPART_URL, std::string(text).c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    auto out = componentsOf(handle.get());
    if (!out) return std::nullopt;
    if (authority->emptyHost) out->host.reset();
    if (authority->userInfo && !out->user) out->user = "";
    std::string_view beforeFragment = text.substr(0, text.find('#'));
    if (beforeFragment.find('?') != std::string_view::npos && !out->query) out->query = "";
    if (text.find('#') != std::string_view::npos && !out->fragment) out->fragment = "";
    return out;
}

std::optional<URLComponents> resolveReference(std::string_view base, std::string_view reference) {
    auto parsed = ReferenceBase::parse(base);
    if (!parsed) return std::nullopt;
    return parsed->resolve(reference);
}

std::optional<ReferenceBase> ReferenceBase::parse(std::string_view base) {
    auto parts = parseURL(base);
    if (!parts) return std::nullopt;
    std::shared_ptr<Curl_URL> handle(curl_url(), curl_url_cleanup);
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, std::string(base).c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    return ReferenceBase(std::move(*parts), std::move(handle));
}

std::optional<URLComponents> ReferenceBase::resolve(std::string_view reference) const {
    if (!isURIReference(reference)) return std::nullopt;
    CurlURL handle(curl_url_dup(handle_.get()));
    if (!handle) return std::nullopt;
    // Setting a second URL on a handle resolves it against the first.
    if (curl_url_set(handle.get(), CURLUPART_URL, std::string(reference).c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    return componentsOf(handle.get());
}

}  // namespace tamsel::platform
