#pragma once
// JSON text put together from pieces, for the stores that keep a document as
// the texts of its parts and rewrite it without building it again: the bytes
// are those writeJson() writes for the same values (compact, members by key).
#include <map>
#include <string>
#include <string_view>

#include "platform/Json.h"

namespace tamsel::platform {

// A JSON string; nlohmann::json::type_error for text that is not UTF-8.
std::string quotedJson(std::string_view text);

// Appends an array of the elements' texts, each given by `text(element)`.
template <class Range, class Text>
void appendArrayJson(std::string& out, const Range& elements, Text&& text) {
    out += '[';
    bool first = true;
    for (const auto& element : elements) {
        if (!first) out += ',';
        first = false;
        out += std::string_view(text(element));
    }
    out += ']';
}

template <class Range, class Text>
std::string arrayJson(const Range& elements, Text&& text) {
    std::string out;
    appendArrayJson(out, elements, text);
    return out;
}

// An object of the members in `texts` (key: the text of its value) and of those
// named in `written`, whose values `write(out, key)` appends, in the writer's
// order. `size` is a guess of the whole text's size.
template <class Written, class Write>
std::string objectJson(const std::map<std::string, std::string>& texts, const Written& written, Write&& write,
                       std::size_t size = 0) {
    std::map<std::string_view, const std::string*> members;
    for (std::string_view key : written) members.emplace(key, nullptr);
    for (const auto& [key, value] : texts) members.emplace(key, &value);
    std::string out;
    out.reserve(size);
    out += '{';
    for (const auto& [key, value] : members) {
        if (out.size() > 1) out += ',';
        out += quotedJson(key);
        out += ':';
        if (value)
            out += *value;
        else
            write(out, key);
    }
    out += '}';
    return out;
}

}  // namespace tamsel::platform
