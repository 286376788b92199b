// The console's streams: prints cut in characters, typed lines, the log
// window's pipe messages from the terminal-mode console to the host, and the
// host's ends (broken pipe, bad handle) in a process of its own.
#include "console/console.h"

#include <gtest/gtest.h>

#include <string>

#include "base/platform/console_host.h"
#include "tests/support/console_pipes.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

using testing::InputFeed;
using testing::OutputCapture;
using testing::PipeMessage;
namespace platform = tobric::platform;

class ConsoleStreamsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(output_.ok()); }

  InputFeed input_;
  OutputCapture output_;
};

TEST_F(ConsoleStreamsTest, PrintIsCutAt512Characters) {
  Console console(input_.read_fd(), output_.write_fd());
  ASSERT_EQ(console.Init(), S_OK);
  console.Print("%s", std::string(600, 'x').c_str());
  // A character outside the basic plane is two units and is never split.
  console.Print("%s\xF0\x9F\x98\x80", std::string(511, 'y').c_str());
  console.PrintLine("ret:0x%x", 0x80070057u);
  // Written as it is: no format, no cut.
  console.Write("100%s done\n");
  output_.Close();
  EXPECT_EQ(output_.Text(), std::string(512, 'x') + std::string(511, 'y') +
                                "ret:0x80070057\n100%s done\n");
}

// A line longer than the buffer is refused whole: none of its pieces is read
// as a command, wherever the reads happen to cut it.
TEST_F(ConsoleStreamsTest, ReadLineSplitsTypedTextAndRefusesOverlongLines) {
  Console console(input_.read_fd(), output_.write_fd());
  ASSERT_TRUE(input_.Type("help\r\nstat on extra\n\n"));
  ASSERT_TRUE(input_.Type(std::string(600, 'z') + "\n" + std::string(512, 'y') + "\n"));
  ASSERT_TRUE(input_.Type(std::string(1500, 'x') + " exit\nlast"));
  input_.End();

  std::string line;
  std::vector<std::string> lines;
  for (HRESULT hr = S_OK; hr != S_FALSE;) {
    hr = console.ReadLine(&line);
    ASSERT_TRUE(hr == S_OK || hr == S_FALSE || hr == kLineTooLong) << hr;
    if (hr != S_FALSE) lines.push_back(hr == kLineTooLong ? "<refused>" : line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"help", "stat on extra", "", "<refused>",
                                             std::string(512, 'y'), "<refused>", "last"}));
  EXPECT_EQ(console.ReadLine(&line), S_FALSE);
}

TEST_F(ConsoleStreamsTest, WritesToAClosedWindowAreDroppedQuietly) {
  platform::PipeEnds pipe;
  ASSERT_EQ(platform::CreatePipe(&pipe), S_OK);
  platform::CloseFd(pipe.read_fd);
  std::unique_ptr<Console> terminal = Console::MakeTerminalMode(pipe.write_fd, {});
  // Without the signal held back this would end the test program.
  terminal->Print("nobody reads this\n");
  EXPECT_FALSE(terminal->writable());
  terminal->Print("nor this\n");
}

// The host of a log window ends with its pipe, or at once on a handle it cannot
// use, and quietly: nobody is there to read a complaint.
TEST(ConsoleHostDeathTest, HostExitsCleanlyWhenThePipeBreaksOrOnABadHandle) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  tobric::platform::IsolatedEnv env;
  platform::PipeEnds pipe;
  ASSERT_EQ(platform::CreatePipe(&pipe), S_OK);
  const std::string message = PipeMessage(u"last words\n");
  ASSERT_EQ(platform::WriteFdFully(pipe.write_fd, message.data(), message.size()), S_OK);
  platform::CloseFd(pipe.write_fd);
  for (const std::string& value : {std::to_string(pipe.read_fd), std::string(), std::string("abc"),
                                   std::string("12x"), std::string("-3"), std::string("99999")}) {
    Options options;
    ASSERT_EQ(options.Parse({"corvaned", "-with-console", "-input", value}), S_OK);
    ASSERT_TRUE(IsConsoleHostRequested(options));
    EXPECT_EXIT(RunConsoleHost(options), ::testing::ExitedWithCode(0), "") << value;
  }
  platform::CloseFd(pipe.read_fd);
}

}  // namespace
}  // namespace lorvane
