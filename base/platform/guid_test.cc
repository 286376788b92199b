#include "base/platform/guid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

namespace tobric::platform {
namespace {

// Over a few hundred ids every random hex digit takes all sixteen values; a
// byte left unfilled or a bit forced would show up as a digit that does not.
TEST(Guid, VersionFourTextWithNoStuckDigit) {
  const std::regex pattern(
      "\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
  std::vector<std::set<char>> seen(38);
  for (int i = 0; i < 500; ++i) {
    const std::string guid = NewGuidText();
    ASSERT_TRUE(std::regex_match(guid, pattern)) << guid;
    for (size_t k = 0; k < guid.size(); ++k) seen[k].insert(guid[k]);
  }
  for (size_t k = 1; k < 37; ++k) {
    // The separators, the version digit and the variant digit are fixed.
    if (k == 9 || k == 14 || k == 15 || k == 19 || k == 20 || k == 24) continue;
    EXPECT_EQ(seen[k].size(), 16u) << "digit " << k;
  }
}

}  // namespace
}  // namespace tobric::platform
