#include <gtest/gtest.h>

#include "platform/Json.h"

namespace tamsel::platform {
namespace {

TEST(Json, ReaderRefusesWhatThePlatformReaderRefuses) {
    const char* refused[] = {
        "42", "\"text\"", "null", "true", "{} x", "{\"a\":\"\xC3\x28\"}", "[\"\\ud800\"]", ""};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        EXPECT_THROW(parseJson(text), JsonParseError);
    }
}

TEST(Json, ReaderKeepsNullBooleansAndNumbersDistinct) {
    Json value = parseJson(R"({"n":null,"b":true,"i":1,"f":1.0})");
    EXPECT_TRUE(value["n"].is_null());
    EXPECT_TRUE(value["b"].is_boolean());
    EXPECT_TRUE(value["i"].is_number_integer());
    EXPECT_TRUE(value["f"].is_number_float());
}

TEST(Json, NumbersBeyondDoubleAreTheReadersOwnError) {
    EXPECT_THROW(parseJson(R"({"big":1e400})"), nlohmann::json::out_of_range);
}

TEST(Json, ArraysAreAcceptedAtTheTopLevel) { EXPECT_TRUE(parseJson("[1,2]").is_array()); }

std::string nested(int depth, const char* open, const char* close) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += "1";
    for (int i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(Json, NestingBeyondTheLimitIsRefusedWithoutACrash) {
    EXPECT_NO_THROW(parseJson(nested(kMaxJsonDepth, "[", "]")));
    EXPECT_NO_THROW(parseJson(nested(kMaxJsonDepth / 2, "{\"a\":[", "]}")));
    for (const std::string& text : {nested(kMaxJsonDepth + 1, "[", "]"), nested(400000, "[", "]"),
                                    nested(400000, "{\"a\":", "}"), nested(400000, "[", "")}) {
        SCOPED_TRACE(text.size());
        EXPECT_THROW(parseJson(text), JsonParseError);
    }
}

}  // namespace
}  // namespace tamsel::platform
