#include "base/net/proxy_detection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/net/env_proxy_detector.h"
#include "tests/support/isolated_env.h"

namespace tobric {
namespace {

// The environment detector reads from a table instead of the process's
// environment.
EnvProxyDetector::Lookup Table(std::map<std::string, std::string> variables) {
  return [variables = std::move(variables)](const std::string& name) {
    const auto found = variables.find(name);
    return found == variables.end() ? std::string() : found->second;
  };
}

TEST(EnvProxyDetectorTest, ReadsTheVariables) {
  // The variables set, and the proxy (with the bypass list) found or "fails".
  const std::pair<std::map<std::string, std::string>, std::string> cases[] = {
      {{}, "fails"},
      {{{"http_proxy", "http://127.0.0.1:3128/"}}, "http=http://127.0.0.1:3128"},
      // Lower case wins; an empty lower-case value does not hide the upper case.
      {{{"http_proxy", "127.0.0.1:1"}, {"HTTP_PROXY", "127.0.0.1:2"}}, "http=127.0.0.1:1"},
      {{{"http_proxy", ""}, {"HTTP_PROXY", "127.0.0.1:2"}}, "http=127.0.0.1:2"},
      {{{"all_proxy", "socks5://127.0.0.1:1080/"}},
       "http=socks5://127.0.0.1:1080;https=socks5://127.0.0.1:1080"},
      {{{"ALL_PROXY", "socks5h://127.0.0.1:1080"}, {"https_proxy", "127.0.0.1:3129"}},
       "http=socks5h://127.0.0.1:1080;https=127.0.0.1:3129"},
      {{{"http_proxy", "127.0.0.1:3128"}, {"NO_PROXY", "localhost,.example.org"}},
       "http=127.0.0.1:3128 bypass=localhost,.example.org"},
      {{{"http_proxy", "pac+file:///tmp/p.pac"}, {"https_proxy", "127.0.0.1:3129"}},
       "script=file:///tmp/p.pac"},
  };
  for (const auto& [variables, expected] : cases) {
    NetworkConfiguration found;
    const HRESULT hr = EnvProxyDetector(Table(variables)).Detect(&found);
    std::string got = Failed(hr)                 ? "fails"
                      : found.script_url.empty() ? found.proxy
                                                 : "script=" + found.script_url;
    if (!found.bypass.empty()) got += " bypass=" + found.bypass;
    EXPECT_EQ(expected, got);
    EXPECT_EQ(Succeeded(hr) ? "env" : "", found.source);
  }
}

// A detector named after the source of its answer; it fails when the answer
// names no proxy.
class FixedDetector : public ProxyDetectorInterface {
 public:
  explicit FixedDetector(NetworkConfiguration answer) : answer_(std::move(answer)) {}
  HRESULT Detect(NetworkConfiguration* configuration) override {
    if (answer_.proxy.empty()) return E_FAIL;
    *configuration = answer_;
    return S_OK;
  }
  std::string GetName() override { return answer_.source; }

 private:
  const NetworkConfiguration answer_;
};

NetworkConfiguration Named(const std::string& source, const std::string& proxy,
                           uint32_t priority = 0) {
  return {.source = source, .script_url = "", .proxy = proxy, .bypass = "", .priority = priority};
}

class UserNetworkStateTest : public ::testing::Test {
 protected:
  std::unique_ptr<UserNetworkStateImpl> Make(const std::vector<NetworkConfiguration>& answers) {
    UserNetworkStateOptions options;
    for (const NetworkConfiguration& answer : answers) {
      options.detectors.push_back(std::make_unique<FixedDetector>(answer));
    }
    options.settings_path = settings_path_;
    std::unique_ptr<UserNetworkStateImpl> state;
    EXPECT_EQ(S_OK, UserNetworkStateImpl::Create(std::move(options), &state));
    return state;
  }
  // The sources of the list, in order; the first configuration in *first.
  std::vector<std::string> Sources(UserNetworkStateImpl* state,
                                   NetworkConfiguration* first = nullptr) {
    std::vector<NetworkConfiguration> list;
    EXPECT_EQ(S_OK, state->BuildConfigurationList(&list));
    std::vector<std::string> sources;
    for (const NetworkConfiguration& configuration : list) sources.push_back(configuration.source);
    if (first != nullptr && !list.empty()) *first = list[0];
    return sources;
  }
  using Names = std::vector<std::string>;

