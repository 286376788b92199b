#include "torrix/resume_file.h"

#include <gtest/gtest.h>

#include <string>

namespace torrix {
namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Three segments of 4, 4 and 2 bytes, the first and last done; the checksum
// is zlib's crc32 of the bytes before it.
const std::string kGolden = FromHex(
    "4b565245" "01000000" "0a00000000000000" "0400000000000000" "03000000" "0a000000"
    "04000000" "00000000" "687474703a2f2f682f66" "22653122" "05" "748a702a");

ResumeData Sample() {
  ResumeData data;
  data.source = "http://h/f";
  data.validator = "\"e1\"";
  data.total_size = 10;
  data.segment_size = 4;
  data.done = {true, false, true};
  return data;
}

TEST(ResumeFileTest, EncodesTheFixedLayoutAndDecodesIt) {
  EXPECT_EQ(EncodeResumeData(Sample()), kGolden);
  ResumeData decoded;
  ASSERT_TRUE(DecodeResumeData(kGolden, &decoded));
  EXPECT_EQ(decoded.source + " " + decoded.validator, "http://h/f \"e1\"");
  EXPECT_EQ(decoded.DoneBytes(), 6u);
}

TEST(ResumeFileTest, RefusesEveryFlippedBitAndEveryCut) {
  ResumeData decoded;
  for (size_t i = 0; i < kGolden.size(); ++i) {
    std::string bytes = kGolden;
    bytes[i] = static_cast<char>(bytes[i] ^ 0x10);
    EXPECT_FALSE(DecodeResumeData(bytes, &decoded)) << "byte " << i;
    EXPECT_FALSE(DecodeResumeData(std::string_view(kGolden).substr(0, i), &decoded)) << i;
  }
}

TEST(ResumeFileTest, RefusesATotalNearTwoToTheSixtyFourWithoutSegments) {
  // Total 2^64-1 in segments of 2 and a count of 0, rightly checksummed.
  const std::string bytes = FromHex(
      "4b565245" "01000000" "ffffffffffffffff" "0200000000000000" "00000000" "00000000"
      "00000000" "00000000" "11e5eefb");
  ResumeData decoded;
  EXPECT_FALSE(DecodeResumeData(bytes, &decoded));
}

}  // namespace
}  // namespace torrix
