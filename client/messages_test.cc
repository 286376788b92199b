#include "client/messages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "base/error_message.h"

namespace lorvane {
namespace {

// Every code the service has a message of its own for has English words too,
// so that no new code reaches an English user as an "unknown error".
TEST(MessagesTest, EveryServiceCodeWithAMessageHasEnglishWords) {
  for (uint32_t code = 0xA0440200; code <= 0xA04403FF; ++code) {
    char unknown[64];
    std::snprintf(unknown, sizeof(unknown), "未知错误：0x%08x。", code);
    if (tobric::GetErrorMessage(MakeHresult(code)) == unknown) continue;
    EXPECT_FALSE(EnglishMessage(MakeHresult(code)).empty()) << std::hex << code;
  }
}

TEST(MessagesTest, TheLocaleChoosesTheLanguage) {
  const struct {
    const char *all, *messages, *lang;
    bool chinese;
  } cases[] = {{"", "", "zh_CN.UTF-8", true},
               {"", "zh_TW.UTF-8", "en_US.UTF-8", true},
               {"C.UTF-8", "zh_CN.UTF-8", "zh_CN.UTF-8", false}};
  for (const auto& c : cases) {
    setenv("LC_ALL", c.all, 1);
    setenv("LC_MESSAGES", c.messages, 1);
    setenv("LANG", c.lang, 1);
    EXPECT_EQ(UserMessage(E_CERT_EXPIRED, "服务器证书已过期或尚未生效。"),
              c.chinese ? "服务器证书已过期或尚未生效。"
                        : "the server's certificate has expired or is not valid yet")
        << c.all << "|" << c.messages << "|" << c.lang;
  }
  // Codes without English words of their own are worded as the service words
  // them, in English.
  EXPECT_EQ(UserMessage(MakeHresult(0x80070005), ""), "system error: Permission denied");
  EXPECT_EQ(UserMessage(MakeHresult(0xA0440299), ""), "unknown error");
}

}  // namespace
}  // namespace lorvane
