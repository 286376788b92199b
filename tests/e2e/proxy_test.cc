// Downloads through a real squid as a service sees proxies: named by a proxy
// auto-configuration script, demanding the login of ~/.netrc for a tunnel to an
// https server, and refusing a wrong login (the direct way then takes over). The service is started again with
// the proxy in its environment, with what worked last forgotten.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "base/net/proxy_detection.h"
#include "gtest/gtest.h"
#include "tests/e2e/http_download_fixture_testutil.h"
#include "tests/support/nginx_server.h"
#include "tests/support/squid_server.h"
#include "tests/support/test_certificates.h"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;
using testsupport::CertificateKind;
using testsupport::NginxOptions;
using testsupport::NginxServer;
using testsupport::SquidOptions;
using testsupport::SquidServer;

struct ProxyCase {
  const char* name;
  // squid demands alice's login; ~/.netrc gives this password (none: no file).
  bool squid_auth = false;
  const char* netrc_password = nullptr;
  // nginx speaks only TLS: the request goes through a CONNECT tunnel.
  bool https = false;
  // http_proxy names a script that names squid, instead of squid itself.
  bool by_script = false;
  // squid forwards the download; false: it refuses the login.
  bool passes = true;
};

class ProxyTest : public HttpDownloadTest, public ::testing::WithParamInterface<ProxyCase> {
 protected:
  void SetUp() override {
    if (NginxServer::ProgramPath().empty()) GTEST_SKIP() << "nginx is not installed";
    if (!SquidServer::NotInstalled().empty()) GTEST_SKIP() << SquidServer::NotInstalled();
    if (GetParam().https && testsupport::OpensslPath().empty()) {
      GTEST_SKIP() << "openssl is not installed";
    }
    HttpDownloadTest::SetUp();
  }
};

TEST_P(ProxyTest, Downloads) {
  const ProxyCase& c = GetParam();
  const std::string www = user_.root() + "/www";
  fs::create_directories(www);
  constexpr uint64_t kSize = kBlock + 100;
  const std::string sha256 = WriteRandomFile(www + "/via.bin", kSize, 31);
  NginxOptions site;
  if (c.https) site.tls = CertificateKind::kTrusted;
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(www, site)) << nginx.error();
  SquidOptions auth;
  if (c.squid_auth) auth = {.user = "alice", .password = "s3cret"};
  SquidServer squid;
  ASSERT_TRUE(squid.Start(auth)) << squid.error();
  if (c.netrc_password != nullptr) {
    std::ofstream(user_.home() + "/.netrc")
        << "machine 127.0.0.1 login alice password " << c.netrc_password << "\n";
  }
  std::string proxy = "http://" + squid.Address();
  if (c.by_script) {
    const std::string script = user_.root() + "/proxy.pac";
    std::ofstream(script) << "function FindProxyForURL(url, host) { return \"PROXY "
                          << squid.Address() << "\"; }\n";
    proxy = "pac+file://" + script;
  }

  ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());
  fs::remove(tobric::DefaultProxySettingsPath());
  ServiceProcess::Options options;
  options.environment = {{"http_proxy", proxy}, {"https_proxy", proxy},
                         {"no_proxy", std::nullopt}, {"NO_PROXY", std::nullopt}};
  if (c.https) options.environment.emplace_back("SSL_CERT_FILE", nginx.AuthorityFile());
  ASSERT_NO_FATAL_FAILURE(StartService(options));

  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/via.bin"), &id));
  // A refused login ends that configuration's attempt; the direct way, tried
  // next in the same pass, reaches the loopback server.
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(id, "via.bin", kSize, sha256));

  ASSERT_TRUE(squid.WaitForLoggedRequests(c.passes ? 1 : 2, kServerLimit))
      << (c.by_script ? "nothing went through squid: was the script evaluated? see the log"
                      : "nothing went through squid");
  std::string seen;
  int passed = 0;
  int refused = 0;
  for (const auto& record : squid.LoggedRequests()) {
    seen += std::to_string(record.status) + " " + record.method + " " + record.user + " " +
            record.url + "\n";
    if (record.status == 407) {
      ++refused;
    } else {
      ++passed;
      EXPECT_EQ(record.method, c.https ? "CONNECT" : "GET") << seen;
      EXPECT_EQ(record.user, c.squid_auth ? "alice" : "") << seen;
    }
  }
  if (c.passes) {
    EXPECT_GT(passed, 0) << seen;
  } else {
    // The challenge is answered once; the second 407 ends the attempt. Once
    // the direct way worked it comes first, so squid sees only the first
    // request.
    EXPECT_EQ(passed, 0) << seen;
    EXPECT_EQ(refused, 2) << seen;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Proxies, ProxyTest,
    ::testing::Values(ProxyCase{.name = "NamedByAScript", .by_script = true},
                      ProxyCase{.name = "TunnelWithTheNetrcLogin",
                                .squid_auth = true,
                                .netrc_password = "s3cret",
                                .https = true},
                      ProxyCase{.name = "WrongNetrcLogin",
                                .squid_auth = true,
                                .netrc_password = "wrong",
                                .passes = false}),
    [](const ::testing::TestParamInfo<ProxyCase>& info) { return info.param.name; });

}  // namespace
}  // namespace corvane::e2e
