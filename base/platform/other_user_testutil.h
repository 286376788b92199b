// For tests that need a process of another user (a peer that a per-user socket
// must refuse): a forked child that drops to the unprivileged user "nobody".
// Only root can switch users; tests skip themselves elsewhere. Header-only.
#ifndef BASE_PLATFORM_OTHER_USER_TESTUTIL_H_
#define BASE_PLATFORM_OTHER_USER_TESTUTIL_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "base/platform/child_process_testutil.h"

namespace tobric::platform {

inline constexpr uint32_t kNobodyId = 65534;

inline bool CanRunAsOtherUser() { return geteuid() == 0; }

// Sets the mode of a file or folder, so that another user can reach a socket
// the test made (every folder on its way needs search permission).
inline bool SetModeForTest(const std::string& path, unsigned mode) {
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

// Runs body in a child process as user and group kNobodyId; body's result,
// 100 when the switch failed, 128 + signal when the child died.
inline int RunAsOtherUser(const std::function<int()>& body, unsigned limit_s = 20) {
  ChildProcess child;
  if (!child.Start(
          [&body](ChildProcess&) {
            if (setgid(kNobodyId) != 0 || setuid(kNobodyId) != 0) return 100;
            return body();
          },
          limit_s)) {
    return -1;
  }
  return child.Wait();
}

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_OTHER_USER_TESTUTIL_H_
