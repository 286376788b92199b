#include "client/package_ids.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lorvane {
namespace {

const std::vector<std::string> kIds = {
    "{1A2B3C4D-0000-4000-8000-000000000001}",
    "{1A2B3C4E-0000-4000-8000-000000000002}",
    "{9F000000-0000-4000-8000-000000000003}",
};

TEST(ResolveIdPrefixTest, UniquePrefixWithOrWithoutBraceInAnyCase) {
  for (const char* typed : {"9f", "{9F0", "{9f000000-0000-4000-8000-000000000003}"})
    EXPECT_EQ(ResolveIdPrefix(typed, kIds).id, kIds[2]) << typed;
  EXPECT_EQ(ResolveIdPrefix("1A2B3C4D-0000-4000-8000-0000000000011", kIds).kind,
            IdMatch::Kind::kNotFound);
  EXPECT_EQ(ResolveIdPrefix("{", kIds).kind, IdMatch::Kind::kEmpty);
  // A whole id wins over a longer one it begins.
  EXPECT_EQ(ResolveIdPrefix("AB", {"{AB}", "{ABC}"}).id, "{AB}");
  EXPECT_EQ(ResolveIdPrefix("A", {"{AB}", "{ABC}"}).kind, IdMatch::Kind::kAmbiguous);
}

TEST(ShortIdTest, DropsTheBraceAndGrowsUntilUnique) {
  EXPECT_EQ(ShortId(kIds[0], 8), "1A2B3C4D");
  EXPECT_EQ(UniqueShortIdLength({"{1A2B3C4D-00A0}", "{1A2B3C4D-00B0}", "{77}"}), 12u);
  EXPECT_EQ(UniqueShortIdLength({"{SAME}", "{SAME}"}), 8u);
}

}  // namespace
}  // namespace lorvane
