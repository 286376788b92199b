#include "tests/support/test_certificates.h"

#include <filesystem>
#include <vector>

#include "base/platform/run_program.h"
#include "tests/support/files.h"
#include "tests/support/server_process.h"

namespace corvane::testsupport {

namespace {

// Runs openssl with `args`; false with *error set.
bool Run(const std::vector<std::string>& args, std::string* error) {
  tobric::platform::RunProgramOptions options;
  options.argv = {OpensslPath()};
  // Elliptic-curve keys: made in a moment, where RSA keys take a while.
  if (args[0] == "req") {
    options.argv.insert(options.argv.end(), {"req", "-newkey", "ec", "-pkeyopt",
                                             "ec_paramgen_curve:prime256v1", "-nodes"});
  }
  options.argv.insert(options.argv.end(), args.begin() + (args[0] == "req" ? 1 : 0), args.end());
  options.timeout_ms = 30000;
  tobric::platform::RunProgramResult result;
  if (options.argv[0].empty()) {
    *error = "openssl is not installed";
    return false;
  }
  if (Succeeded(tobric::platform::RunProgram(options, &result)) && result.exit_code == 0) {
    return true;
  }
  *error = "openssl " + args[0] + " failed with status " + std::to_string(result.exit_code);
  return false;
}

}  // namespace

std::string OpensslPath() { return FindProgram("openssl"); }

std::string TestAuthority(const std::string& folder, std::string* error) {
  const std::string certificate = folder + "/ca.pem";
  if (std::filesystem::exists(certificate)) return certificate;
  // The authority signs with `openssl ca`, the one command that takes the
  // validity period as dates, which an expired certificate needs.
  const std::string conf = "[ca]\ndefault_ca = test\n[test]\ndatabase = " + folder +
                           "/index.txt\nnew_certs_dir = " + folder + "\nserial = " + folder +
                           "/serial\ndefault_md = sha256\npolicy = any\ncopy_extensions = copy\n"
                           "unique_subject = no\n[any]\ncommonName = supplied\n";
  if (!WriteFile(folder + "/ca.conf", conf) || !WriteFile(folder + "/index.txt", "") ||
      !WriteFile(folder + "/serial", "1000\n")) {
    *error = "cannot write the authority's files in " + folder;
    return {};
  }
  if (!Run({"req", "-x509", "-keyout", folder + "/ca.key", "-out", certificate, "-days", "2",
            "-subj", "/CN=Corvane Test Authority"},
           error)) {
    return {};
  }
  return certificate;
}

bool MakeServerCertificate(const std::string& folder, CertificateKind kind, ServerCertificate* made,
                           std::string* error) {
  const char* names[] = {"trusted", "expired", "other-name", "unknown-issuer"};
  const std::string base = folder + "/" + names[static_cast<int>(kind)];
  made->certificate = base + ".pem";
  made->key = base + ".key";
  const bool other_name = kind == CertificateKind::kOtherName;
  const std::vector<std::string> subject = {
      "-subj", other_name ? "/CN=other.example" : "/CN=127.0.0.1", "-addext",
      other_name ? "subjectAltName=DNS:other.example"
                 : "subjectAltName=IP:127.0.0.1,DNS:localhost"};
  std::vector<std::string> request = {"req", "-keyout", made->key};
  request.insert(request.end(), subject.begin(), subject.end());
  if (kind == CertificateKind::kUnknownIssuer) {
    request.insert(request.begin() + 1, {"-x509", "-out", made->certificate, "-days", "2"});
    return Run(request, error);
  }
  const std::string authority = TestAuthority(folder, error);
  request.insert(request.begin() + 1, {"-out", base + ".csr"});
  const bool expired = kind == CertificateKind::kExpired;
  return !authority.empty() && Run(request, error) &&
         Run({"ca", "-batch", "-notext", "-config", folder + "/ca.conf", "-cert", authority,
              "-keyfile", folder + "/ca.key", "-in", base + ".csr", "-out", made->certificate,
              "-startdate", expired ? "20200101000000Z" : "20250101000000Z", "-enddate",
              expired ? "20200201000000Z" : "20991231000000Z"},
             error);
}

}  // namespace corvane::testsupport
