// The real corvaned as a whole: what a SIGTERM leaves behind and what a
// restart finds, its debug console on standard input, and corvane's exit code
// for bad usage. The service's parts (the guard, the RPC server, the console's
// commands, the client's commands) are pinned by their own tests; these show
// that the program wires them together.
#include <string>
#include <vector>

#include "client/commands.h"
#include "gtest/gtest.h"
#include "tests/e2e/service_fixture_testutil.h"
#include "tests/support/files.h"
#include "tests/support/loopback_http_fixture.h"

namespace corvane::e2e {
namespace {

using tobric::platform::ChildProgram;

// SIGTERM goes through the stop sequence (the signals are blocked before any
// thread exists, so no thread ends the process midway through a save).
TEST_F(ServiceTest, TerminateSignalSavesTheListAndARestartGivesNewIds) {
  const std::string uri = testsupport::ClosedPortUrl("/a.mp4");
  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(uri, &id));
  PackageView failed;
  ASSERT_TRUE(WaitForEnd(id, &failed, kChangeLimit)) << Describe(failed);
  ASSERT_EQ(failed.state, lorvane::STATE_ERROR);

  client_.Disconnect();
  ASSERT_TRUE(service_->Signal(ChildProgram::StopSignal::kTerminate));
  ASSERT_TRUE(service_->WaitForExit(kChangeLimit)) << "SIGTERM did not stop it";
  EXPECT_EQ(service_->exit_code(), 0);
  EXPECT_NE(testsupport::ReadFile(user_.list_file()).find("<uri>" + uri + "</uri>"),
            std::string::npos);

  ASSERT_NO_FATAL_FAILURE(StartService());
  const std::vector<PackageView> packages = Packages();
  ASSERT_EQ(packages.size(), 1u);
  EXPECT_EQ(packages[0].uri, uri);
  EXPECT_NE(packages[0].id, id);
  EXPECT_EQ(packages[0].state, lorvane::STATE_ERROR);
  EXPECT_EQ(packages[0].error_code, failed.error_code)
      << lorvane::FormatCode(packages[0].error_code);
}

// The service starts itself again once, with the TLS library's start-up turned
// off; the process must still go by its own name, for ps, top and pgrep.
TEST_F(ServiceTest, ProcessListsShowTheServiceByItsName) {
  EXPECT_EQ(testsupport::ReadFile("/proc/" + std::to_string(service_->pid()) + "/comm"),
            "corvaned\n");
}

// The console's `exit` sets the shutdown event (its own test), which stops the
// service (the app's test); the end of its input ends only the console.
TEST_F(ServiceTest, DebugConsoleDrivesTheServiceAndItsEndLeavesTheServiceServing) {
  ASSERT_NO_FATAL_FAILURE(RestartService({.args = {"-with-terminal"}, .pipe_input = true}));
  const std::string uri = testsupport::ClosedPortUrl("/console.mp4");
  ASSERT_TRUE(service_->WriteInput("download " + uri + "\n"));
  // Its result line, then a blank line.
  EXPECT_TRUE(service_->WaitForOutput(
      [](const std::string& out) { return out.find("ret:0x0\n\n") != std::string::npos; },
      kChangeLimit))
      << service_->Output();
  service_->CloseInput();
  bool exists = false;
  ASSERT_EQ(client_.IsUriExist(uri, &exists), S_OK);
  EXPECT_TRUE(exists) << "the console's download is not the service's";
  EXPECT_FALSE(service_->exited());
}

TEST(CliWithoutServiceTest, BadUsageExitsWithTwoAndAHint) {
  TestUser user;
  ChildProgram corvane;
  std::string error;
  ASSERT_TRUE(corvane.Start({.argv = {CorvaneProgram(), "frobnicate"}, .environment = {}}, &error))
      << error;
  ASSERT_TRUE(corvane.WaitForExit(kDownloadLimit)) << "corvane did not end";
  EXPECT_EQ(corvane.exit_code(), lorvane::kExitUsage);
  EXPECT_NE(corvane.Errors().find("Try 'corvane --help'."), std::string::npos) << corvane.Errors();
}

}  // namespace
}  // namespace corvane::e2e
