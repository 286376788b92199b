// A real nginx on 127.0.0.1 for end-to-end tests and benchmarks: serves the
// files of one folder (byte ranges on, as nginx always does for static files).
//
//   NginxServer nginx;
//   ASSERT_TRUE(nginx.Start(folder, {})) << nginx.error();
//   ... download nginx.Url("/movie.mp4") ...
#ifndef TESTS_SUPPORT_NGINX_SERVER_H_
#define TESTS_SUPPORT_NGINX_SERVER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/server_process.h"
#include "tests/support/test_certificates.h"

namespace corvane::testsupport {

struct NginxOptions {
  // Bytes per second per connection (limit_rate); 0: unlimited.
  uint64_t limit_rate = 0;
  // The send buffer of each connection; 0: the system's. The rate limit paces
  // only what does not fit into the buffer, and loopback buffers grow to
  // megabytes: with a small one the pace holds from the start.
  uint32_t send_buffer = 0;
  // Set: TLS only, with a certificate of this kind; AuthorityFile() is the
  // authority a client must trust.
  std::optional<CertificateKind> tls{};
};

// One line of nginx's access log: a request finished, whole or cut short.
struct NginxLogRecord {
  int status = 0;
  uint64_t body_bytes = 0;
  // When nginx read the request's first bytes, in milliseconds of the system
  // clock since the Unix epoch.
  uint64_t start_ms = 0;
  std::string uri;    // as on the request line
  std::string range;  // the Range header, empty when none was sent
};

class NginxServer : public ServerProcess {
 public:
  // The nginx program, or empty when it is not installed.
  [[nodiscard]] static std::string ProgramPath();

  // Starts nginx serving `root` and waits (bounded) until it answers; false
  // with error() set.
  [[nodiscard]] bool Start(const std::string& root, const NginxOptions& options);

  // "http://127.0.0.1:<port>" + path ("https://" over TLS).
  [[nodiscard]] std::string Url(const std::string& path) const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port()) + path;
  }
  // Over TLS: the PEM file of the test authority (for SSL_CERT_FILE).
  [[nodiscard]] std::string AuthorityFile() const { return authority_file_; }
  // Sum of the body bytes of the requests logged so far.
  [[nodiscard]] uint64_t LoggedBodyBytes() const;
  [[nodiscard]] std::vector<NginxLogRecord> LoggedRequests() const;

 private:
  bool tls_ = false;
  std::string authority_file_;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_NGINX_SERVER_H_
