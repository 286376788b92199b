#include "base/error_message.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tobric {
namespace {

constexpr char kDiskFull[] = "磁盘空间不足，请更改您的下载文件夹位置。";
constexpr char kConnectFailed[] = "目标链接连接错误。";
constexpr char kRenameFailed[] = "下载文件重命名失败。";
constexpr char kInvalidConfig[] = "无效的配置参数。";
constexpr char kFileDeleted[] = "下载文件已经被删除。";
constexpr char kInvalidLink[] = "下载链接无效。";
constexpr char kInvalidId[] = "无效的下载文件ID。";
constexpr char kBadMetafile[] = "下载描述文件无效。";
constexpr char kModuleMissing[] = "程序模块丢失。";

std::string Unknown(const char* hex) { return std::string("未知错误：0x") + hex + "。"; }

std::string System(const char* hex, int err) {
  return std::string("系统错误。错误码：") + hex + "。错误信息： " + std::strerror(err);
}

TEST(GetErrorMessage, CodesWithMessagesOfTheirOwn) {
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA0440201)), kFileDeleted);
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA0440205)), kInvalidId);
  for (uint32_t code : {0xA0440207u, 0xA0440208u, 0xA044020Au, 0xA044020Bu}) {
    EXPECT_EQ(GetErrorMessage(MakeHresult(code)), kBadMetafile) << std::hex << code;
  }
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA044020D)), kRenameFailed);
  for (uint32_t code : {0xA0440212u, 0xA0440213u, 0xA0440214u, 0xA0440313u}) {
    EXPECT_EQ(GetErrorMessage(MakeHresult(code)), kInvalidLink) << std::hex << code;
  }
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA0440219)), kConnectFailed);
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA044021A)), kDiskFull);
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA044021D)), kModuleMissing);
  EXPECT_EQ(GetErrorMessage(105), kInvalidConfig);
}

TEST(GetErrorMessage, ServiceCodesWithoutAMessageAreUnknown) {
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA0440211)), Unknown("a0440211"));
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA0440209)), Unknown("a0440209"));
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA0440215)), Unknown("a0440215"));
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA0440218)), Unknown("a0440218"));
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA0440312)), Unknown("a0440312"));
  // The facility, not the low half, decides: error number 5 here is no system error.
  EXPECT_EQ(GetErrorMessage(MakeHresult(0xA0440005)), Unknown("a0440005"));
}

TEST(GetErrorMessage, PlatformErrorsGetTheSystemMessage) {
  EXPECT_EQ(GetErrorMessage(MakeHresult(0x80070005)), System("80070005", EACCES));
  EXPECT_EQ(GetErrorMessage(MakeHresult(0x80070070)), System("80070070", ENOSPC));
  // Any facility outside the service's: the low half is read as a platform error
  // number and the code shown is that number's HRESULT.
  EXPECT_EQ(GetErrorMessage(MakeHresult(0x80040002)), System("80070002", ENOENT));
  EXPECT_EQ(GetErrorMessage(2), System("80070002", ENOENT));
  EXPECT_EQ(GetErrorMessage(0), System("00000000", 0));
}

TEST(GetErrorMessage, NumbersWithoutASystemMessageAreUnknown) {
  EXPECT_EQ(GetErrorMessage(E_FAIL), Unknown("80004005"));
  EXPECT_EQ(GetErrorMessage(E_UNEXPECTED), Unknown("8000ffff"));
  EXPECT_EQ(GetErrorMessage(E_NO_CONNECTION), Unknown("80040801"));
  EXPECT_EQ(GetErrorMessage(MakeHresult(0x80070069)), Unknown("80070069"));
}

TEST(GetErrorMessage, Utf16) {
  EXPECT_EQ(GetErrorMessageUtf16(MakeHresult(0xA0440205)), u"无效的下载文件ID。");
  EXPECT_EQ(GetErrorMessageUtf16(MakeHresult(0xA0440211)), u"未知错误：0xa0440211。");
}

TEST(FormatMessageInserts, Conversions) {
  EXPECT_EQ(FormatMessageInserts("0x%1!08x!.", {0xAu}), "0x0000000a.");
  EXPECT_EQ(FormatMessageInserts("%1!08x!", {E_FAIL}), "80004005");
  EXPECT_EQ(FormatMessageInserts("%1!08X!", {0xABCDu}), "0000ABCD");
  EXPECT_EQ(FormatMessageInserts("%1!x!", {0u}), "0");
  EXPECT_EQ(FormatMessageInserts("%1!d!|%1!u!", {-3}), "-3|4294967293");
  EXPECT_EQ(FormatMessageInserts("[%1!5d!][%1!05d!][%1!-5d!]", {-3}), "[   -3][-0003][-3   ]");
  EXPECT_EQ(FormatMessageInserts("[%1!4s!][%1!-4s!]", {"ab"}), "[  ab][ab  ]");
  EXPECT_EQ(FormatMessageInserts("%2!s! and %1!s!", {"one", "two"}), "two and one");
  EXPECT_EQ(FormatMessageInserts("%1 %2", {"text", 42}), "text 42");
}

TEST(FormatMessageInserts, EscapesAndMalformedInserts) {
  EXPECT_EQ(FormatMessageInserts("100%%", {}), "100%");
  EXPECT_EQ(FormatMessageInserts("%%1", {"x"}), "%1");
  EXPECT_EQ(FormatMessageInserts("end %", {}), "end %");
  EXPECT_EQ(FormatMessageInserts("%0 %a", {"x"}), "%0 %a");
  EXPECT_EQ(FormatMessageInserts("%2!s!", {"x"}), "%2!s!");   // missing argument
  EXPECT_EQ(FormatMessageInserts("%1!q!", {"x"}), "%1!q!");   // unknown conversion
  EXPECT_EQ(FormatMessageInserts("%1!08x", {1u}), "%1!08x");  // unclosed
  EXPECT_EQ(FormatMessageInserts("%1!", {"x"}), "%1!");
  EXPECT_EQ(FormatMessageInserts("%1!!", {"x"}), "%1!!");
}

TEST(FormatMessageInserts, TwoDigitArgumentNumbers) {
  std::vector<MessageArg> args;
  for (int i = 1; i <= 12; ++i) args.emplace_back("a" + std::to_string(i));
  EXPECT_EQ(FormatMessageInserts("%10|%12|%123", args), "a10|a12|a123");
  EXPECT_EQ(FormatMessageInserts("%1!s!2", args), "a12");
}

TEST(FormatMessageInserts, TextAroundInsertsIsKeptByteForByte) {
  EXPECT_EQ(FormatMessageInserts("错误：%1!s!。", {"é\xFF"}), "错误：é\xFF。");
}

}  // namespace
}  // namespace tobric
