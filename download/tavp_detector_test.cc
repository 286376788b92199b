#include "download/tavp_detector.h"

#include <cstdint>
#include <string>

#include "gtest/gtest.h"

namespace lorvane {
namespace {

TEST(TavpDetectorTest, CapitalLinkGivesLowerCaseNameAndSize) {
  TavpDetector detector("TAVP://1024|x|Film.MKV");
  ASSERT_EQ(detector.Detect(), S_OK);
  EXPECT_EQ(detector.file_name(), "film.mkv");
  EXPECT_EQ(detector.content_length(), 1024u);
}

TEST(TavpDetectorTest, ParseFileNameDoesWhatDetectDoes) {
  TavpDetector detector("tavp://2048|http%3A%2F%2Fsrc%2Fa|Movie.mp4");
  ASSERT_EQ(detector.ParseFileName(), S_OK);
  EXPECT_EQ(detector.file_name(), "movie.mp4");
  EXPECT_EQ(detector.content_length(), 2048u);
}

TEST(TavpDetectorTest, TrimsLinkAndFields) {
  TavpDetector detector("\xE3\x80\x80 tavp:// 5368709120 |src|  My Film.mkv \xC2\xA0");
  ASSERT_EQ(detector.Detect(), S_OK);
  EXPECT_EQ(detector.file_name(), "my film.mkv");
  EXPECT_EQ(detector.content_length(), uint64_t{5368709120});
}

TEST(TavpDetectorTest, NameKeepsBarsAndFileNameCharacters) {
  // Only the first two bars separate fields; unlike http names nothing is removed.
  TavpDetector detector("tavp://7|src|a|b:c?.mkv");
  ASSERT_EQ(detector.Detect(), S_OK);
  EXPECT_EQ(detector.file_name(), "a|b:c?.mkv");
}

TEST(TavpDetectorTest, NameIsLowerCasedBeyondAscii) {
  TavpDetector detector("tavp://5|x|\xC3\x84PFEL.MKV");  // ÄPFEL.MKV
  ASSERT_EQ(detector.Detect(), S_OK);
  EXPECT_EQ(detector.file_name(), "\xC3\xA4pfel.mkv");
}

TEST(TavpDetectorTest, SizeIsReadUpToTheFirstNonDigit) {
  TavpDetector detector("tavp://12abc|x|a.mkv");
  ASSERT_EQ(detector.Detect(), S_OK);
  EXPECT_EQ(detector.content_length(), 12u);
}

class TavpBadLinkTest : public ::testing::TestWithParam<const char*> {};

TEST_P(TavpBadLinkTest, IsBadLinkAndLeavesFieldsUnchanged) {
  TavpDetector detector(GetParam());
  EXPECT_EQ(detector.Detect(), E_BAD_LINK);
  EXPECT_EQ(detector.ParseFileName(), E_BAD_LINK);
  EXPECT_EQ(detector.file_name(), "");
  EXPECT_EQ(detector.content_length(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Links, TavpBadLinkTest,
                         ::testing::Values("tavp://0|x|film.mkv",      // size 0
                                           "tavp://abc|x|film.mkv",    // size of letters
                                           "tavp://1024|x|",           // empty name
                                           "tavp://1024|x|   ",        // name of blanks
                                           "tavp://1024||film.mkv",    // empty middle field
                                           "tavp://1024|film.mkv",     // two fields
                                           "tavp://|x|film.mkv",       // empty size
                                           "http://1024|x|film.mkv"));

}  // namespace
}  // namespace lorvane
