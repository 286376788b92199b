#include "base/re/atl_re.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "base/platform/native_thread.h"
#include "base/utf.h"

namespace tobric {
namespace {

// The matcher serves patterns fixed in the code: a URI's scheme, a link's
// fields, the lines of a browser's preferences. These tests pin the syntax those
// use and the bounds that keep a hostile text from holding a pool thread; the
// cases the detectors' own tests show (an anchored line, a number, an empty
// link field) are left to them.

using Groups = std::vector<std::string>;

// The first `count` groups of the leftmost match, or nullopt without a match.
std::optional<Groups> Find(const char16_t* pattern, std::string_view text, int count) {
  const AtlRE re(pattern);
  EXPECT_EQ(re.parse_error(), AtlRE::kErrorNone);
  Groups groups;
  if (!re.Match(text, &groups, count)) return std::nullopt;
  return groups;
}

TEST(AtlReTest, PatternsOfTheProductFindTheirGroups) {
  const char16_t* const kPrefs = u"^\\b*user_pref\\b*\\(\\b*\\\"a\\.b\\\"\\b*,\\b*{\\q}\\)";
  const char16_t* const kPort = u"^\\b*user_pref\\b*\\(\\b*\\\"a\\.b\\\"\\b*,\\b*{\\d+}\\)";
  const char16_t* const kLink = u"tavp://{[^|]+}\\|[^|]+\\|{.*}";
  const char16_t* const kScheme = u"{[a-z]+}://.+";
  const struct {
    const char16_t* pattern;
    std::string text;
    std::optional<Groups> found;
  } cases[] = {
      {kPrefs, " user_pref( \"a.b\",\t\"h'x\");", Groups{"\"h'x\""}},
      {kPrefs, "user_pref(\"a.b\", 'q\"t')", Groups{"'q\"t'"}},
      {kPrefs, "user_pref(\"aXb\", \"h\")", std::nullopt},  // "\." is a dot only
      {kPrefs, "user_pref(\"a.b\", \"open)", std::nullopt},
      {kPort, "user_pref(\"a.b\", x);", std::nullopt},
      {kLink, "TAVP://Film Überweg.mkv|123|abc|def", (Groups{"Film Überweg.mkv", "abc|def"})},
      {kScheme, "HTTPS://host/a", Groups{"HTTPS"}},  // case is ignored, the input's kept
      {kScheme, "Журнал://x", std::nullopt},
      {kScheme, "1http://x", Groups{"http"}},  // leftmost match, not anchored
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Find(c.pattern, c.text, c.pattern == kLink ? 2 : 1), c.found);
  }
}

TEST(AtlReTest, HostileTextsEndWithoutOverflowOrHang) {
  // The step budget gives up on exponential backtracking.
  EXPECT_FALSE(Find(u"(a|a)*b", std::string(30, 'a'), 0).has_value());
  // Long texts on a thread with the stack size of the work pool's threads.
  std::u16string text(100 * 1024, u'x');
  text += u"tail";
  std::promise<void> done;
  platform::NativeThread thread;
  ASSERT_EQ(thread.Start(
                [&] {
                  std::u16string group;
                  EXPECT_TRUE(AtlRE(u"{.*}").Match(text.c_str(), &group, 1));
                  EXPECT_EQ(group.size(), text.size());
                  EXPECT_TRUE(AtlRE(u"^{(x|y)*}tail").Match(text.c_str(), &group, 1));
                  EXPECT_EQ(group.size(), text.size() - 4);
                  EXPECT_FALSE(AtlRE(u"{.*}q").Match(text.c_str(), &group, 1));
                  done.set_value();
                },
                256 * 1024),
            S_OK);
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  thread.Join();
}

}  // namespace
}  // namespace tobric
