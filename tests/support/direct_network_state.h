// A network state for tests of HTTP clients that reach a loopback server: no
// proxy detection, every request goes the direct way, with the time limits the
// test gives.
#ifndef TESTS_SUPPORT_DIRECT_NETWORK_STATE_H_
#define TESTS_SUPPORT_DIRECT_NETWORK_STATE_H_

#include <memory>
#include <string>

#include "base/net/http_request.h"
#include "base/net/network_configuration.h"
#include "base/net/proxy_detection.h"
#include "gtest/gtest.h"

namespace corvane::testsupport {

// Its settings file lives in `folder`, which the test owns. Adds a test
// failure and returns null when the session cannot be opened.
[[nodiscard]] inline std::unique_ptr<tobric::UserNetworkStateImpl> DirectNetworkState(
    const std::string& folder, const tobric::HttpTimeouts& timeouts = tobric::HttpTimeouts()) {
  tobric::UserNetworkStateOptions options;
  options.settings_path = folder + "/proxy.ini";
  options.timeouts = timeouts;
  std::unique_ptr<tobric::UserNetworkStateImpl> state;
  EXPECT_EQ(tobric::UserNetworkStateImpl::Create(std::move(options), &state), S_OK);
  if (state != nullptr) state->SetFixedConfiguration(tobric::DirectConfiguration());
  return state;
}

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_DIRECT_NETWORK_STATE_H_
