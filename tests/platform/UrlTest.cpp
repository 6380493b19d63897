#include <gtest/gtest.h>

#include "platform/Url.h"

namespace tamsel::platform {
namespace {

TEST(Url, AcceptsURIReferences) {
    const char* accepted[] = {"https://api.tamsel.example",
                              "https://api.tamsel.example:8443/base/",
                              "https://127.0.0.1:9/",
                              "https://[::1]:443/x",
                              "https://user@host/",
                              "https://host/?q=1#frag",
                              "relative/path",
                              "/absolute/path",
                              "//host/x",
                              "mailto:someone",
                              "https://host/%41%2f"};
    for (const char* text : accepted) EXPECT_TRUE(isURIReference(text)) << text;
}

TEST(Url, RefusesWhatIsNoURIReference) {
    const char* refused[] = {"",
                             "https://exa mple.com",
                             "http://[::1",
                             "https://host/%4",
                             "https://host/%zz",
                             "1http://host",
                             "https://host:80a/",
                             "https://host/#a#b",
                             "https://ho\"st/",
                             "https://host/\xC3\xA9",
                             ":nothing"};
    for (const char* text : refused) EXPECT_FALSE(isURIReference(text)) << text;
}

}  // namespace
}  // namespace tamsel::platform
