#include "base/platform/guid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace tobric::platform {
namespace {

// Every one of the 122 random bits takes both values over a few hundred draws;
// a byte left unfilled or copied would show up as a stuck hex digit.
TEST(Guid, FormatUniquenessAndNoStuckBits) {
  const std::regex pattern(
      "\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
  std::set<std::string> seen;
  std::string ones(38, '\0');
  std::string zeros(38, '\0');
  for (int i = 0; i < 500; ++i) {
    const std::string guid = NewGuidText();
    ASSERT_TRUE(std::regex_match(guid, pattern)) << guid;
    seen.insert(guid);
    for (size_t k = 1; k < 37; ++k) {
      if (guid[k] == '-') continue;
      const int digit = guid[k] <= '9' ? guid[k] - '0' : guid[k] - 'A' + 10;
      ones[k] = static_cast<char>(ones[k] | digit);
      zeros[k] = static_cast<char>(zeros[k] | (~digit & 0xF));
    }
  }
  EXPECT_EQ(seen.size(), 500u);
  for (size_t k = 1; k < 37; ++k) {
    // The separators, the version digit and the variant digit are fixed.
    if (k == 9 || k == 14 || k == 15 || k == 19 || k == 20 || k == 24) continue;
    EXPECT_EQ(ones[k], 0xF) << "digit " << k;
    EXPECT_EQ(zeros[k], 0xF) << "digit " << k;
  }
}

}  // namespace
}  // namespace tobric::platform
