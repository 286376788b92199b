#include "tests/support/direct_network_state.h"

#include <utility>

#include "base/net/network_configuration.h"
#include "gtest/gtest.h"

namespace corvane::testsupport {

std::unique_ptr<tobric::UserNetworkStateImpl> DirectNetworkState(
    const std::string& folder, const tobric::HttpTimeouts& timeouts) {
  tobric::UserNetworkStateOptions options;
  options.settings_path = folder + "/proxy.ini";
  options.timeouts = timeouts;
  std::unique_ptr<tobric::UserNetworkStateImpl> state;
  EXPECT_EQ(tobric::UserNetworkStateImpl::Create(std::move(options), &state), S_OK);
  if (state != nullptr) state->SetFixedConfiguration(tobric::DirectConfiguration());
  return state;
}

}  // namespace corvane::testsupport
