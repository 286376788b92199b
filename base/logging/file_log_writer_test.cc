#include "base/logging/file_log_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/logging/logging.h"
#include "base/platform/named_mutex.h"
#include "base/platform/process.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/logging_fixture.h"

namespace tobric {
namespace {

using testing::Utf16LeBytes;

const std::string kMark = "\xFF\xFE";

class FileLogWriterTest : public ::testing::Test {
 protected:
  // Logs through a logger made from the fixture's settings, as the program does.
  void LogThroughLogger(const std::vector<std::string>& texts) {
    Logging logger(fixture_.Options());
    Logging::SetCurrentForTesting(&logger);
    for (const std::string& text : texts) TLOG(LC_USER, 0, "%s", text.c_str());
    Logging::SetCurrentForTesting(nullptr);
  }

  FileLogWriter::Options WriterOptions(uint32_t max_file_size, bool wide, bool append) {
    FileLogWriter::Options options;
    options.path = fixture_.log_path();
    options.append = append;
    options.max_file_size = max_file_size;
    options.wide = wide;
    options.module_name = "tester";
    options.system_output = fixture_.output().AsOutput();
    return options;
  }

  // "[tester][pid:tid]" as lines of this thread begin without the time.
  static std::string Prefix() {
    return "[tester][" + std::to_string(platform::ProcessId()) + ":" +
           std::to_string(platform::ThreadId()) + "]";
  }

  static void Write(FileLogWriter& writer, const std::string& text) {
    writer.OutputMessage(LogEntry{LC_USER, 0, "", text});
  }

  testing::LoggingFixture fixture_;
};

TEST_F(FileLogWriterTest, LogFileIsWritableByEveryUserWhateverTheUmask) {
  FileLogWriter writer(WriterOptions(1000, false, true));
  Write(writer, "x");
  using std::filesystem::perms;
  const perms mode = std::filesystem::status(fixture_.log_path()).permissions();
  EXPECT_EQ(mode & (perms::owner_write | perms::group_write | perms::others_write),
            perms::owner_write | perms::group_write | perms::others_write);
}

TEST_F(FileLogWriterTest, SettingsChooseEncodingAppendingAndPath) {
  const std::string narrow = "[LoggingSettings]\nLogToFile=1\nShowTime=0\nLogFileWide=0\n";
  corvane::testsupport::WriteFile(fixture_.log_path(), "old\r\n");
  fixture_.WriteSettings(narrow);
  LogThroughLogger({"caf\xC3\xA9"});
  EXPECT_EQ(corvane::testsupport::ReadFile(fixture_.log_path()),
            "old\r\n" + Prefix() + "caf\xC3\xA9\r\n");

  fixture_.WriteSettings(narrow + "AppendToFile=0\n");
  LogThroughLogger({"anew"});
  EXPECT_EQ(corvane::testsupport::ReadFile(fixture_.log_path()), Prefix() + "anew\r\n");

  // A relative path is under the module folder, which is made when missing.
  fixture_.WriteSettings(narrow + "LogFilePath = logs/deeper/run.log\n");
  LogThroughLogger({"line"});
  EXPECT_EQ(corvane::testsupport::ReadFile(fixture_.folder() + "/logs/deeper/run.log"),
            Prefix() + "line\r\n");
}

TEST_F(FileLogWriterTest, FileAboveTheMaximumAtStartIsMovedToBak) {
  const std::string at_maximum(100, 'o');
  corvane::testsupport::WriteFile(fixture_.log_path(), at_maximum);
  {
    FileLogWriter writer(WriterOptions(100, /*wide=*/false, /*append=*/true));
    Write(writer, "more");
  }
  EXPECT_EQ(corvane::testsupport::ReadFile(fixture_.log_path()), at_maximum + "more\r\n");

  corvane::testsupport::WriteFile(fixture_.log_path() + ".bak", "older backup");
  {
    FileLogWriter writer(WriterOptions(100, /*wide=*/true, /*append=*/true));
    Write(writer, "fresh");
  }
  EXPECT_EQ(corvane::testsupport::ReadFile(fixture_.log_path() + ".bak"), at_maximum + "more\r\n");
  EXPECT_EQ(corvane::testsupport::ReadFile(fixture_.log_path()), kMark + Utf16LeBytes("fresh\r\n"));
}

TEST_F(FileLogWriterTest, FileReachingTenTimesTheMaximumIsEmptiedAndContinues) {
  FileLogWriter writer(WriterOptions(50, /*wide=*/false, /*append=*/false));
  uint64_t largest = 0;
  for (int i = 0; i < 40; ++i) {
    Write(writer, std::string(40, 'x'));  // 42 bytes with CR LF
    largest = std::max<uint64_t>(largest, std::filesystem::file_size(fixture_.log_path()));
  }
  // Emptied when at least 500 bytes are there, before the next line goes in.
  EXPECT_LT(largest, 500u + 42u);
  EXPECT_GE(largest, 500u);
  Write(writer, "last");
  const std::string contents = corvane::testsupport::ReadFile(fixture_.log_path());
  EXPECT_TRUE(contents.ends_with("last\r\n"));
  EXPECT_LT(contents.size(), 500u);
}

TEST_F(FileLogWriterTest, MutexHeldElsewhereMakesTheWriterUnusable) {
  FileLogWriter writer(WriterOptions(1000, /*wide=*/false, /*append=*/true));
  std::unique_ptr<platform::NamedMutex> other;
  ASSERT_EQ(platform::NamedMutex::Open(writer.mutex_name(), platform::ObjectScope::kMachine, &other,
                                       nullptr),
            S_OK);
  ASSERT_TRUE(other->Lock(0));
  Write(writer, "blocked");
  other->Unlock();
  Write(writer, "still nothing");

  EXPECT_FALSE(writer.usable());
  EXPECT_FALSE(std::filesystem::exists(fixture_.log_path()));
  EXPECT_TRUE(fixture_.output().joined().starts_with(
      "LOG_SYSTEM: [tester]: Could not acquire logging mutex _Velmo_Tobric_logging_mutex_"));
}

TEST_F(FileLogWriterTest, TwoProcessesShareTheMutexAndTheSecondAppends) {
  constexpr int kLines = 200;
  FileLogWriter parent(WriterOptions(10000000, /*wide=*/false, /*append=*/false));
  Write(parent, "parent opened");

  platform::ChildProcess child;
  ASSERT_TRUE(child.Start([&](platform::ChildProcess& self) {
    // Without append this writer would wipe the parent's lines, unless it sees
    // that the mutex is open elsewhere.
    FileLogWriter second(WriterOptions(10000000, /*wide=*/false, /*append=*/false));
    Write(second, "child opened");
    self.Send('o');
    for (int i = 0; i < kLines; ++i) Write(second, "child line " + std::to_string(i));
    return 0;
  }));
  char signal = 0;
  ASSERT_TRUE(child.Receive(&signal));
  for (int i = 0; i < kLines; ++i) Write(parent, "parent line " + std::to_string(i));
  ASSERT_EQ(child.Wait(), 0);

  const std::string text = corvane::testsupport::ReadFile(fixture_.log_path());
  std::multiset<std::string> lines, expected{"parent opened", "child opened"};
  for (size_t start = 0, end; start < text.size(); start = end + 2) {
    end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "a torn last line";
    lines.insert(text.substr(start, end - start));
  }
  for (int i = 0; i < 2 * kLines; ++i)
    expected.insert((i % 2 ? "parent" : "child") + std::string(" line ") + std::to_string(i / 2));
  EXPECT_TRUE(lines == expected) << "every line whole and once";
}

}  // namespace
}  // namespace tobric
