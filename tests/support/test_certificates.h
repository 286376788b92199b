// Certificates for tests over TLS, made with the openssl program: one test
// authority per folder, and server certificates for 127.0.0.1 and localhost
// signed by it, or deliberately wrong in one way each.
#ifndef TESTS_SUPPORT_TEST_CERTIFICATES_H_
#define TESTS_SUPPORT_TEST_CERTIFICATES_H_

#include <string>

namespace corvane::testsupport {

enum class CertificateKind {
  kTrusted,        // signed by the test authority, valid now
  kExpired,        // signed by the test authority, valid only in 2020
  kOtherName,      // signed by the test authority, for another host name only
  kUnknownIssuer,  // signed by itself
};

struct ServerCertificate {
  std::string certificate;  // PEM file
  std::string key;          // PEM file
};

// The openssl program, or empty when it is not installed.
[[nodiscard]] std::string OpensslPath();

// The test authority's certificate in `folder` (what a client is told to
// trust, e.g. through SSL_CERT_FILE), made on first use; empty with *error
// set on failure.
[[nodiscard]] std::string TestAuthority(const std::string& folder, std::string* error);

// Makes the server certificate of `kind` in `folder` (and the authority
// when it is not there yet); false with *error set.
[[nodiscard]] bool MakeServerCertificate(const std::string& folder, CertificateKind kind,
                                         ServerCertificate* made, std::string* error);

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_TEST_CERTIFICATES_H_
