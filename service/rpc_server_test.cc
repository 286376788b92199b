// The server's framing, bind, faults, limits and stop over a real socket, with a
// dispatcher that only counts and holds calls; the procedures themselves are
// tested in rpc_procedures_test.cc.
#include "service/rpc_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/platform/error.h"
#include "service/rpc_procedures.h"
#include "service/rpc_protocol.h"
#include "tests/support/child_process.h"
#include "tests/support/engine/rpc_test_client.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"

namespace lorvane {
namespace {

using testing::Answer;
using testing::RpcTestClient;

constexpr std::chrono::milliseconds kWaitLimit(10000);

// Gives the pieces it was made with, one at a time.
class PiecesTail : public RpcResponseTail {
 public:
  explicit PiecesTail(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}
  size_t size() const override {
    size_t size = 0;
    for (const std::string& piece : pieces_) size += piece.size();
    return size;
  }
  bool AppendNext(rpc::Writer* out) override {
    if (next_ == pieces_.size()) return false;
    out->bytes() += pieces_[next_++];
    return true;
  }

 private:
  const std::vector<std::string> pieces_;
  size_t next_ = 0;
};

// Answers every procedure with its own number, GetPackageList with
// `tail_pieces` behind it. IsUriExist takes a string, all others nothing. ExitService waits
// inside Dispatch until released, so that a test can stop the server with a
// call still running.
class FakeDispatcher : public RpcDispatcher {
 public:
  bool AcceptingCalls() override { return accepting.load(); }

  int32_t Dispatch(uint16_t procedure, rpc::Reader* in, rpc::Writer* out,
                   std::unique_ptr<RpcResponseTail>* tail) override {
    std::u16string text;
    if (procedure == rpc::kIsUriExist && !in->String(&text)) return rpc::kFaultMalformedRequest;
    if (!in->AtEnd()) return rpc::kFaultMalformedRequest;
    if (procedure == rpc::kExitService) {
      entered_.set_value();
      released_.wait();
    }
    ++calls;
    out->I32(procedure);
    if (procedure == rpc::kGetPackageList) *tail = std::make_unique<PiecesTail>(tail_pieces);
    return 0;
  }

  // True once an ExitService call is inside within the limit.
  bool WaitInside() {
    return entered_.get_future().wait_for(kWaitLimit) == std::future_status::ready;
  }
  void Release() {
    if (!release_done_.exchange(true)) release_.set_value();
  }

  std::atomic<bool> accepting{true};
  std::atomic<int> calls{0};
  std::vector<std::string> tail_pieces;  // set before the server starts

 private:
  std::promise<void> entered_, release_;
  std::shared_future<void> released_ = release_.get_future().share();
  std::atomic<bool> release_done_{false};
};

class RpcServerTest : public ::testing::Test {
 protected:
  ~RpcServerTest() override {
    if (server_ == nullptr) return;
    dispatcher_.Release();
    server_->StopListening();
    EXPECT_EQ(listening_.wait_for(kWaitLimit), std::future_status::ready);
  }

  // Starts a server with the given limits on a socket in the test's folder.
  void StartServer(RpcServerOptions options = {}) {
    options.socket_path = socket_path_;
    server_ = std::make_unique<RpcServer>(options, &dispatcher_);
    ASSERT_EQ(server_->Start(), S_OK);
    listening_ = std::async(std::launch::async, [this] { server_->Listen(); });
  }

  std::unique_ptr<RpcTestClient> Bound() { return RpcTestClient::ConnectBound(socket_path_); }

