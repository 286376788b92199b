#include "base/platform/trace_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "base/platform/error.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

constexpr char kName[] = "{9B18BFF9-915E-4CC1-9C3E-F4AC112CB36C}";

// Collects the control requests the listener reports.
class Controls {
 public:
  TraceSocketListener::ControlCallback Callback() {
    return [this](TraceControl control, uint64_t session, const TraceEnableRequest& request) {
      std::lock_guard<std::mutex> hold(mutex_);
      seen_.push_back(Seen{control, session, request.flags, request.level});
      changed_.notify_all();
    };
  }
  struct Seen {
    TraceControl control;
    uint64_t session;
    uint32_t flags;
    uint8_t level;
  };
  std::vector<Seen> WaitFor(size_t count) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait_for(hold, std::chrono::seconds(10), [&] { return seen_.size() >= count; });
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> seen_;
};

TEST(TraceSocketTest, EnableDisableAndRecordsOverADeepObjectFolder) {
  IsolatedEnv outer;
  // The inner folder lies inside the outer TMPDIR: its socket path no longer fits
  // a socket address and must be reached through the folder.
  IsolatedEnv inner;
  Controls controls;
  std::unique_ptr<TraceSocketListener> listener;
  ASSERT_EQ(TraceSocketListener::Start(kName, controls.Callback(), &listener), S_OK);
  ASSERT_GT(listener->path().size(), 107u);

  std::unique_ptr<TraceSocketClient> client;
  ASSERT_EQ(TraceSocketClient::Connect(kName, &client), S_OK);
  ASSERT_EQ(client->SendEnable(TraceEnableRequest{0x01020304, 7}), S_OK);
  auto seen = controls.WaitFor(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].control, TraceControl::kEnable);
  EXPECT_EQ(seen[0].flags, 0x01020304u);
  EXPECT_EQ(seen[0].level, 7);
  const uint64_t session = seen[0].session;

  EXPECT_FALSE(listener->Send(session + 1, "x", 1)) << "not the attached session";
  const uint8_t record[] = {3, 0, 0, 0, 'a', 'b', 'c'};
  ASSERT_TRUE(listener->Send(session, record, sizeof(record)));
  std::vector<uint8_t> received;
  ASSERT_EQ(client->ReadRecord(10000, &received), S_OK);
  EXPECT_EQ(received, (std::vector<uint8_t>{'a', 'b', 'c'}));

  // A second session is refused while one is attached.
  std::unique_ptr<TraceSocketClient> second;
  ASSERT_EQ(TraceSocketClient::Connect(kName, &second), S_OK);
  EXPECT_EQ(second->ReadRecord(10000, &received), HresultFromWin32(109));

  client.reset();
  seen = controls.WaitFor(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].control, TraceControl::kDisable);
  EXPECT_EQ(seen[1].session, session);
  EXPECT_FALSE(listener->Send(session, record, sizeof(record)));

  const std::string path = listener->path();
  listener.reset();
  EXPECT_FALSE(std::filesystem::exists(path)) << "the socket goes with its listener";
}

TEST(TraceSocketTest, ConnectionThatNeverEnablesReportsNothing) {
  IsolatedEnv env;
  Controls controls;
  std::unique_ptr<TraceSocketListener> listener;
  ASSERT_EQ(TraceSocketListener::Start(kName, controls.Callback(), &listener), S_OK);
  {
    std::unique_ptr<TraceSocketClient> probe;
    ASSERT_EQ(TraceSocketClient::Connect(kName, &probe), S_OK);
  }
  std::unique_ptr<TraceSocketClient> client;
  ASSERT_EQ(TraceSocketClient::Connect(kName, &client), S_OK);
  ASSERT_EQ(client->SendEnable(TraceEnableRequest{1, 1}), S_OK);
  const auto seen = controls.WaitFor(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].control, TraceControl::kEnable) << "the probe left no disable behind";
}

}  // namespace
}  // namespace tobric::platform
