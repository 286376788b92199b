// flock(2) repeated while a signal interrupts it: the one wrapper the lock
// files of base/platform share. Internal to base/platform.
#ifndef BASE_PLATFORM_FLOCK_POSIX_H_
#define BASE_PLATFORM_FLOCK_POSIX_H_

#include <sys/file.h>

#include <cerrno>

namespace tobric::platform::internal {

inline int FlockRetrying(int fd, int operation) {
  int rc;
  do {
    rc = flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace tobric::platform::internal

#endif  // BASE_PLATFORM_FLOCK_POSIX_H_
