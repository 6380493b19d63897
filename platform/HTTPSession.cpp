#include "platform/HTTPSession.h"

#include <algorithm>
#include <cstdio>

namespace tamsel::platform {
namespace {
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool headerNameEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

void setHeader(HTTPHeaders& headers, std::string_view name, std::string_view value) {
    std::erase_if(headers, [&](const auto& header) { return headerNameEquals(header.first, name); });
    headers.emplace_back(std::string(name), std::string(value));
}

std::optional<std::string> HTTPResponse::header(std::string_view name) const {
    std::optional<std::string> joined;
    for (const auto& [key, value] : headers) {
        if (!headerNameEquals(key, name)) continue;
        if (joined)
            *joined += ", " + value;
        else
            joined = value;
    }
    return joined;
}

HTTPSessionError::HTTPSessionError(int code) : Error(ErrorDomain::httpSession, code), code_(code) {
    std::snprintf(what_, sizeof what_, "HTTPS transfer failed (code %d)", code);
}

}  // namespace tamsel::platform
