// The socket address of a path, shared by the unix-socket and trace-socket code
// of this folder. Internal to base/platform.
#ifndef BASE_PLATFORM_SOCKET_ADDRESS_POSIX_H_
#define BASE_PLATFORM_SOCKET_ADDRESS_POSIX_H_

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/platform/error.h"

namespace tobric::platform {

inline void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// A socket address for path. sun_path holds only 107 bytes; a longer path is
// reached through its folder's descriptor ("/proc/self/fd/N/name"), which the
// object keeps open while the address is in use.
class SocketAddress {
 public:
  SocketAddress() = default;
  ~SocketAddress() { CloseFd(&folder_fd_); }
  SocketAddress(const SocketAddress&) = delete;
  SocketAddress& operator=(const SocketAddress&) = delete;

  [[nodiscard]] HRESULT Set(const std::string& path) {
    constexpr uint32_t kErrorFilenameTooLong = 206;
    std::string target = path;
    if (target.size() >= sizeof(address_.sun_path)) {
      const size_t slash = path.rfind('/');
      if (slash == std::string::npos) return HresultFromWin32(kErrorFilenameTooLong);
      const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
      folder_fd_ = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (folder_fd_ < 0) return LastErrorHresult();
      target = "/proc/self/fd/" + std::to_string(folder_fd_) + path.substr(slash);
      if (target.size() >= sizeof(address_.sun_path)) {
        return HresultFromWin32(kErrorFilenameTooLong);
      }
    }
    address_.sun_family = AF_UNIX;
    memcpy(address_.sun_path, target.c_str(), target.size() + 1);
    return S_OK;
  }
  [[nodiscard]] const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address_); }
  [[nodiscard]] socklen_t size() const { return sizeof(address_); }

 private:
  sockaddr_un address_{};
  int folder_fd_ = -1;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_SOCKET_ADDRESS_POSIX_H_
