#include <gtest/gtest.h>

#include "platform/NotificationContent.h"

namespace tamsel::platform {
namespace {

TEST(NotificationContent, RoundTripKeepsExactlyThePresentMembers) {
    const char* texts[] = {
        R"({})",
        R"({"title":"t","userInfo":{"tamsel":{"a":"b"},"aps":[1,2,null]}})",
        R"({"title":"t","subtitle":"s","body":"b","sound":"default","badge":3,"threadIdentifier":"x",)"
        R"("categoryIdentifier":"c","userInfo":{},"communication":{"serviceName":"Tamsel"}})",
    };
    for (const char* text : texts) {
        Json json = Json::parse(text);
        EXPECT_EQ(contentToJson(contentFromJson(json)), json) << text;
    }
}

TEST(NotificationContent, RefusesMalformedContents) {
    const char* texts[] = {R"([])",
                           R"({"title":1})",
                           R"({"sound":"chime"})",
                           R"({"badge":"3"})",
                           R"({"badge":1.5})",
                           R"({"badge":18446744073709551615})",
                           R"({"userInfo":[]})",
                           R"({"unknown":true})"};
    for (const char* text : texts)
        EXPECT_THROW(contentFromJson(Json::parse(text)), ContentFormatError) << text;
}

}  // namespace
}  // namespace tamsel::platform
