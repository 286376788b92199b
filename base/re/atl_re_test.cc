#include "base/re/atl_re.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/platform/native_thread.h"
#include "base/utf.h"

namespace tobric {
namespace {

// The matcher serves patterns fixed in the code (a URI's scheme, the lines of a
// browser's preferences): these tests pin the syntax those use, the Match
// contract, and the bounds that keep a hostile text from holding a thread.

std::u16string Wide(std::string_view text) { return Utf8ToUtf16(text); }

// The first `count` groups of the leftmost match, or nullopt without a match. Most
// tests read better with UTF-8 literals, and the UTF-8 form goes through the UTF-16
// matcher anyway.
std::optional<std::vector<std::string>> Find(std::string_view pattern, std::string_view text,
                                             int count) {
  const std::u16string wide = Wide(pattern);
  const AtlRE re(wide.c_str());
  EXPECT_EQ(re.parse_error(), AtlRE::kErrorNone) << pattern;
  std::vector<std::string> groups;
  if (!re.Match(text, &groups, count)) return std::nullopt;
  return groups;
}

bool Matches(std::string_view pattern, std::string_view text) {
  return Find(pattern, text, 0).has_value();
}

using Groups = std::vector<std::string>;
using Pair = std::pair<const char*, const char*>;

// Runs `body` on a thread with the stack size of the work pool's threads, where
// callers of the matcher run.
void RunOnPoolSizedStack(std::function<void()> body) {
  std::promise<void> done;
  platform::NativeThread thread;
  ASSERT_EQ(thread.Start(
                [&] {
                  body();
                  done.set_value();
                },
                256 * 1024),
            S_OK);
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  thread.Join();
}

int ErrorOf(std::string_view pattern) {
  const std::u16string wide = Wide(pattern);
  return AtlRE(wide.c_str()).parse_error();
}

// The Match contract.

TEST(AtlReMatchTest, AskingForMoreGroupsThanDefinedAnswersFalse) {
  const AtlRE re(u"{a}b");
  std::u16string groups[2] = {u"keep", u"keep"};
  EXPECT_FALSE(re.Match(u"ab", groups, 2));
  EXPECT_EQ(groups[0], u"keep");
  EXPECT_TRUE(re.Match(u"ab", groups, 1));
  EXPECT_EQ(groups[0], u"a");
  EXPECT_TRUE(re.Match(u"ab", nullptr, 0));
  EXPECT_FALSE(re.Match(u"ab", groups, -1));
  EXPECT_FALSE(re.Match(static_cast<const char16_t*>(nullptr), groups, 0));
}

TEST(AtlReMatchTest, EndPositionIsNullAtTheEndOfTheText) {
  const char16_t* text = u"xabcd";
  // Where each match ends (-1: at the end); an empty match at the start still
  // ends inside the text.
  for (const auto& [pattern, offset] :
       {std::pair{u"ab", 3}, std::pair{u"cd", -1}, std::pair{u"x.*", -1}, std::pair{u"q*", 0}}) {
    const char16_t* end = nullptr;
    EXPECT_TRUE(AtlRE(pattern).Match(text, nullptr, 0, &end));
    EXPECT_EQ(end, offset < 0 ? nullptr : text + offset);
  }
}

TEST(AtlReMatchTest, GroupsAreCopiedWithTheLettersOfTheInput) {
  const AtlRE re(u"{[a-z]+}-{\\d+}");
  std::u16string groups[2];
  EXPECT_TRUE(re.Match(u"Key ABC-42 rest", groups, 2));
  EXPECT_EQ(groups[0], u"ABC");
  EXPECT_EQ(groups[1], u"42");
  // A group that took no part in the match is empty; a group in a loop keeps its
  // last repetition.
  EXPECT_EQ(Find("{a}|{b}", "b", 2), (Groups{"", "b"}));
  EXPECT_EQ(Find("({[a-z]})+", "xyz", 1), Groups{"z"});
}

TEST(AtlReMatchTest, Utf8FormReportsGroupsAndByteOffsets) {
  const AtlRE re(u"{[^ ]+} ");
  std::vector<std::string> groups;
  size_t end = 0;
  EXPECT_TRUE(re.Match(std::string_view("Überweg 下载"), &groups, 1, &end));
  EXPECT_EQ(groups, Groups{"Überweg"});
  EXPECT_EQ(end, std::string("Überweg ").size());
  EXPECT_TRUE(AtlRE(u"下").Match(std::string_view("文件下载"), &groups, 0, &end));
  EXPECT_EQ(end, std::string("文件下").size());
  EXPECT_TRUE(AtlRE(u"载").Match(std::string_view("文件下载"), &groups, 0, &end));
  EXPECT_EQ(end, std::string_view::npos);

  // Malformed bytes count as one replacement character each, exactly as the
  // conversion makes them, so the offset still lands after the match.
  const std::string broken = "\xE4\xB8q\x80\xF0\x9F\x8E\xACzz";
  EXPECT_TRUE(AtlRE(u"z").Match(std::string_view(broken), &groups, 0, &end));
  EXPECT_EQ(end, broken.size() - 1);
  // A match ending inside a surrogate pair resumes after the whole character.
  EXPECT_TRUE(AtlRE(u"q..").Match(std::string_view(broken), &groups, 0, &end));
  EXPECT_EQ(end, broken.size() - 2);
}

// Syntax.

TEST(AtlReSyntaxTest, Abbreviations) {
  struct Case {
    const char* pattern;
    const char* match;
    const char* text;
  };
  const Case cases[] = {
      {R"({\b+})", " \t ", "x \t x"},
      {R"({\d+})", "907", "a907b"},
      {R"({\q})", R"("a'b")", R"(x"a'b"y)"},
      {R"({\q})", R"('a"b')", R"(x'a"b'y)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Find(c.pattern, c.text, 1), Groups{c.match}) << c.pattern << " on " << c.text;
  }
  for (const auto& [pattern, text] :
       {Pair{R"(\b)", "x\r\n"}, Pair{R"(\d)", "abc"}, Pair{R"(\q)", R"("open)"}}) {
    EXPECT_FALSE(Matches(pattern, text)) << pattern;
  }
  // An abbreviation is one atom: its own "|" does not split the outer pattern, and
  // a quantifier applies to all of it.
  EXPECT_FALSE(Matches(R"(x\qy)", R"('a'y)"));
  EXPECT_EQ(Find(R"({\q+})", R"("a"'b'c)", 1), Groups{R"("a"'b')"});
  // Any other escaped character is itself.
  EXPECT_EQ(Find(R"({\.\|\(\{\[\t})", "x.|({[t", 1), Groups{".|({[t"});
  EXPECT_FALSE(Matches(R"(\.)", "a"));
}

TEST(AtlReSyntaxTest, GreedyQuantifiersGiveBackWhatTheRestNeeds) {
  EXPECT_EQ(Find("{a.*}b", "axbxb", 1), Groups{"axbx"});
  // Loops over groups, not just single characters.
  EXPECT_EQ(Find("{(ab)*}(ab)", "ababab", 1), Groups{"abab"});
  EXPECT_EQ(Find("{(ab)?}ab", "ab", 1), Groups{""});
  // Giving back stops at the minimum.
  EXPECT_FALSE(Matches("^a+a", "a"));
  EXPECT_TRUE(Matches("^a+a", "aa"));
}

TEST(AtlReSyntaxTest, CircumflexAndDollarAreSpecialOnlyAtTheEnds) {
  EXPECT_FALSE(Matches("^ab", "cab"));
  EXPECT_FALSE(Matches("ab$", "abc"));
  // Elsewhere they, closers and quantifiers with nothing to repeat are characters.
  for (const auto& [pattern, text] : {Pair{"a$b", "xa$by"}, Pair{"a^b", "a^b"}, Pair{"[$]", "$"},
                                      Pair{"a)b}", "a)b}"}, Pair{"*x", "*x"}}) {
    EXPECT_TRUE(Matches(pattern, text)) << pattern;
  }
  EXPECT_FALSE(Matches("*x", "x"));
}

TEST(AtlReSyntaxTest, SetsAndRanges) {
  EXPECT_EQ(Find("{[a-cx]+}", "zzBaCxd", 1), Groups{"BaCx"});
  EXPECT_EQ(Find("{[^a-c]+}", "abcXYZabc", 1), Groups{"XYZ"});
}

TEST(AtlReSyntaxTest, NonAsciiTextIgnoresCaseAndKeepsPositions) {
  EXPECT_EQ(Find("{журнал}", "Мой ЖУРНАЛ", 1), Groups{"ЖУРНАЛ"});
  EXPECT_EQ(Find("{ЖУРНАЛ}", "мой журнал", 1), Groups{"журнал"});
  EXPECT_EQ(Find("{[а-я]+}", "ПРИВЕТ", 1), Groups{"ПРИВЕТ"});
  // A character outside the BMP is two code units; "." takes one.
  EXPECT_EQ(Find("a{..}b", "A🎬B", 1), Groups{"🎬"});
}

// Compile errors.

TEST(AtlReCompileTest, ErrorsAreReportedAndNeverMatch) {
  for (const char* bad : {"{a", "(a", "[a", R"([a\])", "{a)}"}) {
    EXPECT_EQ(ErrorOf(bad), AtlRE::kErrorUnclosed) << bad;
  }
  EXPECT_EQ(AtlRE(nullptr).parse_error(), AtlRE::kErrorNullPattern);

  EXPECT_FALSE(AtlRE(u"{a").Match(u"{a(a[a", nullptr, 0));
  EXPECT_FALSE(AtlRE(nullptr).Match(u"", nullptr, 0));
}

// Bounds.

TEST(AtlReBoundsTest, ExponentialBacktrackingGivesUpWithFalse) {
  const std::string as(30, 'a');
  EXPECT_FALSE(Matches("(a|a)*b", as));
  // A real match later in the text is not reached once the budget is spent on the
  // hopeless start before it; the budget is what keeps a hostile input from
  // holding a pool thread.
  EXPECT_FALSE(Matches("(a|a)*c", as + "x" + "ac"));
  EXPECT_TRUE(Matches("(a|a)*c", "xac"));
}

TEST(AtlReBoundsTest, LongTextsNeitherOverflowNorFail) {
  std::u16string text(100 * 1024, u'x');
  text += u"tail";
  RunOnPoolSizedStack([&] {
    const char16_t* end = text.c_str();
    std::u16string group;
    EXPECT_TRUE(AtlRE(u"{.*}").Match(text.c_str(), &group, 1, &end));
    EXPECT_EQ(group.size(), text.size());
    EXPECT_EQ(end, nullptr);
    EXPECT_TRUE(AtlRE(u"{.*?}tail$").Match(text.c_str(), &group, 1));
    EXPECT_EQ(group.size(), text.size() - 4);
    // A loop over a group keeps a choice per repetition, on the heap.
    EXPECT_TRUE(AtlRE(u"^{(x|y)*}tail").Match(text.c_str(), &group, 1));
    EXPECT_EQ(group.size(), text.size() - 4);
    EXPECT_FALSE(AtlRE(u"{.*}q").Match(text.c_str(), &group, 1));
  });
}

}  // namespace
}  // namespace tobric
