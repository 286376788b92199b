#include "base/error_message.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tobric {
namespace {

std::string Unknown(const char* hex) { return std::string("未知错误：0x") + hex + "。"; }

std::string System(const char* hex, int err) {
  return std::string("系统错误。错误码：") + hex + "。错误信息： " + std::strerror(err);
}

TEST(GetErrorMessage, ServicePlatformAndUnknownCodes) {
  const struct {
    std::vector<uint32_t> codes;
    std::string message;
  } cases[] = {
      {{0xA0440201}, "下载文件已经被删除。"},
      {{0xA0440207, 0xA0440208, 0xA044020A, 0xA044020B}, "下载描述文件无效。"},
      {{0xA0440229}, "服务器证书与网站名称不符。"},
      {{105}, "无效的配置参数。"},
      // A service code without a text of its own. The facility, not the low half,
      // decides: error number 5 under the service's facility is no system error.
      {{0xA0440211}, Unknown("a0440211")},
      {{0xA0440005}, Unknown("a0440005")},
      {{0x80070005}, System("80070005", EACCES)},
      // Any facility outside the service's: the low half is read as a platform error
      // number and the code shown is that number's HRESULT.
      {{0x80040002, 2}, System("80070002", ENOENT)},
      {{0}, System("00000000", 0)},
      // Numbers without a system message.
      {{0x80004005}, Unknown("80004005")},
      {{0x80070069}, Unknown("80070069")},
  };
  for (const auto& c : cases) {
    for (const uint32_t code : c.codes) {
      EXPECT_EQ(GetErrorMessage(MakeHresult(code)), c.message) << std::hex << code;
    }
  }
  EXPECT_EQ(GetErrorMessageUtf16(MakeHresult(0xA0440211)), u"未知错误：0xa0440211。");
}

TEST(FormatMessageInserts, ConversionsEscapesAndMalformedInserts) {
  const struct {
    const char* message;
    std::vector<MessageArg> args;
    std::string expected;
  } cases[] = {
      {"0x%1!08x!.", {0xAu}, "0x0000000a."},
      {"%1!08x!", {E_FAIL}, "80004005"},
      {"[%1!5d!][%1!05d!][%1!-5d!]", {-3}, "[   -3][-0003][-3   ]"},
      {"%1!u!", {-3}, "4294967293"},
      {"%2!s! and %1!s!", {"one", "two"}, "two and one"},
      {"%1 %2", {"text", 42}, "text 42"},
      {"错误：%1!s!。", {"é\xFF"}, "错误：é\xFF。"},  // text kept byte for byte
      {"100%%", {}, "100%"},
      {"%%1", {"x"}, "%1"},
      {"end %", {}, "end %"},
      {"%2!s!", {"x"}, "%2!s!"},   // missing argument
      {"%1!q!", {"x"}, "%1!q!"},   // unknown conversion
      {"%1!08x", {1u}, "%1!08x"},  // unclosed
      {"%1!!", {"x"}, "%1!!"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatMessageInserts(c.message, c.args), c.expected) << c.message;
  }
  std::vector<MessageArg> twelve;
  for (int i = 1; i <= 12; ++i) twelve.emplace_back("a" + std::to_string(i));
  EXPECT_EQ(FormatMessageInserts("%10|%12|%123", twelve), "a10|a12|a123");
  EXPECT_EQ(FormatMessageInserts("%1!s!2", twelve), "a12");
}

}  // namespace
}  // namespace tobric
