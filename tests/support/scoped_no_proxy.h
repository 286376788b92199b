// For tests: while it lives, HTTP clients that take their proxy from the
// environment (libcurl does) connect directly, so requests to the loopback test
// server never go to a proxy configured for the machine running the tests.
#ifndef TESTS_SUPPORT_SCOPED_NO_PROXY_H_
#define TESTS_SUPPORT_SCOPED_NO_PROXY_H_

#include <deque>

#include "tests/support/isolated_env.h"

namespace corvane::testsupport {

// Unsets the proxy variables (both cases) and sets no_proxy and NO_PROXY to "*";
// the destructor restores every one. The environment is process-wide: make it
// before starting threads that read it, as a test fixture member.
class ScopedNoProxy {
 public:
  ScopedNoProxy() {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      variables_.emplace_back(name, std::nullopt);
    }
    variables_.emplace_back("no_proxy", "*");
    variables_.emplace_back("NO_PROXY", "*");
  }

 private:
  std::deque<ScopedEnv> variables_;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_SCOPED_NO_PROXY_H_
