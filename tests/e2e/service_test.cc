// The life of the real corvaned: one instance per user, the ways it stops and
// what it leaves behind, a restart, and the refusal of other users' clients.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/platform/named_event.h"
#include "base/platform/other_user_testutil.h"
#include "gtest/gtest.h"
#include "service/app.h"
#include "service/rpc_protocol.h"
#include "service/rpc_test_client_testutil.h"
#include "tests/e2e/service_fixture_testutil.h"

namespace corvane::e2e {
namespace {

using tobric::platform::ChildProgram;

// The exit status of a second instance: the low byte of E_ALREADY_RUNNING.
constexpr int kAlreadyRunningStatus = 0x1B;

bool ReadyEventSet() {
  std::unique_ptr<tobric::platform::NamedEvent> ready;
  return Succeeded(tobric::platform::NamedEvent::Open(
             lorvane::kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, nullptr)) &&
         ready->IsSet();
}

std::string UriElement(const std::string& uri) { return "<uri>" + uri + "</uri>"; }

class ServiceLifecycleTest : public ServiceTest {
 protected:
  // Adds downloads of refused URIs and waits until each has failed, so that
  // nothing about them changes any more.
  void AddSettledPackages(const std::vector<std::string>& uris, std::vector<std::string>* ids) {
    for (const std::string& uri : uris) {
      std::string id;
      ASSERT_NO_FATAL_FAILURE(AddPackage(uri, &id));
      ASSERT_TRUE(WaitForPackage(id, [](const auto& p) { return p.state == 7; }))
          << uri << " did not end in error";
      ids->push_back(id);
    }
  }

  // Waits until the delayed save has written every URI to download_list.db
  // with the failure it settled on: a save made while a download was still
  // failing holds error code 0 and is followed by another one.
  bool WaitForSavedList(const std::vector<std::string>& uris) {
    const auto deadline = std::chrono::steady_clock::now() + kChangeLimit;
    for (;;) {
      const std::string list = ReadFileText(user_.list_file());
      if (list.find("error_code=\"0\"") == std::string::npos &&
          std::all_of(uris.begin(), uris.end(), [&](const std::string& uri) {
            return list.find(UriElement(uri)) != std::string::npos;
          })) {
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(Milliseconds(100));
    }
  }
};

TEST_F(ServiceLifecycleTest, SecondInstanceEndsWithAlreadyRunningAndTouchesNothing) {
  const std::vector<std::string> uris = {RefusedUri("first.mp4")};
  std::vector<std::string> ids;
  ASSERT_NO_FATAL_FAILURE(AddSettledPackages(uris, &ids));
  ASSERT_TRUE(WaitForSavedList(uris));
  const std::string list_before = ReadFileText(user_.list_file());
  const std::string config_before = ReadFileText(user_.config_file());

  ServiceProcess second;
  std::string error;
  ASSERT_TRUE(second.Start({}, &error)) << error;
  ASSERT_TRUE(second.process().WaitForExit(kReadyLimit)) << "the second instance kept running";
  EXPECT_EQ(second.process().exit_code(), kAlreadyRunningStatus) << second.process().Errors();

  EXPECT_EQ(ReadFileText(user_.list_file()), list_before);
  EXPECT_EQ(ReadFileText(user_.config_file()), config_before);
  EXPECT_TRUE(ReadyEventSet()) << "the second instance reset the first one's readiness";
  EXPECT_TRUE(service_->running());
  // The first one still serves, on the connection it had and on a new one.
  int32_t count = -1;
  ASSERT_EQ(client_.GetPackageCount(&count), S_OK);
  EXPECT_EQ(count, 1);
  lorvane::Client fresh;
  ASSERT_EQ(fresh.Connect(), S_OK);
  lorvane::PackageView package;
  bool found = false;
  ASSERT_EQ(fresh.GetPackageInfo(ids[0], &package, &found), S_OK);
  EXPECT_TRUE(found);
}

TEST_F(ServiceLifecycleTest, ExitServiceEndsWithCodeZeroAndSavesTheList) {
  const std::vector<std::string> uris = {RefusedUri("one.mp4"), RefusedUri("two.mp4")};
  std::vector<std::string> ids;
  ASSERT_NO_FATAL_FAILURE(AddSettledPackages(uris, &ids));

  // Sooner than the delayed save: the stop itself must write the list.
  ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());
  const std::string list = ReadFileText(user_.list_file());
  for (const std::string& uri : uris) {
    EXPECT_NE(list.find(UriElement(uri)), std::string::npos) << list;
  }
  EXPECT_FALSE(std::filesystem::exists(user_.socket_path())) << "the socket outlived the service";
  EXPECT_FALSE(ReadyEventSet()) << "a stopped service still says it is ready";
  lorvane::Client late;
  EXPECT_TRUE(Failed(late.Connect()));
}

TEST_F(ServiceLifecycleTest, TerminateSignalStopsTheSameWay) {
  const std::vector<std::string> uris = {RefusedUri("signalled.mp4")};
  std::vector<std::string> ids;
  ASSERT_NO_FATAL_FAILURE(AddSettledPackages(uris, &ids));
  client_.Disconnect();

  ASSERT_TRUE(service_->process().Signal(ChildProgram::StopSignal::kTerminate));
  ASSERT_TRUE(service_->process().WaitForExit(kExitServiceLimit)) << "SIGTERM did not stop it";
  EXPECT_EQ(service_->process().exit_code(), 0);
  EXPECT_NE(ReadFileText(user_.list_file()).find(UriElement(uris[0])), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(user_.socket_path()));
  EXPECT_FALSE(ReadyEventSet());
}

TEST_F(ServiceLifecycleTest, RestartGivesNewIdsToTheSameDownloads) {
  const std::vector<std::string> uris = {RefusedUri("a.mp4"), RefusedUri("b.mp4")};
  std::vector<std::string> ids;
  ASSERT_NO_FATAL_FAILURE(AddSettledPackages(uris, &ids));
  std::map<std::string, int32_t> codes;  // uri -> error code
  for (const std::string& id : ids) {
    lorvane::PackageView package;
    ASSERT_TRUE(FindPackage(id, &package));
    codes[package.uri] = package.error_code;
  }

  ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());
  ASSERT_NO_FATAL_FAILURE(StartService());

