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
  for (const char* typed : {"9", "9f", "{9F0", "9F000000-0000-4000-8000-000000000003}",
                            "{9f000000-0000-4000-8000-000000000003}"}) {
    const IdMatch match = ResolveIdPrefix(typed, kIds);
    EXPECT_EQ(match.kind, IdMatch::Kind::kFound) << typed;
    EXPECT_EQ(match.id, kIds[2]) << typed;
  }
}

TEST(ResolveIdPrefixTest, AmbiguousPrefixListsEveryCandidate) {
  const IdMatch match = ResolveIdPrefix("1a2b3c4", kIds);
  EXPECT_EQ(match.kind, IdMatch::Kind::kAmbiguous);
  EXPECT_EQ(match.candidates, (std::vector<std::string>{kIds[0], kIds[1]}));
  EXPECT_EQ(ResolveIdPrefix("1A2B3C4E", kIds).id, kIds[1]);
}

TEST(ResolveIdPrefixTest, NothingMatchesOrNothingTyped) {
  EXPECT_EQ(ResolveIdPrefix("2", kIds).kind, IdMatch::Kind::kNotFound);
  EXPECT_EQ(ResolveIdPrefix("1A2B3C4D-0000-4000-8000-0000000000011", kIds).kind,
            IdMatch::Kind::kNotFound);
  EXPECT_EQ(ResolveIdPrefix("1", {}).kind, IdMatch::Kind::kNotFound);
  EXPECT_EQ(ResolveIdPrefix("", kIds).kind, IdMatch::Kind::kEmpty);
  EXPECT_EQ(ResolveIdPrefix("{", kIds).kind, IdMatch::Kind::kEmpty);
}

TEST(ResolveIdPrefixTest, WholeIdWinsOverALongerOne) {
  const std::vector<std::string> ids = {"{AB}", "{ABC}"};
  const IdMatch match = ResolveIdPrefix("AB", ids);
  EXPECT_EQ(match.kind, IdMatch::Kind::kFound);
  EXPECT_EQ(match.id, "{AB}");
  EXPECT_EQ(ResolveIdPrefix("A", ids).kind, IdMatch::Kind::kAmbiguous);
}

TEST(ShortIdTest, DropsTheBraceAndGrowsUntilUnique) {
  EXPECT_EQ(ShortId(kIds[0], 8), "1A2B3C4D");
  EXPECT_EQ(ShortId("ABC", 8), "ABC");
  EXPECT_EQ(UniqueShortIdLength({kIds[0], kIds[2]}), 8u);
  EXPECT_EQ(UniqueShortIdLength({}), 8u);
  const std::vector<std::string> close = {"{1A2B3C4D-00A0}", "{1A2B3C4D-00B0}", "{77}"};
  EXPECT_EQ(UniqueShortIdLength(close), 12u);
  EXPECT_NE(ShortId(close[0], 12), ShortId(close[1], 12));
  EXPECT_EQ(ShortId("{AB}", 8), "AB");
  EXPECT_EQ(UniqueShortIdLength({"{SAME}", "{SAME}"}), 8u);
}

}  // namespace
}  // namespace lorvane
