// Bad frames sent to the real corvaned over a bare socket: each is refused (a
// fault, or the connection closed) and the service goes on serving everybody
// else, on connections made before and after.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "service/rpc_protocol.h"
#include "service/rpc_test_client_testutil.h"
#include "tests/e2e/service_fixture_testutil.h"

namespace corvane::e2e {
namespace {

using lorvane::testing::Answer;
using lorvane::testing::RpcTestClient;

constexpr uint32_t kClosedLimitMs = 10'000;

std::string LengthPrefix(uint32_t length) {
  lorvane::rpc::Writer writer;
  writer.U32(length);
  return writer.bytes();
}

class HostileClientTest : public ServiceTest {
 protected:
  std::unique_ptr<RpcTestClient> Bare(bool bound) {
    std::unique_ptr<RpcTestClient> bare = bound ? RpcTestClient::ConnectBound(user_.socket_path())
                                                : RpcTestClient::Connect(user_.socket_path());
    EXPECT_NE(bare, nullptr);
    return bare;
  }

  // Whether the service closed the connection. A service that closes with
  // bytes of ours unread makes the socket report a reset rather than an end of
  // file: the read then fails at once, while on a connection left open it
  // waits out its whole limit.
  static bool Closed(RpcTestClient* bare) {
    const auto start = std::chrono::steady_clock::now();
    if (bare->WaitClosed(kClosedLimitMs)) return true;
    return std::chrono::steady_clock::now() - start < Milliseconds(kClosedLimitMs);
  }

  // The connection ends, with or without a fault first; a fault must be `fault`.
  void ExpectRefused(RpcTestClient* bare, int32_t fault) {
    const Answer answer = bare->Receive();
    if (answer.received) {
      EXPECT_EQ(answer.status, fault);
    }
    EXPECT_TRUE(Closed(bare)) << "the connection stayed open";
  }

  // The fixture's client (connected before the attack) and a new one are served.
  void ExpectStillServing() {
    int32_t count = -1;
    EXPECT_EQ(client_.GetPackageCount(&count), S_OK);
    EXPECT_EQ(count, 0);
    std::unique_ptr<RpcTestClient> fresh = Bare(/*bound=*/true);
    ASSERT_NE(fresh, nullptr);
    const Answer answer = fresh->Call(lorvane::rpc::kGetPackageCount);
    ASSERT_TRUE(answer.received);
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.rest.size(), 4u);
  }
};

TEST_F(HostileClientTest, TruncatedFrameThenCloseIsForgotten) {
  {
    std::unique_ptr<RpcTestClient> bare = Bare(/*bound=*/true);
    ASSERT_NE(bare, nullptr);
    ASSERT_TRUE(bare->SendRaw(LengthPrefix(100) + std::string(10, '\x01')));
  }
  {
    // Half a length prefix.
    std::unique_ptr<RpcTestClient> bare = Bare(/*bound=*/false);
    ASSERT_NE(bare, nullptr);
    ASSERT_TRUE(bare->SendRaw(std::string("\x08\x00", 2)));
  }
  ExpectStillServing();
}

TEST_F(HostileClientTest, OversizedLengthIsRefused) {
  std::unique_ptr<RpcTestClient> bare = Bare(/*bound=*/true);
  ASSERT_NE(bare, nullptr);
  ASSERT_TRUE(bare->SendRaw(LengthPrefix(lorvane::rpc::kMaxRequestBytes + 1)));
  ExpectRefused(bare.get(), lorvane::rpc::kFaultMalformedRequest);
  bare = Bare(/*bound=*/false);
  ASSERT_NE(bare, nullptr);
  ASSERT_TRUE(bare->SendRaw(LengthPrefix(0xFFFFFFFF)));
  ExpectRefused(bare.get(), lorvane::rpc::kFaultMalformedRequest);
  ExpectStillServing();
}

TEST_F(HostileClientTest, UnknownProcedureIsAnsweredWithItsFault) {
  for (uint16_t procedure : {uint16_t{lorvane::rpc::kProcedureCount}, uint16_t{0xFFFE}}) {
    std::unique_ptr<RpcTestClient> bare = Bare(/*bound=*/true);
    ASSERT_NE(bare, nullptr);
    const Answer answer = bare->Call(procedure);
    ASSERT_TRUE(answer.received) << procedure;
    EXPECT_EQ(answer.status, lorvane::rpc::kFaultProcedureOutOfRange) << procedure;
    EXPECT_TRUE(Closed(bare.get()));
  }
  ExpectStillServing();
}

TEST_F(HostileClientTest, CallsWithoutTheBindAreAnsweredWithItsFault) {
  std::unique_ptr<RpcTestClient> bare = Bare(/*bound=*/false);
  ASSERT_NE(bare, nullptr);
  Answer answer = bare->Call(lorvane::rpc::kGetPackageCount);
  ASSERT_TRUE(answer.received);
  EXPECT_EQ(answer.status, lorvane::rpc::kFaultUnknownInterface);
  EXPECT_TRUE(Closed(bare.get()));

  // A bind of another interface (one byte of the identity changed).
  std::string bind = lorvane::rpc::BindRequestBody();
  bind[4] = static_cast<char>(bind[4] ^ 0x01);
  bare = Bare(/*bound=*/false);
  ASSERT_NE(bare, nullptr);
  answer = bare->Exchange(bind);
  ASSERT_TRUE(answer.received);
  EXPECT_EQ(answer.status, lorvane::rpc::kFaultUnknownInterface);
  EXPECT_TRUE(Closed(bare.get()));
  ExpectStillServing();
}

TEST_F(HostileClientTest, GarbageIsRefused) {
  // Another protocol: "GET " read as a length is far above the limit.
  std::unique_ptr<RpcTestClient> bare = Bare(/*bound=*/false);
  ASSERT_NE(bare, nullptr);
  ASSERT_TRUE(bare->SendRaw("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  ExpectRefused(bare.get(), lorvane::rpc::kFaultMalformedRequest);

  // A frame too short to hold a procedure number.
  bare = Bare(/*bound=*/true);
  ASSERT_NE(bare, nullptr);
  ASSERT_TRUE(bare->SendRaw(lorvane::rpc::Frame(std::string(1, '\x02'))));
  ExpectRefused(bare.get(), lorvane::rpc::kFaultMalformedRequest);

  // A call whose parameters are cut: a string that claims more units than follow.
  bare = Bare(/*bound=*/true);
  ASSERT_NE(bare, nullptr);
  lorvane::rpc::Writer cut = lorvane::rpc::RequestHeader(lorvane::rpc::kIsUriExist);
  cut.U32(1000);
  cut.U16('h');
  const Answer answer = bare->Exchange(cut.bytes());
  ASSERT_TRUE(answer.received);
  EXPECT_EQ(answer.status, lorvane::rpc::kFaultMalformedRequest);
  EXPECT_TRUE(Closed(bare.get()));
  ExpectStillServing();
}

}  // namespace
}  // namespace corvane::e2e
