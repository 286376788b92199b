#include "service/rpc_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "base/utf.h"

namespace lorvane::rpc {
namespace {

uint16_t UnitAt(const std::string& bytes, size_t offset) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[offset]) |
                               static_cast<uint8_t>(bytes[offset + 1]) << 8);
}

TEST(RpcProtocolTest, RecordImageHasTheFixedLayout) {
  PackageInfo info;
  info.state = 5;
  info.download_speed = 0x01020304;
  info.total_size = 0x1122334455667788ull;
  info.error_code = static_cast<int32_t>(0xA0440219);
  info.error_text = u"E";
  info.id = u"{ID}";
  info.path = u"P";
  info.name = u"N";
  info.caption = u"C";
  info.uri = u"U";
  Writer writer;
  writer.Record(info);
  const std::string& image = writer.bytes();
  ASSERT_EQ(image.size(), kPackageInfoSize);
  EXPECT_EQ(std::string({image[0], image[4], image[24], image[43]}), "\x05\x04\x88\xA0");
  std::u16string units;
  for (size_t offset : {44, 564, 694, 1214, 1734, 2254, 2256}) units += UnitAt(image, offset);
  EXPECT_EQ(units, std::u16string(u"E{PNCU\0", 7));
}

TEST(RpcProtocolTest, MalformedInputFailsTheReader) {
  // A record whose uri array holds no terminator.
  std::string image(kPackageInfoSize, '\0');
  for (size_t i = 2254; i < 4334; ++i) image[i] = 'a';
  Reader bad_record(image);
  PackageInfo info;
  EXPECT_FALSE(bad_record.Record(&info));
}

// Records built and read in place convert exactly as the general converters
// do, through the ASCII shortcut and around it, and cut where they cut.
TEST(RpcProtocolTest, InPlaceRecordsConvertAsTheConvertersDo) {
  const std::string texts[] = {
      "{ID}",
      "\xC2\x80 \xE7\x94\xB5\xE5\xBD\xB1.mp4",      // U+0080, the first unit past ASCII
      "a\x80z",                                     // a stray byte: U+FFFD
      std::string(1038, 'a') + "\xF0\x9F\x8E\xAC",  // a surrogate pair across the uri's cut
      std::string(1039, 'u') + "\xE7\x94\xB5",      // ASCII up to the cut only
      "",
  };
  for (const std::string& text : texts) {
    for (const auto& [field, capacity] :
         {std::pair{RecordString::kUri, size_t{1040}}, std::pair{RecordString::kId, size_t{65}}}) {
      SCOPED_TRACE(text.substr(0, 8));
      std::string bytes;
      RecordEncoder record(&bytes);
      record.SetUtf8String(field, text);
      ASSERT_EQ(bytes.size(), kPackageInfoSize);
      RecordView view;
      ASSERT_TRUE(view.Parse(reinterpret_cast<const uint8_t*>(bytes.data())));
      const std::u16string expected = tobric::Utf8ToUtf16(text).substr(0, capacity - 1);
      EXPECT_EQ(view.Units(field), expected);
      std::string back = "a longer text left from an earlier record";
      view.Utf8(field, &back);
      EXPECT_EQ(back, tobric::Utf16ToUtf8(expected));
    }
  }
}

}  // namespace
}  // namespace lorvane::rpc
