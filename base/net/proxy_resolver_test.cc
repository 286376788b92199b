#include "base/net/proxy_resolver.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/isolated_env.h"

namespace tobric {
namespace {

TEST(ResolveAutomaticProxyTest, TheHelperEvaluatesAScriptPerHost) {
  platform::IsolatedEnv env;
  const std::string script = env.root() + "/proxy.pac";
  std::ofstream(script) << "function FindProxyForURL(url, host) {\n"
                           "  if (host == 'via.example') return 'PROXY 127.0.0.1:3128; DIRECT';\n"
                           "  if (host == 'socks.example') return 'SOCKS 127.0.0.1:1080';\n"
                           "  return 'DIRECT';\n"
                           "}\n";
  SetProxyResolverProgram(CORVANE_PROXY_RESOLVER_PATH);
  NetworkConfiguration automatic;
  automatic.source = "test";
  // A plain path is taken as a file: URL.
  automatic.script_url = script;

  // The host, and what the script's answer becomes.
  const std::pair<std::string, std::string> cases[] = {
      {"via.example", "http://127.0.0.1:3128"},
      {"socks.example", "socks5://127.0.0.1:1080"},
      {"direct.example", ""},
  };
  for (const auto& [host, expected] : cases) {
    std::string proxy = "unchanged";
    const HRESULT hr =
        ResolveAutomaticProxy(automatic, "http://" + host + "/file.bin", host, &proxy);
    ASSERT_NE(hr, kErrorProxyScriptUnavailable)
        << "libproxy cannot evaluate scripts here: its JavaScript plugin is missing";
    EXPECT_EQ(hr, expected.empty() ? S_FALSE : S_OK) << host;
    EXPECT_EQ(proxy, expected) << host;
  }
  SetProxyResolverProgram("");
}

}  // namespace
}  // namespace tobric
