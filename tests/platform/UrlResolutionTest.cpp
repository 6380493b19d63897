// Parsing absolute URLs and resolving references against them.
#include <gtest/gtest.h>

#include "platform/Url.h"

namespace tamsel::platform {
namespace {

TEST(UrlResolution, ResolvesAbsolutePathsAgainstTheAuthorityOnly) {
    struct Case {
        const char* base;
        const char* reference;
        const char* url;
        std::optional<std::string> host;
        std::optional<std::string> port;
    };
    const Case cases[] = {
        {"https://api.example.com", "/api/v2/x?limit=50", "https://api.example.com/api/v2/x?limit=50",
         "api.example.com", std::nullopt},
        {"https://api.example.com:8443/base/path/", "/api/v2/x", "https://api.example.com:8443/api/v2/x",
         "api.example.com", "8443"},
        {"https://api.example.com/base", "/a/./b/../c", "https://api.example.com/a/c", "api.example.com",
         std::nullopt},
        {"https://api.example.com/base", "/../../etc", "https://api.example.com/etc", "api.example.com",
         std::nullopt},
        {"https://api.example.com/base", "//other.example/x", "https://other.example/x", "other.example",
         std::nullopt},
        {"https://[::1]:8443/", "/x", "https://[::1]:8443/x", "[::1]", "8443"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.reference);
        auto resolved = resolveReference(c.base, c.reference);
        ASSERT_TRUE(resolved);
        EXPECT_EQ(resolved->url, c.url);
        EXPECT_EQ(resolved->scheme, "https");
        EXPECT_EQ(resolved->host, c.host);
        EXPECT_EQ(resolved->port, c.port);
    }
}

TEST(UrlResolution, RefusesWhatIsNotAReference) {
    for (const char* reference :
         {"", "/a b", "/%zz", "/caf\xc3\xa9", "/x\r\nHost: evil", "javascript:alert(1)"}) {
        SCOPED_TRACE(reference);
        EXPECT_EQ(resolveReference("https://api.example.com", reference), std::nullopt);
    }
    EXPECT_EQ(resolveReference("api.example.com/base", "/x"), std::nullopt);
}

TEST(UrlResolution, PartsAreAbsentOnlyWhenTheTextHasNone) {
    auto plain = parseURL("https://api.example.com/p");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->user, std::nullopt);
    EXPECT_EQ(plain->query, std::nullopt);
    EXPECT_EQ(plain->fragment, std::nullopt);
    EXPECT_EQ(plain->port, std::nullopt);
    EXPECT_EQ(plain->path, "/p");

    auto empty = parseURL("https://@api.example.com/?#");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->user, "");
    EXPECT_EQ(empty->query, "");
    EXPECT_EQ(empty->fragment, "");

    auto noHost = parseURL("https:///p");
    ASSERT_TRUE(noHost);
    EXPECT_EQ(noHost->host, std::nullopt);
    EXPECT_EQ(parseURL("mailto:someone@example.com"), std::nullopt);
}

}  // namespace
}  // namespace tamsel::platform
