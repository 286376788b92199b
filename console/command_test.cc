// The command loop and the twelve commands, driven through a pipe standing for
// the keyboard, over an offline center whose download manager only records.
#include "console/command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "base/platform/named_event.h"
#include "console/commands.h"
#include "console/console.h"
#include "console/stat_command.h"
#include "service/shutdown.h"
#include "tests/support/console_pipes.h"
#include "tests/support/engine/package_fakes.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

using testing::InputFeed;
using testing::OutputCapture;

class CommandLoopTest : public ::testing::Test {
 protected:
  CommandLoopTest()
      : folder_(env_.root() + "/downloads"),
        center_(folder_),
        console_(input_.read_fd(), output_.write_fd()),
        registry_(&console_) {
    std::filesystem::create_directories(folder_);
  }

  // Types the lines, ends the input, runs the loop to its end and returns
  // everything it printed.
  std::string Run(const std::string& typed) {
    EXPECT_TRUE(input_.Type(typed));
    input_.End();
    RunCommandLoop(&registry_);
    StatCommand* stat = registry_.stat_command();
    if (stat->on()) static_cast<void>(stat->Execute("off"));
    output_.Close();
    return output_.Text();
  }

  tobric::platform::IsolatedEnv env_;
  const std::string folder_;
  testing::LogCapture log_;
  testing::FakeManagerCenter center_;
  InputFeed input_;
  OutputCapture output_;
  Console console_;
  CommandRegistry registry_;
};

TEST_F(CommandLoopTest, EmptyOrUnknownLinesShowTheHelpListing) {
  const std::string text = Run("\nfrobnicate now\nHELP\nhelp\n");
  const std::string help = text.substr(0, text.find("ret:0x0\n\n") + 9);
  EXPECT_TRUE(help.starts_with("All available commands are as follow:\nhelp \n")) << help;
  // Names are matched exactly: "HELP" is not a command either.
  EXPECT_EQ(text, help + help + help + help);
}

TEST_F(CommandLoopTest, SwitchesAcceptOnlyOnAndOff) {
  EXPECT_EQ(Run("stat\nstat ON\nlog maybe\nstat off\n"),
            "ret:0x80070057\n\nret:0x80070057\n\nret:0x80070057\n\nret:0x0\n\n");
}

TEST_F(CommandLoopTest, TypedLineSwitchesTheStatisticsOffFirst) {
  StatCommand* stat = registry_.stat_command();
  EXPECT_EQ(Run("stat on\nexist http://127.0.0.1/none\n"), "ret:0x0\n\nret:0x0\n\n");
  EXPECT_FALSE(stat->on());
  EXPECT_EQ(stat->timers_started(), 1u);
}

TEST_F(CommandLoopTest, PackageCommandsPassTheSecondWord) {
  EXPECT_EQ(Run("download http://127.0.0.1/a.mkv ignored words\n"
                "exist http://127.0.0.1/a.mkv\n"
                "exist http://127.0.0.1/b.mkv\n"
                "start {00000000-0000-0000-0000-000000000000}\n"
                "stop\n"
                "delete nothing\n"
                "deleteper nothing\n"),
            "ret:0x0\n\nret:0x1\n\nret:0x0\n\nret:0xa0440205\n\nret:0xa0440205\n\n"
            "ret:0xa0440205\n\nret:0xa0440205\n\n");
}

TEST_F(CommandLoopTest, ExitSetsTheShutdownEvent) {
  std::unique_ptr<tobric::platform::NamedEvent> event;
  ASSERT_EQ(tobric::platform::NamedEvent::Open(
                tobric::kShutdownEventName, tobric::platform::ObjectScope::kUser, &event, nullptr),
            S_OK);
  ASSERT_FALSE(event->IsSet());
  EXPECT_EQ(Run("exit\n"), "ret:0x0\n\n");
  EXPECT_TRUE(event->IsSet());
}

}  // namespace
}  // namespace lorvane
