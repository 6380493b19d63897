#pragma once
// JSON reading and writing with nlohmann::json. Null, absent, booleans and
// numbers stay distinct; invalid UTF-8 and lone surrogates are refused.
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tamsel::platform {

using Json = nlohmann::json;
using JsonParseError = nlohmann::json::parse_error;

// Objects and arrays nested deeper than this are refused: no document the
// system reads needs more, and the depth of what it holds bounds the recursion
// of everything that walks it later.
constexpr int kMaxJsonDepth = 64;

// Parses a whole document whose top level is an object or an array, as the
// platform's reader does; anything else (a bare scalar, trailing bytes, bad
// UTF-8, nesting deeper than kMaxJsonDepth) throws JsonParseError, and a number
// too large for a double (1e400) nlohmann::json::out_of_range. Every
// reader of JSON from outside the process (push lines, service answers, files
// under the platform root) goes through here.
Json parseJson(std::string_view bytes);

// Compact text; throws nlohmann::json::type_error for a string that is not UTF-8.
std::string writeJson(const Json& value);

}  // namespace tamsel::platform
