#include "base/logging/logging.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/platform/error.h"
#include "base/platform/process.h"
#include "base/platform/testing/gate_testutil.h"
#include "tests/support/logging_fixture.h"

namespace tobric {
namespace {

using testing::FakeTicks;
using testing::RecordingWriter;

class LoggingTest : public ::testing::Test {
 protected:
  // Makes the logger and installs it for TLOG.
  Logging& MakeLogger() {
    logger_ = std::make_unique<Logging>(fixture_.Options());
    Logging::SetCurrentForTesting(logger_.get());
    return *logger_;
  }
  // A recording writer added to the logger, which is made on first use.
  RecordingWriter& AddWriter(std::function<bool(int32_t, int32_t)> filter = nullptr) {
    if (!logger_) MakeLogger();
    writers_.push_back(std::make_unique<RecordingWriter>(std::move(filter)));
    EXPECT_TRUE(logger_->AddLogWriter(writers_.back().get()));
    return *writers_.back();
  }
  void TearDown() override { Logging::SetCurrentForTesting(nullptr); }

  testing::LoggingFixture fixture_;
  std::vector<std::unique_ptr<RecordingWriter>> writers_;  // outlive the logger
  std::unique_ptr<Logging> logger_;
};

TEST_F(LoggingTest, WritersReceiveWhatTheirFiltersAccept) {
  // Without a settings file only added writers receive, and no file appears.
  RecordingWriter& all = AddWriter();
  RecordingWriter& user = AddWriter([](int32_t category, int32_t) { return category == LC_USER; });
  RecordingWriter& detail = AddWriter([](int32_t, int32_t level) { return level <= 3; });

  TLOG(LC_USER, 0, "[Test::Run][hello %d %s]", 5, "world");
  EXPECT_EQ(all.texts(), std::vector<std::string>{"[Test::Run][hello 5 world]"});
  EXPECT_FALSE(std::filesystem::exists(fixture_.log_path()));
  EXPECT_EQ(fixture_.output().joined(), "");

  // Above the category's threshold only the writers whose filter accepts get it.
  TLOG(LC_USER, 3, "detail");
  EXPECT_EQ(detail.texts().back(), "detail");
  EXPECT_EQ(user.texts().back(), "detail");
  EXPECT_EQ(all.texts().size(), 1u);

  int evaluated = 0;
  auto argument = [&evaluated] { return ++evaluated; };
  TLOG(LC_OPT, 5, "nobody wants %d", argument());
  EXPECT_EQ(evaluated, 0) << "arguments of an unwanted statement are not evaluated";
  EXPECT_EQ(logger_->WriterMask(12, 0), 0u) << "a category above LC_USER is never logged";
}

// E_FAIL no longer says which errno it was: the mapping hands the errno to the
// logger first. Met inside the logger (a writer's own file, say), it goes to
// the system output, since a statement there would wait for the lock its own
// thread holds.
TEST_F(LoggingTest, ErrnoWithoutWin32NumberMetInsideTheLoggerGoesToTheSystemOutput) {
  RecordingWriter& writer = AddWriter();
  writer.set_on_output([] { static_cast<void>(platform::HresultFromErrno(ENOMSG)); });
  TLOG(LC_USER, 0, "outer");
  EXPECT_EQ(writer.texts().back(), "outer");
  EXPECT_EQ(fixture_.output().joined(), "LOG_SYSTEM: [tester]: errno " + std::to_string(ENOMSG) +
                                            " (" + platform::ErrnoText(ENOMSG) +
                                            ") has no Win32 number: E_FAIL\n");
}

TEST_F(LoggingTest, ChangedSettingsTakeEffectAfterTheRereadInterval) {
  fixture_.WriteSettings("[LoggingLevel]\nLC_USER=1\n");
  RecordingWriter& writer = AddWriter();
  TLOG(LC_USER, 3, "before");

  fixture_.WriteSettings("[LoggingLevel]\nLC_USER=3\n");
  FakeTicks::Advance(4999);
  TLOG(LC_USER, 0, "checks the clock");
  TLOG(LC_USER, 3, "too early");
  FakeTicks::Advance(1);
  TLOG(LC_USER, 0, "rereads");
  TLOG(LC_USER, 3, "after");

  EXPECT_EQ(writer.texts(), (std::vector<std::string>{"checks the clock", "rereads", "after"}));

  // The master switch gates everything, writers that want all messages included:
  // with logging off the mask is 0.
  writer.set_wants_all(true);
  fixture_.WriteSettings("[LoggingSettings]\nEnableLogging=0\n");
  FakeTicks::Advance(5000);
  TLOG(LC_USER, 0, "rereads again");
  TLOG(LC_USER, 0, "switched off");
  EXPECT_EQ(writer.texts().back(), "rereads again");
}

TEST_F(LoggingTest, LongMessagesAreWrittenWholeUpToTheLimitAndCutBeyond) {
  RecordingWriter& writer = AddWriter();
  // A two-byte character across the limit is dropped whole.
  const std::string at_limit(1048575, 'b'), beyond(2 * 1048576, 'c'),
      split = std::string(1048574, 'd') + "\xC3\xA9";
  for (const std::string* text : {&at_limit, &beyond, &split})
    TLOG(LC_USER, 0, "%s", text->c_str());
  EXPECT_EQ(writer.texts(), (std::vector<std::string>{at_limit, beyond.substr(0, 1048575),
                                                      std::string(1048574, 'd')}));
}

TEST_F(LoggingTest, BusyLoggerDropsAStatementAfterTwentyTriesButARemovalWaits) {
  RecordingWriter& writer = AddWriter();
  platform::testutil::Gate gate(/*open=*/false);
  writer.set_on_output([&gate] { gate.Pass(); });

  std::thread holder([] { TLOG(LC_USER, 0, "holds the lock"); });
  ASSERT_TRUE(gate.WaitArrived(1));
  TLOG(LC_USER, 0, "dropped");
  // A removal waits instead: the show-log command frees its writer right after.
  auto removed = std::async(std::launch::async, [&] { return logger_->RemoveLogWriter(&writer); });
  for (auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       fixture_.output().texts().size() < 2 && std::chrono::steady_clock::now() < limit;) {
    std::this_thread::yield();  // until the removal says it waits
  }
  EXPECT_EQ(removed.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  gate.Open();
  holder.join();
  EXPECT_TRUE(removed.get());

  EXPECT_EQ(writer.texts(), std::vector<std::string>{"holds the lock"});
  EXPECT_EQ(fixture_.output().joined(),
            "LOG_SYSTEM: Couldn't acquire lock - dropped\n"
            "LOG_SYSTEM: [tester]: removing a writer waits for the busy logger\n");
}

TEST_F(LoggingTest, AfterDisposeAStatementWritesOnlyTheShutDownText) {
  RecordingWriter& writer = AddWriter();
  TLOG(LC_USER, 0, "before");
  logger_->Dispose();
  TLOG(LC_USER, 0, "after");
  EXPECT_EQ(writer.texts(), std::vector<std::string>{"before"});
  EXPECT_EQ(fixture_.output().texts(),
            std::vector<std::string>{"LOG_SYSTEM: [tester]: ERROR - Calling the logging system "
                                     "after it has been shut down \n"});
}

TEST_F(LoggingTest, SettingsMakeTheBuiltInWriters) {
  fixture_.WriteSettings("[LoggingSettings]\nLogToFile=1\nLogToOutputDebug=1\nShowTime=0\n");
  Logging& logger = MakeLogger();
  TLOG(LC_USER, 0, "to stderr");
  EXPECT_EQ(logger.writer_count(), 3) << "trace, file and standard-error writers";
  EXPECT_EQ(fixture_.output().joined(), "[tester][" + std::to_string(platform::ProcessId()) + ":" +
                                            std::to_string(platform::ThreadId()) + "]to stderr\n");
}

}  // namespace
}  // namespace tobric
