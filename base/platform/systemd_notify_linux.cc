#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/platform/error.h"
#include "base/platform/systemd_notify.h"

namespace tobric::platform {

HRESULT NotifyServiceManager(std::string_view state) {
  const char* variable = getenv("NOTIFY_SOCKET");
  if (variable == nullptr || variable[0] == '\0') return S_FALSE;
  const std::string address_text = variable;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if ((address_text[0] != '/' && address_text[0] != '@') ||
      address_text.size() >= sizeof(address.sun_path)) {
    return E_INVALIDARG;
  }
  memcpy(address.sun_path, address_text.data(), address_text.size());
  // An abstract name starts with a zero byte and is exactly as long as given: the
  // address length, not a terminator, ends it.
  if (address_text[0] == '@') address.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_text.size() +
                                             (address_text[0] == '/' ? 1 : 0));

  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return LastErrorHresult();
  ssize_t sent;
  do {
    sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&address), length);
  } while (sent < 0 && errno == EINTR);
  const HRESULT hr = sent < 0 ? LastErrorHresult() : S_OK;
  close(fd);
  return hr;
}

HRESULT NotifyReady() { return NotifyServiceManager("READY=1"); }

}  // namespace tobric::platform
