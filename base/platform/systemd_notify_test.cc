#include "base/platform/systemd_notify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

// A datagram socket standing for systemd's, bound to a path or an abstract name
// ("@..."), and $NOTIFY_SOCKET pointing at it while the object lives.
class FakeServiceManager {
 public:
  explicit FakeServiceManager(const std::string& address_text) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, address_text.data(), address_text.size());
    socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_text.size());
    if (address_text[0] == '@') {
      address.sun_path[0] = '\0';
    } else {
      ++length;
    }
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
    setenv("NOTIFY_SOCKET", address_text.c_str(), 1);
  }
  ~FakeServiceManager() {
    unsetenv("NOTIFY_SOCKET");
    close(fd_);
  }

  [[nodiscard]] bool bound() const { return bound_; }

  // The next datagram, empty when none came within 10 s.
  std::string Receive() {
    pollfd one{fd_, POLLIN, 0};
    if (poll(&one, 1, 10000) != 1) return "";
    char buffer[256];
    const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

TEST(SystemdNotifyTest, SendsReadyToPathAndAbstractAddresses) {
  IsolatedEnv env;
  {
    FakeServiceManager manager(env.root() + "/run/notify");
    ASSERT_TRUE(manager.bound());
    EXPECT_EQ(NotifyReady(), S_OK);
    EXPECT_EQ(manager.Receive(), "READY=1");
  }
  {
    FakeServiceManager manager("@corvane-notify-test-" + std::to_string(getpid()));
    ASSERT_TRUE(manager.bound());
    EXPECT_EQ(NotifyServiceManager("STOPPING=1"), S_OK);
    EXPECT_EQ(manager.Receive(), "STOPPING=1");
  }
}

TEST(SystemdNotifyTest, NothingIsSentWithoutAUsableAddress) {
  unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(NotifyReady(), S_FALSE);
  setenv("NOTIFY_SOCKET", "", 1);
  EXPECT_EQ(NotifyReady(), S_FALSE);
  setenv("NOTIFY_SOCKET", "relative/socket", 1);
  EXPECT_EQ(NotifyReady(), E_INVALIDARG);
  unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace tobric::platform
