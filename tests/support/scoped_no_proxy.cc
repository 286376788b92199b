#include "tests/support/scoped_no_proxy.h"

#include <stdlib.h>

namespace corvane::testsupport {

namespace {

constexpr const char* kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy",
                                           "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
constexpr const char* kNoProxyVariables[] = {"no_proxy", "NO_PROXY"};

}  // namespace

ScopedNoProxy::ScopedNoProxy() {
  for (const char* name : kProxyVariables) {
    const char* value = getenv(name);
    saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    unsetenv(name);
  }
  for (const char* name : kNoProxyVariables) {
    const char* value = getenv(name);
    saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    setenv(name, "*", 1);
  }
}

ScopedNoProxy::~ScopedNoProxy() {
  for (const auto& [name, value] : saved_) {
    if (value.has_value()) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

}  // namespace corvane::testsupport
