#include "base/platform/unix_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "base/platform/error.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

constexpr uint32_t kTestLimitMs = 10000;
const HRESULT kTimeout = HresultFromWin32(1460);
const HRESULT kEndOfFile = HresultFromWin32(38);
const HRESULT kBrokenPipe = HresultFromWin32(109);
const HRESULT kAborted = HresultFromWin32(995);

class UnixSocketTest : public ::testing::Test {
 protected:
  // Deeper than the 107 bytes of sun_path: object folders can be.
  UnixSocketTest() : path_(env_.root() + "/run/" + std::string(120, 'd') + "/sock") {
    EXPECT_EQ(mkdir(path_.substr(0, path_.rfind('/')).c_str(), 0700), 0);
  }

  // A listener at path_ with one connection made and accepted.
  void Connect() {
    ASSERT_EQ(UnixListener::Listen(path_, 0600, &listener_), S_OK);
    ASSERT_EQ(UnixStream::Connect(path_, kTestLimitMs, &client_), S_OK);
    ASSERT_EQ(listener_->Accept(kTestLimitMs, &server_), S_OK);
  }

  IsolatedEnv env_;
  const std::string path_;
  std::unique_ptr<UnixListener> listener_;
  std::unique_ptr<UnixStream> client_, server_;
};

TEST_F(UnixSocketTest, ConnectionCarriesBytesBothWaysAndKnowsThePeer) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  struct stat info {};
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(server_->peer_uid(), getuid());
  EXPECT_EQ(client_->peer_uid(), getuid());

  // Larger than the socket buffers, so both sides must wait for each other.
  std::string big(4 * 1024 * 1024, 'x');
  for (size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>(i);
  auto writer = std::async(std::launch::async,
                           [&] { return client_->WriteAll(big.data(), big.size(), kTestLimitMs); });
  std::string got(big.size(), '\0');
  EXPECT_EQ(server_->ReadExact(got.data(), got.size(), kTestLimitMs), S_OK);
  EXPECT_EQ(writer.get(), S_OK);
  EXPECT_EQ(got, big);

  ASSERT_EQ(server_->WriteAll("ok", 2, kTestLimitMs), S_OK);
  char reply[2];
  ASSERT_EQ(client_->ReadExact(reply, 2, kTestLimitMs), S_OK);
  EXPECT_EQ(std::string(reply, 2), "ok");
}

// A write to a peer that is gone must be an error code; SIGPIPE would end
// this test program.
TEST_F(UnixSocketTest, WriteToAVanishedPeerIsBrokenPipe) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  client_.reset();
  const std::string data(64 * 1024, 'y');
  HRESULT hr = S_OK;
  for (int i = 0; i < 10 && Succeeded(hr); ++i)
    hr = server_->WriteAll(data.data(), data.size(), 1000);
  EXPECT_EQ(hr, kBrokenPipe);
}

TEST_F(UnixSocketTest, ShutdownWakesBlockedCalls) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  auto reader = std::async(std::launch::async, [&] {
    char byte;
    return server_->ReadExact(&byte, 1, kNoTimeLimit);
  });
  auto accepter = std::async(std::launch::async, [&] {
    std::unique_ptr<UnixStream> none;
    return listener_->Accept(kNoTimeLimit, &none);
  });
  // Neither may return before its Shutdown.
  EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  server_->Shutdown();
  listener_->Shutdown();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(reader.get(), kEndOfFile);
  ASSERT_EQ(accepter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(accepter.get(), kAborted);
  std::unique_ptr<UnixStream> later;
  EXPECT_EQ(listener_->Accept(kNoTimeLimit, &later), kAborted);
}

TEST_F(UnixSocketTest, AcceptAndConnectFailuresHaveTheirCodes) {
  std::unique_ptr<UnixStream> stream;
  EXPECT_EQ(UnixStream::Connect(path_, 1000, &stream), HresultFromWin32(2));
  ASSERT_EQ(UnixListener::Listen(path_, 0600, &listener_), S_OK);
  EXPECT_EQ(listener_->Accept(20, &stream), kTimeout);

  // A socket file nobody listens on.
  const std::string dead = env_.root() + "/run/dead";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, dead.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  close(fd);
  EXPECT_EQ(UnixStream::Connect(dead, 1000, &stream), HresultFromWin32(1225));

  // ... is taken over by a new listener.
  std::unique_ptr<UnixListener> replacing;
  EXPECT_EQ(UnixListener::Listen(dead, 0600, &replacing), S_OK);
  ASSERT_EQ(UnixStream::Connect(dead, 1000, &stream), S_OK);
}

TEST_F(UnixSocketTest, SocketFileGoesWithItsListenerUnlessReplaced) {
  ASSERT_EQ(UnixListener::Listen(path_, 0600, &listener_), S_OK);
  listener_.reset();
  EXPECT_NE(access(path_.c_str(), F_OK), 0);

  // A listener whose file was replaced by another process leaves the new one.
  ASSERT_EQ(UnixListener::Listen(path_, 0600, &listener_), S_OK);
  ASSERT_EQ(unlink(path_.c_str()), 0);
  std::unique_ptr<UnixListener> newer;
  ASSERT_EQ(UnixListener::Listen(path_, 0600, &newer), S_OK);
  listener_.reset();
  std::unique_ptr<UnixStream> stream;
  EXPECT_EQ(UnixStream::Connect(path_, 1000, &stream), S_OK);
}

}  // namespace
}  // namespace tobric::platform
