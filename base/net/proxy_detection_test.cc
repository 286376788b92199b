#include "base/net/proxy_detection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/net/env_proxy_detector.h"
#include "base/platform/files.h"
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
    EXPECT_FALSE(found.wpad);
  }
}

// The key that collapses duplicates is pinned by the list tests below.
TEST(NetworkConfigurationTest, Description) {
  NetworkConfiguration automatic;
  automatic.source = "auto";
  automatic.wpad = true;
  automatic.proxy = "ignored while automatic";
  automatic.priority = 2;
  EXPECT_EQ("priority=2, source=auto, wpad=1, script=", automatic.Description());
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

class NoSession : public HttpSession {
 public:
  const HttpTimeouts& timeouts() const override { return timeouts_; }
  void* share_handle() const override { return nullptr; }

 private:
  HttpTimeouts timeouts_;
};

NetworkConfiguration Named(const std::string& source, const std::string& proxy,
                           uint32_t priority = 0) {
  NetworkConfiguration configuration;
  configuration.source = source;
  configuration.proxy = proxy;
  configuration.priority = priority;
  return configuration;
}

class UserNetworkStateTest : public ::testing::Test {
 protected:
  std::unique_ptr<UserNetworkStateImpl> Make(
      std::vector<std::unique_ptr<ProxyDetectorInterface>> detectors) {
    UserNetworkStateOptions options;
    options.detectors = std::move(detectors);
    options.settings_path = settings_path_;
    options.session = std::make_unique<NoSession>();
    std::unique_ptr<UserNetworkStateImpl> state;
    EXPECT_EQ(S_OK, UserNetworkStateImpl::Create(std::move(options), &state));
    return state;
  }
  std::unique_ptr<UserNetworkStateImpl> Make(const std::vector<NetworkConfiguration>& answers) {
    std::vector<std::unique_ptr<ProxyDetectorInterface>> detectors;
    for (const NetworkConfiguration& answer : answers) {
      detectors.push_back(std::make_unique<FixedDetector>(answer));
    }
    return Make(std::move(detectors));
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

// Building the list: what is in it and in which order.
TEST_F(UserNetworkStateTest, RememberedAutoComesFirstWithWpad) {
  auto state = Make({Named("env", "http=127.0.0.1:8")});
  ASSERT_EQ(S_OK, state->WriteRememberedSource("auto"));
  NetworkConfiguration first;
  EXPECT_EQ((Names{"auto", "env", "direct"}), Sources(state.get(), &first));
  EXPECT_TRUE(first.wpad);
  EXPECT_EQ(2u, first.priority);
}

TEST_F(UserNetworkStateTest, DuplicatesCollapseToTheEarlier) {
  auto state = Make(
      {Named("Firefox", "http=h:1", 1), Named("system", "http=h:1"), Named("env", "http=h:2")});
  EXPECT_EQ((Names{"Firefox", "env", "direct"}), Sources(state.get()));
  // The remembered copy (priority 2) now comes first and the detected one goes.
  ASSERT_EQ(S_OK, state->WriteRememberedSource("env"));
  EXPECT_EQ((Names{"env", "Firefox", "direct"}), Sources(state.get()));
  // The remembered direct way takes the place of the plain one.
  ASSERT_EQ(S_OK, state->WriteRememberedSource("direct"));
  NetworkConfiguration first;
  EXPECT_EQ((Names{"direct", "Firefox", "env"}), Sources(state.get(), &first));
  EXPECT_EQ(2u, first.priority);
}

TEST_F(UserNetworkStateTest, EqualPrioritiesKeepDetectorOrder) {
  auto state = Make({Named("a", "http=h:1"), Named("failing", ""), Named("b", "http=h:2", 1),
                     Named("c", "http=h:3"), Named("d", "http=h:4", 1)});
  EXPECT_EQ((Names{"b", "d", "a", "c", "direct"}), Sources(state.get()));
  // Nothing detected, nothing remembered: the direct way alone.
  std::vector<std::unique_ptr<ProxyDetectorInterface>> detectors;
  detectors.push_back(std::make_unique<EnvProxyDetector>(Table({})));
  NetworkConfiguration first;
  EXPECT_EQ(Names{"direct"}, Sources(Make(std::move(detectors)).get(), &first));
  EXPECT_EQ(NetworkConfiguration::kDirect, first.kind());
}

TEST_F(UserNetworkStateTest, RememberedSourceWithoutADetectorIsIgnored) {
  auto state = Make({Named("env", "http=h:1")});
  // A remembered name that no detector has is ignored.
  ASSERT_EQ(S_OK, state->WriteRememberedSource("Firefox"));
  EXPECT_EQ((Names{"env", "direct"}), Sources(state.get()));
}

// The settings file.
TEST_F(UserNetworkStateTest, RememberedSourceRoundTrip) {
  auto state = Make(std::vector<NetworkConfiguration>{});
  std::string source = "stale";
  ASSERT_EQ(S_OK, state->ReadRememberedSource(&source));
  EXPECT_EQ("", source);  // no file yet

  state->RememberWorkingConfiguration(Named("env", "http=h:1"));
  std::string text;
  ASSERT_EQ(S_OK, platform::ReadFileToString(settings_path_, 1024, &text));
  EXPECT_EQ("[proxy]\nsource=env\n", text);
  ASSERT_EQ(S_OK, state->ReadRememberedSource(&source));
  EXPECT_EQ("env", source);

  state->RememberWorkingConfiguration(DirectConfiguration());
  // Another state (another process) reads what this one wrote.
  ASSERT_EQ(S_OK, Make(std::vector<NetworkConfiguration>{})->ReadRememberedSource(&source));
  EXPECT_EQ("direct", source);
  // Only the file itself is left: the temporary file was renamed over it.
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(settings_folder_), {}));

  // Written by hand: other sections, spaces, CR LF and case do not matter.
  std::ofstream(settings_path_) << "[other]\r\nsource=no\r\n[ Proxy ]\r\n Source = auto \r\n";
  ASSERT_EQ(S_OK, state->ReadRememberedSource(&source));
  EXPECT_EQ("auto", source);
}

// The list is built for every block request: the file is read again only
// when it changed on disk.
TEST_F(UserNetworkStateTest, SettingsFileIsReadAgainOnlyWhenItChanged) {
  auto state = Make({Named("aaa", "http=h:1"), Named("bbb", "http=h:2")});
  ASSERT_TRUE(platform::CreateFolderWithParents(settings_folder_) == S_OK);
  std::ofstream(settings_path_) << "[proxy]\nsource=aaa\n";
  EXPECT_EQ((Names{"aaa", "bbb", "direct"}), Sources(state.get()));

  // Other bytes of the same size under the same time pass for the same file.
  const auto written = std::filesystem::last_write_time(settings_path_);
  std::ofstream(settings_path_) << "[proxy]\nsource=bbb\n";
  std::filesystem::last_write_time(settings_path_, written);
  EXPECT_EQ((Names{"aaa", "bbb", "direct"}), Sources(state.get()));

  std::filesystem::last_write_time(settings_path_, written + std::chrono::seconds(1));
  EXPECT_EQ((Names{"bbb", "aaa", "direct"}), Sources(state.get()));
  std::filesystem::remove(settings_path_);
  EXPECT_EQ((Names{"aaa", "bbb", "direct"}), Sources(state.get()));
}

}  // namespace
}  // namespace tobric