  platform::IsolatedEnv env_;
  const std::string settings_folder_ = env_.root() + "/config/Velmo/Tobric";
  const std::string settings_path_ = settings_folder_ + "/proxy.ini";
};

// Building the list: what is in it and in which order. A remembered source
// comes first (priority 2); duplicates collapse to the earlier; the direct way
// is always last unless remembered.
TEST_F(UserNetworkStateTest, ListOrdersRememberedThenPriorityThenDetectorOrder) {
  const auto h = [](const char* source, int port, uint32_t priority = 0) {
    return Named(source, "http=h:" + std::to_string(port), priority);
  };
  const struct {
    std::vector<NetworkConfiguration> detected;
    std::string remembered;
    Names expected;
  } cases[] = {
      {{h("env", 8)}, "auto", {"auto", "env", "direct"}},
      {{h("Firefox", 1, 1), h("system", 1), h("env", 2)}, "", {"Firefox", "env", "direct"}},
      {{h("Firefox", 1, 1), h("system", 1), h("env", 2)}, "env", {"env", "Firefox", "direct"}},
      {{h("Firefox", 1, 1), h("env", 2)}, "direct", {"direct", "Firefox", "env"}},
      {{h("a", 1), Named("failing", ""), h("b", 2, 1), h("c", 3), h("d", 4, 1)},
       "",
       {"b", "d", "a", "c", "direct"}},
      {{h("env", 1)}, "Firefox", {"env", "direct"}},  // no detector of that name
      {{}, "", {"direct"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.remembered + " first of " + std::to_string(c.expected.size()));
    std::filesystem::remove(settings_path_);
    auto state = Make(c.detected);
    ASSERT_EQ(S_OK, c.remembered.empty() ? S_OK : state->WriteRememberedSource(c.remembered));
    NetworkConfiguration first;
    EXPECT_EQ(c.expected, Sources(state.get(), &first));
    EXPECT_EQ(c.remembered == "auto", first.wpad);
    EXPECT_TRUE(c.expected[0] != c.remembered || first.priority == 2u) << first.priority;
  }
}

// The settings file.
TEST_F(UserNetworkStateTest, RememberedSourceRoundTrip) {
  auto state = Make(std::vector<NetworkConfiguration>{});
  std::string source = "stale";
  ASSERT_EQ(S_OK, state->ReadRememberedSource(&source));
  EXPECT_EQ("", source);  // no file yet

  state->RememberWorkingConfiguration(Named("env", "http=h:1"));
  ASSERT_EQ(S_OK, state->ReadRememberedSource(&source));
  EXPECT_EQ("env", source);

  state->RememberWorkingConfiguration(DirectConfiguration());
  // Another state (another process) reads what this one wrote.
  ASSERT_EQ(S_OK, Make(std::vector<NetworkConfiguration>{})->ReadRememberedSource(&source));
  EXPECT_EQ("direct", source);
  // Only the file itself is left: the temporary file was renamed over it.
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(settings_folder_), {}));

  // Too large to be a settings file: set aside, and the next choice is written
  // beside it, not over it.
  std::ofstream(settings_path_) << std::string(65 * 1024, '#');
  EXPECT_TRUE(Failed(state->ReadRememberedSource(&source)));
  state->RememberWorkingConfiguration(Named("env", "http=h:1"));
  ASSERT_EQ(S_OK, state->ReadRememberedSource(&source));
  EXPECT_EQ("env", source);
  std::vector<uintmax_t> aside;  // sizes of the files set aside
  for (const auto& entry : std::filesystem::directory_iterator(settings_folder_)) {
    if (entry.path().filename().string().starts_with("proxy.ini.bad-")) {
      aside.push_back(entry.file_size());
    }
  }
  EXPECT_EQ(aside, std::vector<uintmax_t>{65 * 1024});
}

}  // namespace
}  // namespace tobric
