// HTTP downloads from a real nginx on loopback, every finished file compared
// with its source: `corvane get` on a terminal starts the service it needs and
// shows the progress of each download.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/platform/run_program.h"
#include "gtest/gtest.h"
#include "tests/e2e/service_fixture_testutil.h"

namespace corvane::e2e {
namespace {

using HttpDownloadTest = NginxDownloadTest;
using testsupport::NginxServer;

// Runs tmux on the test's own server socket.
tobric::platform::RunProgramResult Tmux(const std::string& tmux, const std::string& socket,
                                        const std::vector<std::string>& args) {
  tobric::platform::RunProgramOptions options;
  options.argv = {tmux, "-S", socket};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  tobric::platform::RunProgramResult result;
  if (Failed(tobric::platform::RunProgram(options, &result))) result.exit_code = -1;
  return result;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// `corvane get` on a terminal, recorded with tmux: it starts the service it
// needs, takes one URI from its command line and two from standard input
// (-i -), draws one progress line per download and redraws them in place, then
// says where each file was saved; the files are the served bytes.
TEST_F(HttpDownloadTest, GetOnATerminalStartsTheServiceAndRedrawsOneLinePerDownload) {
  const std::string tmux = testsupport::FindProgram("tmux");
  if (tmux.empty()) GTEST_SKIP() << "tmux is not installed";
  const std::vector<std::string> names = {"one.bin", "two.bin", "three.bin"};
  for (size_t i = 0; i < names.size(); ++i) WriteRandomFile(www_ + "/" + names[i], 12 * kMiB, i);
  NginxServer nginx;
  // About two seconds a block: the display is caught between its first and last.
  ASSERT_TRUE(nginx.Start(www_, Paced(2 * kMiB))) << nginx.error();
  // The service keeps the download folder the test chose.
  ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());

  // Whatever the outcome, neither tmux nor the service corvane starts may
  // outlive the test.
  const std::string socket = user_.root() + "/tmux.sock";
  struct Cleanup {
    std::string tmux, socket;
    ~Cleanup() {
      static_cast<void>(Tmux(tmux, socket, {"kill-server"}));
      lorvane::Client client;
      if (Succeeded(client.Connect())) static_cast<void>(client.ExitService());
    }
  } cleanup{tmux, socket};
  const std::string command = "printf '" + nginx.Url("/two.bin") + "\\n" + nginx.Url("/three.bin") +
                              "\\n' | '" + CorvaneProgram() + "' get -i - " +
                              nginx.Url("/one.bin") + "; echo EXIT=$?; sleep 600";
  ASSERT_EQ(Tmux(tmux, socket, {"new-session", "-d", "-x", "100", "-y", "20", command}).exit_code,
            0);

  // A frame in the middle: every download on a line of its own, not all of
  // them done; the frames before it were drawn over, not added below.
  std::string shown;
  const auto poll_until = [&](const std::function<bool()>& done, Milliseconds limit) {
    for (const auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end;) {
      shown = Tmux(tmux, socket, {"capture-pane", "-p"}).output;
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a poll, not an order
    }
    return false;
  };
  ASSERT_TRUE(poll_until(
      [&] {
        return Occurrences(shown, "EXIT=") == 0 && Occurrences(shown, "%") > 0 &&
               Occurrences(shown, "done") < names.size();
      },
      kProgressLimit))
      << shown;
  for (const std::string& name : names) EXPECT_EQ(Occurrences(shown, name), 1u) << shown;

  ASSERT_TRUE(poll_until([&] { return Occurrences(shown, "EXIT=") > 0; }, kDownloadLimit)) << shown;
  EXPECT_EQ(Occurrences(shown, "EXIT=0"), 1u) << shown;
  for (const std::string& name : names) {
    // Its progress line, redrawn to the end, and where it was saved.
    EXPECT_EQ(Occurrences(shown, name), 2u) << shown;
    EXPECT_EQ(Occurrences(shown, "saved " + folder_ + "/" + name), 1u) << shown;
  }
  ASSERT_EQ(client_.Connect(), S_OK) << "corvane did not leave the service running";
  for (const PackageView& package : Packages()) {
    ASSERT_NO_FATAL_FAILURE(ExpectCompleted(package.id, www_ + "/" + package.name));
  }
}

}  // namespace
}  // namespace corvane::e2e
