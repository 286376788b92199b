#include "download/tavp_detector.h"

#include <cstdint>
#include <string>

#include "gtest/gtest.h"

namespace lorvane {
namespace {

TEST(TavpDetectorTest, NameAndSizeFromTheLink) {
  const struct { const char* link; const char* name; uint64_t size; } cases[] = {
      // The name is lower-cased.
      {"TAVP://1024|x|Film.MKV", "film.mkv", 1024},
      // Link and fields are trimmed; sizes beyond 32 bits are read whole.
      {"\xE3\x80\x80 tavp:// 5368709120 |src|  My Film.mkv \xC2\xA0", "my film.mkv", 5368709120},
      // Only the first two bars separate fields; unlike http names nothing is removed.
      {"tavp://7|src|a|b:c?.mkv", "a|b:c?.mkv", 7},
      // The size is read up to the first non-digit.
      {"tavp://12abc|x|a.mkv", "a.mkv", 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    TavpDetector detector(c.link);
    ASSERT_EQ(detector.Detect(), S_OK);
    EXPECT_EQ(detector.file_name(), c.name);
    EXPECT_EQ(detector.content_length(), c.size);
  }
}

TEST(TavpDetectorTest, BadLinkLeavesFieldsUnchanged) {
  for (const char* link : {"tavp://0|x|film.mkv",    // size 0
                           "tavp://abc|x|film.mkv",  // size of letters
                           "tavp://1024|x|   ",      // name of blanks
                           "tavp://1024||film.mkv",  // empty middle field
                           "http://1024|x|film.mkv"}) {
    TavpDetector detector(link);
    EXPECT_EQ(detector.Detect(), E_BAD_LINK) << link;
    EXPECT_EQ(detector.ParseFileName(), E_BAD_LINK) << link;
    EXPECT_EQ(detector.file_name(), "");
    EXPECT_EQ(detector.content_length(), 0u);
  }
}

}  // namespace
}  // namespace lorvane
