#include "base/logging/ini_file.h"

#include <gtest/gtest.h>

#include <utility>

namespace tobric {
namespace {

TEST(IniFileTest, IntegersFollowAtoi) {
  const std::pair<const char*, int> cases[] = {
      {"   \t 7", 7}, {"+5", 5}, {"-3", -3}, {"12abc", 12}, {"abc", 0}, {"- 4", 0}, {"0x10", 0}};
  for (const auto& [text, value] : cases) EXPECT_EQ(IniFile::ParseInt(text), value) << text;
  // 32-bit wrapping keeps an unsigned value above 2^31 for an unsigned setting.
  EXPECT_EQ(static_cast<uint32_t>(IniFile::ParseInt("4000000000")), 4000000000u);
}

TEST(IniFileTest, SectionsKeysAndValues) {
  IniFile ini;
  ini.Parse(
      "\xEF\xBB\xBF"
      "orphan=1\r\n"
      "; a comment\r\n"
      "[LoggingSettings]\r\n"
      "  EnableLogging =  0  \r\n"
      "LogFilePath = logs/my file.log \r\n"
      "no equals sign here\r\n"
      "ShowTime=junk\r\n"
      "Empty=\r\n"
      "EnableLogging=1\r\n"
      "[ loggingsettings ]\r\n"
      "AppendToFile=0\r\n"
      "[LoggingLevel]\n"
      "lc_user=5\n"
      ";LC_OPT=4\n"
      "Eq=a=b\n");
  EXPECT_EQ(ini.GetInt("loggingsettings", "ENABLELOGGING", 1), 0) << "first key of a name wins";
  EXPECT_EQ(ini.GetString("LoggingSettings", "LogFilePath", ""), "logs/my file.log");
  EXPECT_EQ(ini.GetInt("LoggingSettings", "ShowTime", 1), 0) << "junk reads as 0";
  EXPECT_EQ(ini.GetInt("LoggingSettings", "Empty", 9), 0);
  EXPECT_EQ(ini.GetString("LoggingSettings", "Empty", "x"), "");
  EXPECT_EQ(ini.GetInt("LoggingSettings", "Missing", 9), 9);
  EXPECT_EQ(ini.GetInt("LoggingSettings", "AppendToFile", 1), 1)
      << "a repeated section adds nothing";
  EXPECT_EQ(ini.GetInt("LoggingLevel", "LC_USER", 1), 5);
  EXPECT_EQ(ini.GetInt("LoggingLevel", "LC_OPT", 1), 1) << "commented out";
  EXPECT_EQ(ini.GetString("LoggingLevel", "Eq", ""), "a=b");
  EXPECT_EQ(ini.GetInt("", "orphan", 3), 3) << "keys before any section belong to none";
  EXPECT_EQ(ini.GetInt("Nowhere", "LC_USER", 8), 8);
}

}  // namespace
}  // namespace tobric
