// The real corvaned as a whole: what a stop leaves behind and what a restart
// finds, its debug console on standard input, and the corvane program itself
// (its usage errors, starting the service when it is not running). The service's parts (the guard,
// the RPC server, the console's commands, the client's commands) are pinned by their own tests;
// these show that the program wires them together.
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/platform/named_event.h"
#include "base/platform/named_mutex.h"
#include "gtest/gtest.h"
#include "package/package.h"
#include "service/app.h"
#include "tests/e2e/service_fixture_testutil.h"

namespace corvane::e2e {
namespace {

using lorvane::PackageView;
using lorvane::STATE_ERROR;
using tobric::platform::ChildProgram;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

bool ReadyEventSet() {
  std::unique_ptr<tobric::platform::NamedEvent> ready;
  return Succeeded(tobric::platform::NamedEvent::Open(
             lorvane::kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, nullptr)) &&
         ready->IsSet();
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// SIGTERM goes through the stop sequence (the signals are blocked before any
// thread exists, so no thread ends the process midway through a save).
TEST_F(ServiceTest, TerminateSignalSavesTheListAndARestartGivesNewIds) {
  std::map<std::string, int32_t> codes;  // uri -> error code
  std::vector<std::string> ids;
  for (const std::string& uri : {RefusedUri("a.mp4"), RefusedUri("b.mp4")}) {
    std::string id;
    ASSERT_NO_FATAL_FAILURE(AddPackage(uri, &id));
    PackageView failed;
    ASSERT_TRUE(WaitForPackage(id,
                               [&](const PackageView& p) {
                                 failed = p;
                                 return p.state == STATE_ERROR;
                               }))
        << uri << " did not end in error";
    codes[uri] = failed.error_code;
    ids.push_back(id);
  }

  client_.Disconnect();
  ASSERT_TRUE(service_->process().Signal(ChildProgram::StopSignal::kTerminate));
  ASSERT_TRUE(service_->process().WaitForExit(kExitServiceLimit)) << "SIGTERM did not stop it";
  EXPECT_EQ(service_->process().exit_code(), kExitOk);
  const std::string list = ReadFileText(user_.list_file());
  for (const auto& [uri, code] : codes)
    EXPECT_TRUE(Contains(list, "<uri>" + uri + "</uri>")) << list;
  EXPECT_FALSE(std::filesystem::exists(user_.socket_path())) << "the socket outlived the service";
  EXPECT_FALSE(ReadyEventSet()) << "a stopped service still says it is ready";

  ASSERT_NO_FATAL_FAILURE(StartService());
  std::vector<PackageView> packages;
  ASSERT_NO_FATAL_FAILURE(ListPackages(&packages));
  ASSERT_EQ(packages.size(), codes.size());
  for (const PackageView& package : packages) {
    ASSERT_EQ(codes.count(package.uri), 1u) << package.uri;
    EXPECT_EQ(std::count(ids.begin(), ids.end(), package.id), 0) << "id kept: " << package.id;
    EXPECT_EQ(package.state, STATE_ERROR);
    EXPECT_EQ(package.error_code, codes[package.uri]);
  }
}

class DebugConsoleTest : public ServiceTest {
 protected:
  ServiceProcess::Options StartOptions() const override {
    ServiceProcess::Options options;
    options.args = {"-with-terminal"};
    options.pipe_input = true;
    return options;
  }

  // Types one line and waits for its result line ("ret:0x...", then a blank line).
  void Type(const std::string& line, const std::string& result) {
    ChildProgram& console = service_->process();
    const size_t before = console.Output().size();
    ASSERT_TRUE(console.WriteInput(line + "\n")) << line;
    EXPECT_TRUE(console.WaitForOutput(
        [&](const std::string& out) { return Contains(out.substr(before), result + "\n\n"); },
        kChangeLimit))
        << "no '" << result << "' for '" << line << "'; output:\n"
        << console.Output();
  }
};

// The console's `exit` sets the shutdown event (its own test), which stops the
// service (the app's test); the end of its input ends only the console.
TEST_F(DebugConsoleTest, ConsoleDrivesTheServiceAndItsEndLeavesTheServiceServing) {
  const std::string uri = RefusedUri("console.mp4");
  ASSERT_NO_FATAL_FAILURE(Type("download " + uri, "ret:0x0"));
  service_->process().CloseInput();
  bool exists = false;
  ASSERT_EQ(client_.IsUriExist(uri, &exists), S_OK);
  EXPECT_TRUE(exists) << "the console's download is not the service's";
  EXPECT_TRUE(service_->running());
}

TEST(CliWithoutServiceTest, BadUsageExitsWithTwoAndAHint) {
  TestUser user;
  const CommandResult usage = RunCorvane({"frobnicate"});
  EXPECT_EQ(usage.exit_code, kExitUsage);
  EXPECT_TRUE(Contains(usage.err, "Try 'corvane --help'.")) << usage.err;
}

TEST(CliWithoutServiceTest, GetStartsTheServiceWhenItIsNotRunning) {
  TestUser user;

  const std::string uri = RefusedUri("x.mp4");
  const CommandResult result = RunCorvane({"get", uri});
  EXPECT_EQ(result.exit_code, kExitFailure) << result.out << result.err;
  EXPECT_TRUE(Contains(result.err, "download failed: x.mp4: ")) << result.err;

  // corvane left the service running, detached: no process of the test's to
  // reap, so the end of the service's instance lock tells that it ended.
  lorvane::Client client;
  ASSERT_EQ(client.Connect(), S_OK) << "corvane did not leave the service running";
  bool exists = false;
  ASSERT_EQ(client.IsUriExist(uri, &exists), S_OK);
  EXPECT_TRUE(exists);
  ASSERT_EQ(client.ExitService(), S_OK);
  client.Disconnect();
  std::unique_ptr<tobric::platform::NamedMutex> instance;
  ASSERT_EQ(
      tobric::platform::NamedMutex::Open(lorvane::kInstanceMutexName,
                                         tobric::platform::ObjectScope::kUser, &instance, nullptr),
      S_OK);
  ASSERT_TRUE(instance->Lock(static_cast<uint32_t>(kExitServiceLimit.count())))
      << "the service corvane started did not stop";
  instance->Unlock();
  EXPECT_TRUE(Contains(ReadFileText(user.list_file()), uri));
}

}  // namespace
}  // namespace corvane::e2e
