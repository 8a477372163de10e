#include "runtime/version_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace addongate {
namespace {

std::string shown(const char* runtime) {
  char out[8];
  runtime_version_for_message(runtime, out, sizeof out);
  return out;
}

TEST(VersionRule, MatchesOnlyTheSameMinorVersion) {
  EXPECT_TRUE(version_matches("3.8", "3.8.10 (default, ...) [GCC 12]"));
  EXPECT_TRUE(version_matches("3.8", "3.8"));
  EXPECT_TRUE(version_matches("3.8", "3.8+"));
  EXPECT_FALSE(version_matches("3.8", "3.9.1 (default)"));
  EXPECT_FALSE(version_matches("3.8", "3.80"));
  EXPECT_FALSE(version_matches("3.1", "3.10.4"));
  EXPECT_TRUE(version_matches("3.10", "3.10.4 (main)"));
  EXPECT_FALSE(version_matches("3.10", "3.11.0"));
  EXPECT_FALSE(version_matches("3.8", "2.8.0"));
}

TEST(VersionRule, MessageNamesMajorAndMinorOnly) {
  EXPECT_EQ(shown("3.9.1 (default)"), "3.9");
  EXPECT_EQ(shown("3.10.4 (main)"), "3.10");
  EXPECT_EQ(shown("3.80"), "3.80");
  EXPECT_EQ(shown("3.12345"), "3.12");
  EXPECT_EQ(shown("3.7a1"), "3.7");
  EXPECT_EQ(shown(""), "");

  char message[200];
  version_mismatch_message("3.8", "addonGate", "3.9", message, sizeof message);
  EXPECT_STREQ(message,
               "compiletime version 3.8 of module 'addonGate' does not match runtime version 3.9");
  std::string long_name(300, 'm');
  version_mismatch_message("3.8", long_name.c_str(), "3.9", message, sizeof message);
  // The module name is cut at 100 characters.
  EXPECT_NE(std::string(message).find(std::string(100, 'm') + "' does"), std::string::npos);
  EXPECT_EQ(std::string(message).find(std::string(101, 'm')), std::string::npos);
}

TEST(VersionRule, LegacyRuleComparesFirstAndThirdCharacters) {
  EXPECT_TRUE(legacy_version_matches("3.6", "3.6"));
  EXPECT_FALSE(legacy_version_matches("3.6", "3.1"));  // a 3.10 interpreter
  EXPECT_FALSE(legacy_version_matches("3.6", "2.6"));
  EXPECT_TRUE(legacy_version_matches("3.6", "3-6"));  // the separator is not compared
}

}  // namespace
}  // namespace addongate
