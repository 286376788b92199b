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

// The codes above go through the conversions the messages use; these are the
// cases they do not reach.
TEST(FormatMessageInserts, OrderEscapesAndMissingInserts) {
  const struct {
    const char* message;
    std::vector<MessageArg> args;
    std::string expected;
  } cases[] = {
      {"%2!s! and %1!s!", {"one", "two"}, "two and one"},
      {"错误：%1!s!。", {"é\xFF"}, "错误：é\xFF。"},  // text kept byte for byte
      {"100%%", {}, "100%"},
      {"%2!s!", {"x"}, "%2!s!"},  // missing argument
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatMessageInserts(c.message, c.args), c.expected) << c.message;
  }
}

}  // namespace
}  // namespace tobric
