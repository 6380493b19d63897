#include "platform/Url.h"

#include <cctype>
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
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
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

}  // namespace tamsel::platform
