// Downloads through a real squid as a service sees proxies: named by a proxy
// auto-configuration script, demanding the login of ~/.netrc for every block
// or for a tunnel to an https server, and refusing a wrong login (the direct
// way then takes over).
// The service is started again with the proxy in its environment, with what
// worked last forgotten.
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "base/net/proxy_detection.h"
#include "gtest/gtest.h"
#include "tests/e2e/service_fixture_testutil.h"
#include "tests/support/nginx_server.h"
#include "tests/support/squid_server.h"

namespace corvane::e2e {
namespace {

using testsupport::CertificateKind;
using testsupport::NginxServer;
using testsupport::SquidServer;

struct ProxyCase {
  const char* name;
  // ~/.netrc gives alice this password (none: no file, and squid asks none).
  const char* netrc_password = nullptr;
  // nginx speaks only TLS: the request goes through a CONNECT tunnel.
  bool https = false;
  // http_proxy names a script that names squid, instead of squid itself.
  bool by_script = false;
};

class ProxyTest : public NginxDownloadTest, public ::testing::WithParamInterface<ProxyCase> {
 protected:
  void SetUp() override {
    if (!SquidServer::NotInstalled().empty()) GTEST_SKIP() << SquidServer::NotInstalled();
    NginxDownloadTest::SetUp();
  }
};

TEST_P(ProxyTest, Downloads) {
  const ProxyCase& c = GetParam();
  const bool auth = c.netrc_password != nullptr;
  const bool passes = !auth || std::string(c.netrc_password) == "s3cret";
  WriteRandomFile(www_ + "/via.bin", kBlock + 100, 31);
  NginxServer nginx;
  ASSERT_TRUE(
      nginx.Start(www_, {.tls = c.https ? std::optional(CertificateKind::kTrusted) : std::nullopt}))
      << nginx.error();
  SquidServer squid;
  ASSERT_TRUE(squid.Start(auth ? testsupport::SquidOptions{.user = "alice", .password = "s3cret"}
                               : testsupport::SquidOptions{}))
      << squid.error();
  if (auth) {
    std::ofstream(user_.home() + "/.netrc")
        << "machine 127.0.0.1 login alice password " << c.netrc_password << "\n";
  }
  std::string proxy = "http://" + squid.Address();
  if (c.by_script) {
    proxy = user_.root() + "/proxy.pac";
    std::ofstream(proxy) << "function FindProxyForURL(url, host) { return \"PROXY "
                         << squid.Address() << "\"; }\n";
    proxy = "pac+file://" + proxy;
  }
  ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());
  std::filesystem::remove(tobric::DefaultProxySettingsPath());
  // The fixture's own no_proxy keeps every other test off proxies.
  ASSERT_NO_FATAL_FAILURE(
      StartService({.environment = {{"http_proxy", proxy},
                                    {"https_proxy", proxy},
                                    {"no_proxy", std::nullopt},
                                    {"NO_PROXY", std::nullopt},
                                    {"SSL_CERT_FILE", nginx.AuthorityFile()}}}));

  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/via.bin"), &id));
  // A refused login ends that configuration's attempt; the direct way, tried
  // next in the same pass, reaches the loopback server.
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(id, www_ + "/via.bin"));

  ASSERT_TRUE(squid.WaitForLoggedRequests(passes ? 1 : 2, kChangeLimit))
      << "nothing went through squid";
  std::string seen;
  int passed = 0, refused = 0, blocks = 0;
  for (const auto& record : squid.LoggedRequests()) {
    seen += std::to_string(record.status) + " " + record.method + " " + record.user + " " +
            record.url + "\n";
    if (record.status == 407) {
      ++refused;
      continue;
    }
    ++passed;
    blocks += record.status == 206 ? 1 : 0;
    EXPECT_EQ(record.method, c.https ? "CONNECT" : "GET") << seen;
    EXPECT_EQ(record.user, auth ? "alice" : "") << seen;
  }
  // A wrong login: the challenge is answered once and the second 407 ends the
  // attempt. Once the direct way worked it comes first, so squid sees only
  // the first request.
  EXPECT_EQ(passed > 0, passes) << seen;
  EXPECT_TRUE(passes || refused == 2) << seen;
  // Over plain HTTP the blocks themselves, not only the probe (a 206 of one
  // byte), go through squid (a tunnel's requests are inside it, out of
  // squid's sight).
  EXPECT_EQ(blocks, passes && !c.https ? 1 + 2 : 0) << seen;
}

INSTANTIATE_TEST_SUITE_P(
    Proxies, ProxyTest,
    ::testing::Values(
        ProxyCase{.name = "NamedByAScript", .by_script = true},
        ProxyCase{.name = "NetrcLogin", .netrc_password = "s3cret"},
        ProxyCase{.name = "TunnelWithTheNetrcLogin", .netrc_password = "s3cret", .https = true},
        ProxyCase{.name = "WrongNetrcLogin", .netrc_password = "wrong"}),
    [](const ::testing::TestParamInfo<ProxyCase>& info) { return info.param.name; });

}  // namespace
}  // namespace corvane::e2e
