#include "tests/support/scoped_no_proxy.h"

namespace corvane::testsupport {

ScopedNoProxy::ScopedNoProxy() {
  for (const char* name :
       {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    variables_.emplace_back(name, std::nullopt);
  }
  variables_.emplace_back("no_proxy", "*");
  variables_.emplace_back("NO_PROXY", "*");
}

}  // namespace corvane::testsupport
