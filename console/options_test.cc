// The command-line switches: what is a switch, what is a value, and what the
// table holds after a reading that failed half-way.
#include "console/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lorvane {
namespace {

using Words = std::vector<std::string>;

TEST(OptionsTest, SwitchesTakeTheFollowingWordAsValue) {
  Options options;
  ASSERT_EQ(options.Parse({"/opt/corvane/corvaned", "/with-console", "/input", "1234"}), S_OK);
  EXPECT_TRUE(options.Has("with-console"));
  EXPECT_EQ(options.Value("with-console"), "");
  EXPECT_TRUE(options.Has("input"));
  EXPECT_EQ(options.Value("input"), "1234");
  // argv[0] is the program, never a switch, even though it starts with "/".
  EXPECT_FALSE(options.Has("opt/corvane/corvaned"));
  EXPECT_FALSE(options.Has("with-terminal"));
  EXPECT_EQ(options.Value("with-terminal"), "");
}

TEST(OptionsTest, DashSlashAndCaseAreTheSame) {
  Options dash;
  ASSERT_EQ(dash.Parse({"corvaned", "-Input", "5", "/With-Console"}), S_OK);
  EXPECT_EQ(dash.Value("input"), "5");
  EXPECT_EQ(dash.Value("INPUT"), "5");
  EXPECT_TRUE(dash.Has("with-console"));
  EXPECT_TRUE(dash.Has("With-Console"));
}

TEST(OptionsTest, WordsThatAreNotSwitchesAreValues) {
  Options options;
  // A quoted word with a blank, a %20, and a lone dash are values; the last
  // value given replaces the earlier one; words are trimmed.
  ASSERT_EQ(
      options.Parse({"corvaned", " /a ", "/a b", "/b", "/x%20y", "/c", "-", "/d", " v ", "w"}),
      S_OK);
  EXPECT_EQ(options.Value("a"), "/a b");
  EXPECT_FALSE(options.Has("a b"));
  EXPECT_EQ(options.Value("b"), "/x%20y");
  EXPECT_EQ(options.Value("c"), "-");
  EXPECT_EQ(options.Value("d"), "w");
}

TEST(OptionsTest, FailuresKeepWhatWasReadBefore) {
  Options duplicate;
  EXPECT_EQ(duplicate.Parse({"corvaned", "/a", "1", "/A", "2", "/b"}), E_INVALIDARG);
  EXPECT_EQ(duplicate.Value("a"), "1");
  EXPECT_FALSE(duplicate.Has("b"));

  Options value_first;
  EXPECT_EQ(value_first.Parse({"corvaned", "stray", "/with-terminal"}), E_INVALIDARG);
  EXPECT_FALSE(value_first.Has("with-terminal"));
  EXPECT_FALSE(value_first.Has("stray"));
}

TEST(OptionsTest, BracketedSwitchesGoToTheirOwnTable) {
  Options options;
  ASSERT_EQ(options.Parse({"corvaned", "/a", "1", "[/Opt", "x", "y]", "/b", "[/flag]", "/c", "3"}),
            S_OK);
  EXPECT_TRUE(options.HasOptional("opt"));
  EXPECT_EQ(options.OptionalValue("opt"), "x y");
  EXPECT_TRUE(options.HasOptional("flag"));
  EXPECT_EQ(options.OptionalValue("flag"), "");
  EXPECT_FALSE(options.Has("opt"));
  EXPECT_EQ(options.Value("a"), "1");
  EXPECT_TRUE(options.Has("b"));
  EXPECT_EQ(options.Value("c"), "3");

  // Inside the brackets a switch word is one of the optional switch's words;
  // after them a value has no switch to belong to.
  Options inside;
  ASSERT_EQ(inside.Parse({"corvaned", "[/o", "/p", "q]"}), S_OK);
  EXPECT_EQ(inside.OptionalValue("o"), "/p q");
  EXPECT_FALSE(inside.Has("p"));
  Options after;
  EXPECT_EQ(after.Parse({"corvaned", "[/o]", "v"}), E_INVALIDARG);
  EXPECT_EQ(after.Parse({"corvaned", "[/o]"}), E_INVALIDARG) << "a duplicate optional switch";
}

TEST(OptionsTest, SplitCommandLineFollowsTheArgumentRules) {
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\corvaned.exe\" /with-console  /input\t1234"),
            (Words{"C:\\Program Files\\corvaned.exe", "/with-console", "/input", "1234"}));
  EXPECT_EQ(SplitCommandLine("prog /x \"/a b\""), (Words{"prog", "/x", "/a b"}));
  EXPECT_EQ(SplitCommandLine("prog a\"b c\"d \"\""), (Words{"prog", "ab cd", ""}));
  // Backslashes are literal unless they stand before a quote.
  EXPECT_EQ(SplitCommandLine("prog a\\b a\\\\\"b c\" a\\\"b"),
            (Words{"prog", "a\\b", "a\\b c", "a\"b"}));
  EXPECT_EQ(SplitCommandLine("prog \"say \"\"hi\"\"\""), (Words{"prog", "say \"hi\""}));
  EXPECT_EQ(SplitCommandLine("   "), Words{});
}

TEST(OptionsTest, ProcessOptionsReadArgv) {
  std::string program = "corvaned";
  std::string word1 = "-with-console";
  std::string word2 = "-input";
  std::string word3 = "7";
  char* argv[] = {program.data(), word1.data(), word2.data(), word3.data(), nullptr};
  Options options;
  ASSERT_EQ(ReadProcessOptions(4, argv, &options), S_OK);
  EXPECT_TRUE(options.Has("with-console"));
  EXPECT_EQ(options.Value("input"), "7");

  Options empty;
  EXPECT_EQ(ReadProcessOptions(0, nullptr, &empty), S_OK);
  EXPECT_FALSE(empty.Has("with-console"));
}

}  // namespace
}  // namespace lorvane
