#include <gtest/gtest.h>

#include "platform/Regex.h"

namespace tamsel::platform {
namespace {

TEST(Regex, DollarMatchesOnlyAtTheVeryEnd) {
    Regex pattern("^[0-9a-f]{4}$");
    EXPECT_TRUE(pattern.search("beef"));
    EXPECT_FALSE(pattern.search("beef\n"));
    EXPECT_FALSE(pattern.search("xbeef"));
}

TEST(Regex, DigitAndSpaceClassesAreUnicode) {
    Regex digits("^\\d+$");
    EXPECT_TRUE(digits.search("\u0661\u0662\u0663"));  // Arabic-Indic digits
    Regex spaces("^a\\sb$");
    EXPECT_TRUE(spaces.search("a\u00A0b"));  // no-break space
}

TEST(Regex, CaseInsensitiveOnlyWhenAsked) {
    EXPECT_TRUE(Regex("https:", {.caseInsensitive = true}).search("HTTPS:"));
    EXPECT_FALSE(Regex("https:").search("HTTPS:"));
}

TEST(Regex, EmbeddedNulIsPartOfTheSubject) {
    EXPECT_TRUE(Regex("[\\x00]").search(std::string_view("a\0b", 3)));
}

TEST(Regex, InvalidUTF8IsAnErrorNotANoMatch) { EXPECT_THROW(Regex("x").search("\xC3\x28"), RegexError); }

TEST(Regex, BadPatternIsRefusedAtConstruction) { EXPECT_THROW(Regex("("), RegexError); }

}  // namespace
}  // namespace tamsel::platform