  std::vector<lorvane::PackageView> packages;
  ASSERT_NO_FATAL_FAILURE(ListPackages(&packages));
  ASSERT_EQ(packages.size(), uris.size());
  for (const lorvane::PackageView& package : packages) {
    ASSERT_EQ(codes.count(package.uri), 1u) << package.uri;
    EXPECT_EQ(std::count(ids.begin(), ids.end(), package.id), 0) << "id kept: " << package.id;
    EXPECT_EQ(package.id.size(), 38u);
    // A download saved in error comes back in error with its code.
    EXPECT_EQ(package.state, 7);
    EXPECT_EQ(package.error_code, codes[package.uri]);
  }
}

// A peer of another user is closed before it is served, while the service's
// own user is answered. The service runs as the unprivileged user (a root
// service would refuse nobody's clients the same way, but root must not be
// refused by the test's own helpers); the test, as root, is the stranger.
class ServiceOtherUserTest : public ::testing::Test {
 protected:
  TestUser user_;
};

TEST_F(ServiceOtherUserTest, ConnectionOfAnotherUserIsClosed) {
  if (!tobric::platform::CanRunAsOtherUser()) GTEST_SKIP() << "only root can switch users";
  const uint32_t other = tobric::platform::kNobodyId;
  // The other user's folders, reachable through the test's root folder.
  ASSERT_TRUE(tobric::platform::SetModeForTest(user_.root(), 0711));
  const std::string base = user_.root() + "/other";
  std::filesystem::create_directories(base);
  ASSERT_TRUE(tobric::platform::SetModeForTest(base, 0711));
  EnvironmentChanges environment;
  for (const auto& [name, sub] :
       std::vector<std::pair<std::string, std::string>>{{"HOME", "home"},
                                                        {"XDG_DATA_HOME", "data"},
                                                        {"XDG_CONFIG_HOME", "config"},
                                                        {"XDG_RUNTIME_DIR", "run"},
                                                        {"TMPDIR", "tmp"},
                                                        {"TOBRIC_MACHINE_OBJECT_DIR", "machine"}}) {
    const std::string folder = base + "/" + sub;
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(tobric::platform::ChangeOwnerForTest(folder, other));
    ASSERT_TRUE(tobric::platform::SetModeForTest(folder, 0700));
    environment.emplace_back(name, folder);
  }
  const std::string socket =
      base + "/run/VELMO_TOBRIC_BASE-" + std::to_string(other) + "/" + lorvane::rpc::kSocketName;

  ServiceProcess service;
  ServiceProcess::Options options;
  options.run_as_id = other;
  options.environment = environment;
  std::string error;
  if (!service.Start(options, &error)) {
    GTEST_SKIP() << "corvaned cannot be run as user " << other << ": " << error;
  }
  // The socket appears before the readiness event, which lives in the other
  // user's object folder; connecting is what counts here.
  const auto deadline = std::chrono::steady_clock::now() + kReadyLimit;
  while (!std::filesystem::exists(socket) && service.running() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(Milliseconds(50));
  }
  ASSERT_TRUE(std::filesystem::exists(socket))
      << "no socket; corvaned's exit code " << service.process().exit_code() << ": "
      << service.process().Errors();

  std::unique_ptr<lorvane::testing::RpcTestClient> stranger =
      lorvane::testing::RpcTestClient::Connect(socket);
  ASSERT_NE(stranger, nullptr);
  const lorvane::testing::Answer refused = stranger->Exchange(lorvane::rpc::BindRequestBody());
  EXPECT_FALSE(refused.received) << "a peer of another user was answered";

  const int own = tobric::platform::RunAsOtherUser([&socket] {
    std::unique_ptr<lorvane::testing::RpcTestClient> client =
        lorvane::testing::RpcTestClient::ConnectBound(socket);
    if (client == nullptr) return 1;
    const lorvane::testing::Answer count = client->Call(lorvane::rpc::kGetPackageCount);
    return count.received && count.status == 0 ? 0 : 2;
  });
  EXPECT_EQ(own, 0) << "the service's own user was not served";

  const ServiceProcess::StopPath path = service.Stop(/*use_exit_service=*/false);
  EXPECT_EQ(path, ServiceProcess::StopPath::kTerminate) << StopPathName(path);
  EXPECT_EQ(service.process().exit_code(), 0) << service.process().Errors();
}

}  // namespace
}  // namespace corvane::e2e