  // A fresh client still gets its calls answered.
  void ExpectStillServing() {
    std::unique_ptr<RpcTestClient> client = Bound();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Call(rpc::kGetPackageCount).rest, testing::LongParam(rpc::kGetPackageCount));
  }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_;
  const std::string socket_path_ = env_.root() + "/run/rpc";
  FakeDispatcher dispatcher_;
  std::unique_ptr<RpcServer> server_;
  std::future<void> listening_;
};

// A hostile or confused request gets its fault and loses its connection, and
// only that: the server goes on serving others.
TEST_F(RpcServerTest, BadRequestsGetTheirFaultAndLoseTheConnectionOnly) {
  StartServer();
  rpc::Writer bad_zero;
  bad_zero.U16(rpc::kGetPackageCount);
  bad_zero.U16(1);
  rpc::Writer long_count = rpc::RequestHeader(rpc::kIsUriExist);
  long_count.U32(1000);
  long_count.U16(u'a');
  const std::string call = rpc::RequestHeader(rpc::kGetPackageCount).bytes();
  const struct {
    const char* what;
    bool bound;
    std::string body;
    int32_t fault;
  } cases[] = {
      {"call before bind", false, call, rpc::kFaultUnknownInterface},
      {"bind with trailing bytes", false, rpc::BindRequestBody() + "x",
       rpc::kFaultMalformedRequest},
      {"procedure 21", true, rpc::RequestHeader(rpc::kProcedureCount).bytes(),
       rpc::kFaultProcedureOutOfRange},
      {"empty body", true, "", rpc::kFaultMalformedRequest},
      {"second header word not zero", true, bad_zero.bytes(), rpc::kFaultMalformedRequest},
      {"trailing bytes", true, call + "zz", rpc::kFaultMalformedRequest},
      {"string beyond the message", true, long_count.bytes(), rpc::kFaultMalformedRequest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<RpcTestClient> client =
        c.bound ? Bound() : RpcTestClient::Connect(socket_path_);
    ASSERT_NE(client, nullptr);
    const Answer answer = client->Exchange(c.body);
    ASSERT_TRUE(answer.received);
    EXPECT_EQ(answer.status, c.fault);
    EXPECT_TRUE(answer.rest.empty());
    EXPECT_TRUE(client->WaitClosed());
    ExpectStillServing();
  }
  // Only the calls that check the server goes on serving got through.
  EXPECT_EQ(dispatcher_.calls.load(), static_cast<int>(std::size(cases)));
}

// A tail goes out behind the head under the one length sent ahead, also when
// a piece is more than the socket holds, and the connection stays in step.
TEST_F(RpcServerTest, ResponseTailsFollowTheHeadUnderOneLength) {
  const std::string large(512 * 1024, 'b');
  dispatcher_.tail_pieces = {"a", large, "", "c"};
  StartServer();
  std::unique_ptr<RpcTestClient> client = Bound();
  ASSERT_NE(client, nullptr);
  const Answer answer = client->Call(rpc::kGetPackageList);
  ASSERT_TRUE(answer.received);
  EXPECT_EQ(answer.status, 0);
  EXPECT_TRUE(answer.rest == testing::LongParam(rpc::kGetPackageList) + "a" + large + "c");
  EXPECT_EQ(client->Call(rpc::kGetPackageCount).rest, testing::LongParam(rpc::kGetPackageCount));
}

TEST_F(RpcServerTest, RequestLengthIsCheckedBeforeTheBodyIsRead) {
  StartServer();
  // The largest request is taken...
  std::unique_ptr<RpcTestClient> client = Bound();
  ASSERT_NE(client, nullptr);
  const size_t units = (rpc::kMaxRequestBytes - 8) / 2;
  const Answer largest =
      client->Call(rpc::kIsUriExist, testing::StringParam(std::u16string(units, u'u')));
  ASSERT_TRUE(largest.received);
  EXPECT_EQ(largest.status, 0);

  // ... one byte more, or four gigabytes, is refused from its length alone: no
  // body follows here.
  rpc::Writer one_more;
  one_more.U32(rpc::kMaxRequestBytes + 1);
  for (const std::string& length : {one_more.bytes(), std::string(4, '\xff')}) {
    std::unique_ptr<RpcTestClient> refused = Bound();
    ASSERT_NE(refused, nullptr);
    ASSERT_TRUE(refused->SendRaw(length));
    EXPECT_EQ(refused->Receive().status, rpc::kFaultMalformedRequest);
    EXPECT_TRUE(refused->WaitClosed());
  }
  ExpectStillServing();
}

TEST_F(RpcServerTest, SlowAndSilentClientsAreClosedAfterTheirLimits) {
  RpcServerOptions options;
  options.message_limit_ms = 200;
  options.idle_limit_ms = 400;
  StartServer(options);

  // Half a length field, then nothing.
  std::unique_ptr<RpcTestClient> half_header = Bound();
  ASSERT_NE(half_header, nullptr);
  ASSERT_TRUE(half_header->SendRaw(std::string("\x10\x00", 2)));
  // A client that stops calling.
  std::unique_ptr<RpcTestClient> idle = Bound();
  ASSERT_NE(idle, nullptr);

  EXPECT_TRUE(half_header->WaitClosed());
  EXPECT_TRUE(idle->WaitClosed());
  EXPECT_EQ(dispatcher_.calls.load(), 0);
  ExpectStillServing();
}

// A dispatcher that stops accepting (the engine has stopped) gets no more calls.
TEST_F(RpcServerTest, CallsAreRefusedOnceTheDispatcherStopsAccepting) {
  StartServer();
  std::unique_ptr<RpcTestClient> client = Bound();
  ASSERT_NE(client, nullptr);
  dispatcher_.accepting = false;
  EXPECT_EQ(client->Call(rpc::kGetPackageCount).status, rpc::kFaultServerTooBusy);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(dispatcher_.calls.load(), 0);
}

TEST_F(RpcServerTest, StopLetsTheRunningCallAnswerAndClosesTheRest) {
  StartServer();
  std::unique_ptr<RpcTestClient> idle = Bound();
  ASSERT_NE(idle, nullptr);
  auto running = std::async(std::launch::async, [this] {
    std::unique_ptr<RpcTestClient> client = Bound();
    if (client == nullptr) return false;
    const Answer answer = client->Call(rpc::kExitService);
    return answer.received && answer.status == 0 && client->WaitClosed();
  });
  ASSERT_TRUE(dispatcher_.WaitInside());
  server_->StopListening();
  EXPECT_TRUE(idle->WaitClosed());
  // Listen waits for the call still inside.
  EXPECT_EQ(listening_.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  dispatcher_.Release();
  ASSERT_EQ(running.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_TRUE(running.get());
  ASSERT_EQ(listening_.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_EQ(server_->connection_count(), 0);
  EXPECT_EQ(RpcTestClient::Connect(socket_path_), nullptr);
}

// The socket's folder keeps other users out; the server must refuse them even
// where the folder's mode lets them in.
TEST_F(RpcServerTest, PeersOfAnotherUserAreClosedAtOnce) {
  if (!tobric::platform::CanRunAsOtherUser()) GTEST_SKIP() << "needs root to act as another user";
  StartServer();
  ASSERT_TRUE(tobric::platform::SetModeForTest(env_.root(), 0711));
  ASSERT_TRUE(tobric::platform::SetModeForTest(env_.root() + "/run", 0711));
  ASSERT_TRUE(tobric::platform::SetModeForTest(socket_path_, 0666));
  const std::string path = socket_path_;
  const int result = tobric::platform::RunAsOtherUser([&path] {
    std::unique_ptr<RpcTestClient> client = RpcTestClient::Connect(path);
    if (client == nullptr) return 2;
    // Whatever it sends, it gets no answer, only the end of the connection.
    if (!client->SendRaw(rpc::Frame(rpc::BindRequestBody()))) return 0;
    if (client->Receive().received) return 3;
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(log_.WaitFor("[RpcServer::Accept][Refused user 65534]", 1, 10000));
  EXPECT_EQ(dispatcher_.calls.load(), 0);
  ExpectStillServing();
}

}  // namespace
}  // namespace lorvane
