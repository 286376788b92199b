// The request layer against a real authenticating proxy: what the scripted
// test server stands in for elsewhere, done by squid, with a file served by
// nginx, both on loopback.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/net/proxy_credentials.h"
#include "base/net/simple_request.h"
#include "base/platform/isolated_env_testutil.h"
#include "gtest/gtest.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scoped_no_proxy.h"
#include "tests/support/squid_server.h"
#include "tests/support/test_http_server.h"

namespace tobric {
namespace {

using corvane::testsupport::NginxServer;
using corvane::testsupport::PatternBytes;
using corvane::testsupport::SquidServer;

TEST(SquidProxyTest, SimpleRequestLogsOnWithTheProxysNetrcEntry) {
  if (NginxServer::ProgramPath().empty()) GTEST_SKIP() << "nginx is not installed";
  if (!SquidServer::NotInstalled().empty()) GTEST_SKIP() << SquidServer::NotInstalled();
  corvane::testsupport::ScopedNoProxy no_proxy;
  platform::IsolatedEnv env;
  const std::string site = env.root() + "/site";
  std::filesystem::create_directories(site);
  const std::string contents = PatternBytes(0, 100000);
  std::ofstream(site + "/file.bin", std::ios::binary) << contents;
  std::ofstream(env.root() + "/home/.netrc") << "machine 127.0.0.1 login alice password s3cret\n";

  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(site, {})) << nginx.error();
  SquidServer squid;
  ASSERT_TRUE(squid.Start({.user = "alice", .password = "s3cret"})) << squid.error();
  std::unique_ptr<HttpSession> session;
  ASSERT_EQ(HttpSession::Open(HttpTimeouts{}, &session), S_OK);
  NetworkConfiguration through_squid;
  through_squid.source = "test";
  through_squid.proxy = "http=" + squid.Address();

  SimpleRequest request;
  request.SetSession(session.get());
  request.SetUrl(nginx.Url("/file.bin"));
  request.SetProxyConfig(through_squid);
  ASSERT_EQ(request.Send(), S_OK);
  EXPECT_EQ(request.GetStatusCode(), 200);
  EXPECT_TRUE(request.GetResponseBody() == contents);
  EXPECT_TRUE(ProxyCredentialsKnownGood("127.0.0.1", "alice"));

  ASSERT_TRUE(squid.WaitForLoggedRequests(2, std::chrono::seconds(10)));
  const std::vector<corvane::testsupport::SquidLogRecord> logged = squid.LoggedRequests();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].status, 407);
  EXPECT_EQ(logged[0].user, "");
  EXPECT_EQ(logged[1].status, 200);
  EXPECT_EQ(logged[1].user, "alice");
  EXPECT_EQ(logged[1].url, nginx.Url("/file.bin"));
}

}  // namespace
}  // namespace tobric
