// The application's lifecycle inside the test program: start, the guard, the
// readiness event, and a stop asked for before Run (the stops by ExitService and
// by SIGTERM, and the left-over shutdown event a restart after SIGTERM must
// clear, are the end-to-end tests'). The engine is a center with a recording
// fake download manager, installed as the process's center.
#include "service/app.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "base/platform/locations.h"
#include "base/platform/named_event.h"
#include "base/platform/process.h"
#include "service/data_folder_lock.h"
#include "service/rpc_protocol.h"
#include "service/shutdown.h"
#include "tests/support/engine/package_fakes.h"
#include "tests/support/engine/rpc_test_client.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

using testing::RpcTestClient;

constexpr uint32_t kWaitLimitMs = 10000;
constexpr auto kWaitLimit = std::chrono::milliseconds(kWaitLimitMs);

class AppTest : public ::testing::Test {
 protected:
  AppTest() : center_(env_.root() + "/downloads") {
    std::filesystem::create_directories(env_.root() + "/downloads");
    std::string folder;
    EXPECT_EQ(tobric::platform::GetObjectFolder(&folder), S_OK);
    socket_path_ = tobric::platform::JoinPath(folder, rpc::kSocketName);
    EXPECT_EQ(tobric::platform::NamedEvent::Open(
                  kReadyEventName, tobric::platform::ObjectScope::kUser, &ready_, nullptr),
              S_OK);
  }

  static AppOptions Options() {
    AppOptions options;
    options.handle_signals = false;
    return options;
  }

  // Runs app->Run on a thread of its own once the readiness event says it serves.
  std::future<void> RunUntilReady(App* app) {
    std::future<void> running = std::async(std::launch::async, [app] { app->Run(); });
    EXPECT_TRUE(ready_->Wait(kWaitLimitMs));
    return running;
  }

  // Run has returned and stopped the engine. (What a stop leaves behind is the
  // end-to-end tests'.)
  void ExpectStopped(std::future<void>* running) {
    ASSERT_EQ(running->wait_for(kWaitLimit), std::future_status::ready);
    EXPECT_TRUE(center_.center()->stopped());
  }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_;
  testing::FakeManagerCenter center_;
  std::string socket_path_;
  std::unique_ptr<tobric::platform::NamedEvent> ready_;
};

// A second start in the same session finds the first by its object folder; a
// second session of the same user (a service unit beside an ssh login) has an
// object folder of its own but shares the data folder, so its service must not
// run on the same config.db and download_list.db either.
TEST_F(AppTest, SecondInstanceEndsWithAlreadyRunningAndTouchesNothing) {
  std::string first_folder;
  ASSERT_EQ(tobric::platform::GetObjectFolder(&first_folder), S_OK);
  App first(Options());
  ASSERT_EQ(first.Initialize(), S_OK);
  // Clients find the lock where the service without options takes it.
  EXPECT_TRUE(std::filesystem::exists(DataFolderLockPath(DefaultUserDataFolder())));
  {
    std::filesystem::create_directories(env_.root() + "/run2");
    corvane::testsupport::ScopedEnv other_session("XDG_RUNTIME_DIR", env_.root() + "/run2");
    App other(Options());
    EXPECT_EQ(other.Initialize(), E_ALREADY_RUNNING);
    EXPECT_EQ(log_.Count("runtime folder " + first_folder + ".]"), 1u);
  }
  std::future<void> running = RunUntilReady(&first);
  App second(Options());
  EXPECT_EQ(second.Initialize(), E_ALREADY_RUNNING);
  // The refused starts neither reset the shutdown event nor took the socket.
  std::unique_ptr<RpcTestClient> client = RpcTestClient::ConnectBound(socket_path_);
  EXPECT_TRUE(client != nullptr && client->Call(rpc::kGetPackageCount).status == 0);
  tobric::SignalShutdown();
  ExpectStopped(&running);
}

// An object folder open to others is refused as such, not taken for a running
// instance.
TEST_F(AppTest, RefusedObjectFolderIsSaidToBeRefused) {
  const std::string run = env_.root() + "/run3";
  std::filesystem::create_directories(run);
  corvane::testsupport::ScopedEnv open_session("XDG_RUNTIME_DIR", run);
  std::string folder;
  ASSERT_EQ(tobric::platform::GetObjectFolder(&folder), S_OK);
  std::filesystem::permissions(folder, std::filesystem::perms::all);
  App app(Options());
  EXPECT_EQ(app.Initialize(), static_cast<HRESULT>(0x80070005));  // access denied
  EXPECT_EQ(log_.Count("[App::Initialize][The object folder is refused"), 1u);
  EXPECT_EQ(log_.Count("Other instance already running"), 0u);
}

// A stop asked for between Initialize and Run must not be lost.
TEST_F(AppTest, StopRequestedBeforeRunStillEndsRun) {
  App app(Options());
  ASSERT_EQ(app.Initialize(), S_OK);
  tobric::SignalShutdown();
  std::future<void> running = std::async(std::launch::async, [&app] { app.Run(); });
  ExpectStopped(&running);
}

}  // namespace
}  // namespace lorvane
