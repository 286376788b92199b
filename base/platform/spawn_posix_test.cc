#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/platform/error.h"
#include "base/platform/named_event.h"
#include "base/platform/spawn.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

// The spawned program reports through a file and then sets an event, so the
// test waits for the event (bounded) instead of polling for the file.
class SpawnDetachedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(NamedEvent::Open("spawn-done", ObjectScope::kUser, &done_, nullptr), S_OK);
  }

  // A shell command run detached, after `prelude`. Its output goes to
  // report_; then it marks the event file as set (the file holds "1" when
  // set). Standard output is moved with exec, so that the shell keeps no saved
  // copy of the old one open while the command runs.
  HRESULT RunShell(const std::string& command, const std::string& prelude = ":") {
    const std::string script = prelude + "; exec > '" + report_ + ".tmp'; " + command +
                               "; exec > /dev/null; mv '" + report_ + ".tmp' '" + report_ +
                               "'; printf 1 > '" + done_->path() + ".tmp'; mv '" + done_->path() +
                               ".tmp' '" + done_->path() + "'";
    return SpawnDetached("/bin/sh", {"-c", script});
  }

  std::string Report() {
    if (!done_->Wait(10'000)) return "timed out";
    std::ifstream file(report_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  IsolatedEnv env_;
  std::unique_ptr<NamedEvent> done_;
  std::string report_ = env_.root() + "/report";
};

TEST_F(SpawnDetachedTest, ProgramRunsInItsOwnSessionWithNullStreams) {
  // The streams are read before the report takes over standard output.
  ASSERT_EQ(RunShell("printf '%s\\n' \"$s0\" \"$s1\" \"$s2\"; "
                     "cut -d' ' -f6 /proc/$$/stat; cut -d' ' -f4 /proc/$$/stat; pwd",
                     "s0=$(readlink /proc/$$/fd/0); s1=$(readlink /proc/$$/fd/1); "
                     "s2=$(readlink /proc/$$/fd/2)"),
            S_OK);
  std::istringstream lines(Report());
  std::string line[6];
  for (std::string& text : line) std::getline(lines, text);
  EXPECT_EQ(line[0] + line[1] + line[2], "/dev/null/dev/null/dev/null");
  EXPECT_NE(line[3], std::to_string(getsid(0)));
  EXPECT_NE(line[4], std::to_string(getpid())) << "not our child: nobody here has to reap it";
  EXPECT_EQ(line[5], "/");
}

TEST_F(SpawnDetachedTest, NoDescriptorOfTheCallerLeaks) {
  // Opened without close-on-exec: a plain fork and exec would hand it on.
  const int leaky = dup(STDERR_FILENO);
  ASSERT_GE(leaky, 3);
  ASSERT_EQ(RunShell("ls /proc/$$/fd"), S_OK);
  close(leaky);
  EXPECT_EQ(Report(), "0\n1\n2\n");
}

TEST_F(SpawnDetachedTest, IgnoredSignalsAreRestored) {
  struct sigaction ignore {};
  struct sigaction saved {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGINT, &ignore, &saved), 0);
  const HRESULT hr = RunShell("grep SigIgn /proc/$$/status");
  sigaction(SIGINT, &saved, nullptr);
  ASSERT_EQ(hr, S_OK);
  const std::string report = Report();
  ASSERT_EQ(report.rfind("SigIgn:", 0), 0u) << report;
  const unsigned long long ignored = std::stoull(report.substr(7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGINT - 1)), 0u) << report;
}

TEST_F(SpawnDetachedTest, ArgumentsArriveUnchanged) {
  const std::string script = "exec > '" + report_ + ".tmp'; printf '%s|' \"$@\"; mv '" + report_ +
                             ".tmp' '" + report_ + "'; printf 1 > '" + done_->path() +
                             ".tmp'; mv '" + done_->path() + ".tmp' '" + done_->path() + "'";
  ASSERT_EQ(SpawnDetached("/bin/sh", {"-c", script, "argv0", "two words", "", "电影"}), S_OK);
  EXPECT_EQ(Report(), "two words||电影|");
}

TEST(SpawnDetachedFailureTest, ProgramThatCannotRunIsReported) {
  IsolatedEnv env;
  EXPECT_EQ(SpawnDetached(env.root() + "/missing", {}), HresultFromWin32(kErrorFileNotFound));
  const std::string text_file = env.root() + "/plain";
  std::ofstream(text_file) << "data";
  EXPECT_EQ(SpawnDetached(text_file, {}), HresultFromWin32(kErrorAccessDenied));
  EXPECT_EQ(SpawnDetached("", {}), E_INVALIDARG);
}

}  // namespace
}  // namespace tobric::platform
