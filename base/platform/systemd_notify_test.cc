#include "base/platform/systemd_notify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

// The user unit waits for READY=1 on the datagram socket $NOTIFY_SOCKET names.
TEST(SystemdNotifyTest, ReadyReachesTheServiceManagersSocket) {
  IsolatedEnv env;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = env.root() + "/run/notify";
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  EXPECT_EQ(NotifyReady(), S_OK);
  pollfd one{fd, POLLIN, 0};
  char buffer[64] = {};
  ASSERT_EQ(poll(&one, 1, 10000), 1);
  const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
  ASSERT_GT(got, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), "READY=1");
  close(fd);
  unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(NotifyReady(), S_FALSE);  // not started by a service manager
}

}  // namespace
}  // namespace tobric::platform
