// Downloads over TLS from nginx on loopback, whose certificate comes from a
// test authority that the service is told to trust through SSL_CERT_FILE: the
// bytes arrive whole, a kill and a restart fetch no recorded block again, new
// connections resume the TLS session, and a certificate that cannot be
// trusted ends the download at once with a code that says why.
#include <cstdint>
#include <filesystem>
#include <string>

#include "base/error_message.h"
#include "gtest/gtest.h"
#include "tests/e2e/http_download_fixture_testutil.h"
#include "tests/support/nginx_server.h"
#include "tests/support/test_certificates.h"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;
using lorvane::PackageView;
using testsupport::CertificateKind;
using testsupport::NginxOptions;
using testsupport::NginxServer;

class HttpsTest : public NginxDownloadTest {
 protected:
  void SetUp() override {
    if (testsupport::OpensslPath().empty()) GTEST_SKIP() << "openssl is not installed";
    NginxDownloadTest::SetUp();
  }

  // The service again, trusting `authority` in place of the system's store.
  void RestartTrusting(const std::string& authority) {
    if (service_ != nullptr && service_->running()) {
      ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());
    }
    ServiceProcess::Options options;
    options.environment = {{"SSL_CERT_FILE", authority}};
    ASSERT_NO_FATAL_FAILURE(StartService(options));
  }
};

TEST_F(HttpsTest, KilledDownloadResumesOverTlsWithResumedSessions) {
  constexpr uint64_t kSize = 32 * kMiB;
  const std::string sha256 = WriteRandomFile(www_ + "/secure.bin", kSize, 21);
  NginxOptions tls;
  tls.tls = CertificateKind::kTrusted;
  tls.keepalive = false;
  tls.limit_rate = 1536 * 1024;
  tls.send_buffer = 64 * 1024;
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(www_, tls)) << nginx.error();
  ASSERT_NO_FATAL_FAILURE(RestartTrusting(nginx.AuthorityFile()));

  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/secure.bin"), &id));
  ASSERT_TRUE(WaitForBlocks(id, 1));
  client_.Disconnect();
  ASSERT_TRUE(service_->process().Signal(tobric::platform::ChildProgram::StopSignal::kKill));
  ASSERT_TRUE(service_->process().WaitForExit(kKillLimit));
  const MetaFileFacts facts = ReadMetaFile(folder_ + "/secure.bin.sugc");
  ASSERT_TRUE(facts.readable);
  ASSERT_GE(facts.blocks_set, 1u);
  const size_t logged_before = nginx.LoggedRequests().size();

  ASSERT_NO_FATAL_FAILURE(RestartTrusting(nginx.AuthorityFile()));
  std::vector<PackageView> packages;
  ASSERT_NO_FATAL_FAILURE(ListPackages(&packages));
  ASSERT_EQ(packages.size(), 1u);
  bool all_ok = false;
  ASSERT_EQ(client_.StartPackages({packages[0].id}, &all_ok), S_OK);
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(packages[0].id, "secure.bin", kSize, sha256));

  const auto logged = nginx.LoggedRequests();
  size_t resumed = 0;
  for (size_t i = 0; i < logged.size(); ++i) {
    resumed += logged[i].tls_session_reused ? 1 : 0;
    if (i < logged_before || logged[i].range.empty()) continue;
    const uint64_t first = std::stoull(logged[i].range.substr(logged[i].range.find('=') + 1));
    EXPECT_FALSE(facts.set[first / kBlock]) << "block " << first / kBlock << " fetched again";
  }
  // Every request has a connection of its own here; after the first
  // handshakes of each run, the session is resumed instead of made anew.
  EXPECT_GE(resumed, logged.size() / 2) << resumed << " of " << logged.size();
}

TEST_F(HttpsTest, RefusedCertificatesEndTheDownloadWithTheirOwnCode) {
  WriteRandomFile(www_ + "/cert.bin", kBlock, 22);
  const struct {
    CertificateKind kind;
    HRESULT code;
  } cases[] = {
      {CertificateKind::kUnknownIssuer, E_CERT_UNTRUSTED},
      {CertificateKind::kExpired, E_CERT_EXPIRED},
      {CertificateKind::kOtherName, E_CERT_NAME_MISMATCH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.code));
    NginxOptions tls;
    tls.tls = c.kind;
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www_, tls)) << nginx.error();
    ASSERT_NO_FATAL_FAILURE(RestartTrusting(nginx.AuthorityFile()));
    std::string id;
    ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/cert.bin"), &id));
    PackageView package;
    ASSERT_TRUE(WaitForEnd(id, &package, kChangeLimit)) << Describe(package);
    EXPECT_EQ(package.state, kStateError) << Describe(package);
    EXPECT_EQ(package.error_code, c.code) << Describe(package);
    EXPECT_EQ(package.error_text, tobric::GetErrorMessage(c.code));
    for (const auto& request : nginx.LoggedRequests()) {
      EXPECT_NE(request.uri, "/cert.bin") << "a request went over a refused connection";
    }
  }
}

}  // namespace
}  // namespace corvane::e2e
