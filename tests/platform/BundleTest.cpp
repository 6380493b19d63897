#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <fstream>

#include "platform/Bundle.h"
#include "tests/support/ScratchDirectory.h"

namespace tamsel::platform {
namespace {

class BundleTest : public ::testing::Test {
  protected:
    tamsel::testing::ScratchDirectory scratch;
    void write(const std::string& bytes) { std::ofstream(dir / "Info.plist", std::ios::binary) << bytes; }
    const std::filesystem::path dir = scratch.path();
};

TEST_F(BundleTest, ReadsTypedValuesFromXML) {
    write(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.brindaxel.tamsel.ext</string>
  <key>TAMSEL_API_BASE_URL</key><string>https://api.example</string>
  <key>Number</key><integer>7</integer>
  <key>Flag</key><true/>
  <key>List</key><array><string>a</string></array>
  <key>Nested</key><dict><key>k</key><string>v</string></dict>
</dict></plist>)");
    PlistBundle bundle(dir);
    EXPECT_EQ(bundle.identifier(), "com.brindaxel.tamsel.ext");
    ASSERT_TRUE(bundle.object("TAMSEL_API_BASE_URL"));
    EXPECT_EQ(*bundle.object("TAMSEL_API_BASE_URL")->string(), "https://api.example");
    EXPECT_EQ(std::get<std::int64_t>(bundle.object("Number")->value), 7);
    EXPECT_EQ(std::get<bool>(bundle.object("Flag")->value), true);
    EXPECT_EQ(bundle.object("Number")->string(), nullptr) << "a number is never read as a string";
    EXPECT_EQ(std::get<PropertyArray>(bundle.object("List")->value).size(), 1u);
    EXPECT_EQ(std::get<PropertyDictionary>(bundle.object("Nested")->value).count("k"), 1u);
    EXPECT_FALSE(bundle.object("Missing"));
}

TEST_F(BundleTest, ReadsBinaryPropertyLists) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "CFBundleIdentifier", plist_new_string("com.brindaxel.bin"));
    plist_dict_set_item(root, "TAMSEL_NOTIFICATION_APP_GROUP", plist_new_string("group.x"));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    write(std::string(bytes, length));
    std::free(bytes);
    plist_free(root);
    PlistBundle bundle(dir);
    EXPECT_EQ(bundle.identifier(), "com.brindaxel.bin");
    EXPECT_EQ(*bundle.object("TAMSEL_NOTIFICATION_APP_GROUP")->string(), "group.x");
}

TEST_F(BundleTest, MissingOrBrokenInfoPlistIsRefused) {
    EXPECT_THROW(PlistBundle{dir}, BundleError);
    write("not a plist at all");
    EXPECT_THROW(PlistBundle{dir}, BundleError);
    write(R"(<?xml version="1.0"?><plist version="1.0"><array/></plist>)");
    EXPECT_THROW(PlistBundle{dir}, BundleError);
}

TEST_F(BundleTest, BundleWithoutIdentifierHasNone) {
    write(
        R"(<?xml version="1.0"?><plist version="1.0"><dict><key>CFBundleIdentifier</key><integer>1</integer></dict></plist>)");
    EXPECT_FALSE(PlistBundle(dir).identifier());
}

}  // namespace
}  // namespace tamsel::platform
