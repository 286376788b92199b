#include "tests/support/test_certificates.h"

#include <chrono>
#include <system_error>
#include <vector>

#include "base/platform/child_program_testutil.h"
#include "tests/support/nginx_server.h"
#include "tests/support/server_process.h"

namespace corvane::testsupport {

namespace {

namespace fs = std::filesystem;
using tobric::platform::ChildProgram;

constexpr std::chrono::milliseconds kCommandLimit{30000};

// Elliptic-curve keys: made in a moment, where RSA keys take a while.
const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt",
                                          "ec_paramgen_curve:prime256v1", "-nodes"};

bool Run(std::vector<std::string> args, std::string* error) {
  const std::string openssl = OpensslPath();
  if (openssl.empty()) {
    *error = "openssl is not installed";
    return false;
  }
  args.insert(args.begin(), openssl);
  ChildProgram child;
  tobric::platform::ChildProgramOptions run;
  run.argv = args;
  if (!child.Start(run, error)) return false;
  if (!child.WaitForExit(kCommandLimit)) {
    child.Signal(ChildProgram::StopSignal::kKill);
    static_cast<void>(child.WaitForExit(kCommandLimit));
    *error = "openssl " + args[1] + " did not finish";
    return false;
  }
  if (child.exit_code() != 0) {
    *error = "openssl " + args[1] + " failed: " + child.Errors();
    return false;
  }
  return true;
}

std::vector<std::string> Joined(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The authority signs with `openssl ca`, the one command that takes the
// validity period as dates, which an expired certificate needs.
bool WriteAuthorityConfiguration(const fs::path& folder, std::string* error) {
  const std::string dir = folder.string();
  const std::string conf =
      "[ca]\ndefault_ca = test\n"
      "[test]\n"
      "database = " + dir + "/index.txt\n"
      "new_certs_dir = " + dir + "\n"
      "serial = " + dir + "/serial\n"
      "default_md = sha256\n"
      "policy = any\n"
      "copy_extensions = copy\n"
      "unique_subject = no\n"
      "[any]\ncommonName = supplied\n";
  if (WriteWholeFile(folder / "ca.conf", conf) && WriteWholeFile(folder / "index.txt", "") &&
      WriteWholeFile(folder / "serial", "1000\n")) {
    return true;
  }
  *error = "cannot write the authority's files in " + dir;
  return false;
}

const char* NameOf(CertificateKind kind) {
  switch (kind) {
    case CertificateKind::kTrusted:
      return "trusted";
    case CertificateKind::kExpired:
      return "expired";
    case CertificateKind::kOtherName:
      return "other-name";
    case CertificateKind::kUnknownIssuer:
      return "unknown-issuer";
  }
  return "unknown";
}

}  // namespace

std::string OpensslPath() { return FindProgram("openssl"); }

std::string TestAuthority(const fs::path& folder, std::string* error) {
  const fs::path certificate = folder / "ca.pem";
  if (fs::exists(certificate)) return certificate.string();
  if (!WriteAuthorityConfiguration(folder, error)) return {};
  const std::vector<std::string> args =
      Joined(Joined({"req", "-x509"}, kNewKey),
             {"-keyout", (folder / "ca.key").string(), "-out", certificate.string(), "-days", "2",
              "-subj", "/CN=Corvane Test Authority"});
  if (!Run(args, error)) return {};
  return certificate.string();
}

bool MakeServerCertificate(const fs::path& folder, CertificateKind kind, ServerCertificate* made,
                           std::string* error) {
  const std::string name = NameOf(kind);
  const fs::path key = folder / (name + ".key");
  const fs::path certificate = folder / (name + ".pem");
  const std::string host_names = kind == CertificateKind::kOtherName
                                     ? "subjectAltName=DNS:other.example"
                                     : "subjectAltName=IP:127.0.0.1,DNS:localhost";
  const std::string subject =
      kind == CertificateKind::kOtherName ? "/CN=other.example" : "/CN=127.0.0.1";
  if (kind == CertificateKind::kUnknownIssuer) {
    if (!Run(Joined(Joined({"req", "-x509"}, kNewKey),
                    {"-keyout", key.string(), "-out", certificate.string(), "-days", "2", "-subj",
                     subject, "-addext", host_names}),
             error)) {
      return false;
    }
  } else {
    const std::string authority = TestAuthority(folder, error);
    if (authority.empty()) return false;
    const fs::path request = folder / (name + ".csr");
    if (!Run(Joined(Joined({"req"}, kNewKey),
                    {"-keyout", key.string(), "-out", request.string(), "-subj", subject, "-addext",
                     host_names}),
             error)) {
      return false;
    }
    const bool expired = kind == CertificateKind::kExpired;
    if (!Run({"ca", "-batch", "-notext", "-config", (folder / "ca.conf").string(), "-cert",
              authority, "-keyfile", (folder / "ca.key").string(), "-in", request.string(), "-out",
              certificate.string(), "-startdate", expired ? "20200101000000Z" : "20250101000000Z",
              "-enddate", expired ? "20200201000000Z" : "20991231000000Z"},
             error)) {
      return false;
    }
  }
  made->certificate = certificate.string();
  made->key = key.string();
  return true;
}

}  // namespace corvane::testsupport
