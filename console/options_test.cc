// The command-line switches: what is a switch, what is a value, and what the
// table holds after a reading that failed half-way.
#include "console/options.h"

#include <gtest/gtest.h>

#include <string>

namespace lorvane {
namespace {

TEST(OptionsTest, WordsReadAsSwitchesAndValues) {
  Options options;
  // argv[0] is the program, never a switch, even though it starts with "/";
  // dash, slash and case are the same; a quoted word with a blank, a %20 and a
  // lone dash are values; the last value given replaces the earlier one; words
  // are trimmed.
  ASSERT_EQ(options.Parse({"/opt/corvaned", "-With-Console", "/input", "1234", " /a ", "/a b", "/b",
                           "/x%20y", "/c", "-", "/d", " v ", "w"}),
            S_OK);
  EXPECT_FALSE(options.Has("opt/corvaned"));
  EXPECT_TRUE(options.Has("WITH-console"));
  EXPECT_EQ(options.Value("with-console"), "");
  EXPECT_EQ(options.Value("Input"), "1234");
  EXPECT_EQ(options.Value("a"), "/a b");
  EXPECT_FALSE(options.Has("a b"));
  EXPECT_EQ(options.Value("b"), "/x%20y");
  EXPECT_EQ(options.Value("c"), "-");
  EXPECT_EQ(options.Value("d"), "w");
  EXPECT_FALSE(options.Has("with-terminal"));
}

TEST(OptionsTest, FailuresKeepWhatWasReadBefore) {
  Options duplicate;
  EXPECT_EQ(duplicate.Parse({"corvaned", "/a", "1", "/A", "2", "/b"}), E_INVALIDARG);
  EXPECT_EQ(duplicate.Value("a"), "1");
  EXPECT_FALSE(duplicate.Has("b"));

  Options value_first;
  EXPECT_EQ(value_first.Parse({"corvaned", "stray", "/with-terminal"}), E_INVALIDARG);
  EXPECT_FALSE(value_first.Has("with-terminal"));
}

}  // namespace
}  // namespace lorvane
