// Downloads over TLS from nginx on loopback, whose certificate comes from a
// test authority that the service is told to trust through SSL_CERT_FILE: a
// kill and a restart fetch no recorded block again, and a certificate that
// cannot be trusted ends the download at once with a code that says why.
#include <string>

#include "base/error_message.h"
#include "gtest/gtest.h"
#include "tests/e2e/service_fixture_testutil.h"
#include "tests/support/nginx_server.h"

namespace corvane::e2e {
namespace {

using testsupport::CertificateKind;
using testsupport::NginxServer;

class HttpsTest : public NginxDownloadTest {
 protected:
  void SetUp() override {
    if (testsupport::OpensslPath().empty()) GTEST_SKIP() << "openssl is not installed";
    NginxDownloadTest::SetUp();
  }

  static ServiceOptions Trusting(const NginxServer& nginx) {
    return {.environment = {{"SSL_CERT_FILE", nginx.AuthorityFile()}}};
  }
};

TEST_F(HttpsTest, KilledDownloadResumesOverTls) {
  WriteRandomFile(www_ + "/secure.bin", 32 * kMiB, 21);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(
      www_,
      {.limit_rate = 1536 * 1024, .send_buffer = 64 * 1024, .tls = CertificateKind::kTrusted}))
      << nginx.error();
  ASSERT_NO_FATAL_FAILURE(RestartService(Trusting(nginx)));
  KillAmidDownloadAndComplete(nginx.Url("/secure.bin"), www_ + "/secure.bin", 1, Trusting(nginx),
                              &nginx);
}

TEST_F(HttpsTest, RefusedCertificatesEndTheDownloadWithTheirOwnCode) {
  WriteRandomFile(www_ + "/cert.bin", kBlock, 22);
  const std::pair<CertificateKind, HRESULT> cases[] = {
      {CertificateKind::kUnknownIssuer, E_CERT_UNTRUSTED},
      {CertificateKind::kExpired, E_CERT_EXPIRED},
      {CertificateKind::kOtherName, E_CERT_NAME_MISMATCH}};
  for (const auto& c : cases) {
    SCOPED_TRACE(lorvane::FormatCode(c.second));
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www_, {.tls = c.first})) << nginx.error();
    ASSERT_NO_FATAL_FAILURE(RestartService(Trusting(nginx)));
    std::string id;
    ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/cert.bin"), &id));
    PackageView package;
    ASSERT_TRUE(WaitForEnd(id, &package, kChangeLimit)) << Describe(package);
    EXPECT_EQ(package.error_code, c.second) << Describe(package);
    EXPECT_EQ(package.error_text, tobric::GetErrorMessage(c.second));
    for (const auto& request : nginx.LoggedRequests()) {
      EXPECT_NE(request.uri, "/cert.bin") << "a request went over a refused connection";
    }
  }
}

}  // namespace
}  // namespace corvane::e2e
