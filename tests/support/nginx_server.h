// A real nginx on 127.0.0.1 for end-to-end tests and benchmarks: serves the
// files of one folder (byte ranges on, as nginx always does for static files),
// started by the fixture on a free loopback port and stopped by its PID.
//
//   NginxServer nginx;
//   ASSERT_TRUE(nginx.Start(folder, {})) << nginx.error();
//   ... download nginx.Url("/movie.mp4") ...
//   nginx.Stop();  // also done by the destructor
//
// Threads: one owner thread calls everything.
#ifndef TESTS_SUPPORT_NGINX_SERVER_H_
#define TESTS_SUPPORT_NGINX_SERVER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/server_process.h"
#include "tests/support/test_certificates.h"

namespace corvane::testsupport {

// The first executable file `name` in the folders of PATH, then in
// `extra_folders` (":"-separated); empty when there is none.
[[nodiscard]] std::string FindProgram(const std::string& name,
                                      const std::string& extra_folders = "/usr/bin:/bin");

struct NginxOptions {
  // Bytes per second per connection (nginx limit_rate); 0: unlimited. Slows a
  // download down enough for a test to pause or kill it in the middle.
  uint64_t limit_rate = 0;
  // The send buffer of each connection (listen sndbuf); 0: the system's. The
  // rate limit paces only what does not fit into the buffer, and loopback
  // buffers grow to megabytes: with a small one the pace holds from the start.
  uint32_t send_buffer = 0;
  // False: nginx serves no ranges (max_ranges 0), every GET gets the whole
  // file with a 200, as from a server that never learnt ranges.
  bool ranges = true;
  // Set: nginx speaks TLS (only) with a certificate of this kind, made by the
  // fixture; AuthorityFile() is the authority a client must trust.
  std::optional<CertificateKind> tls;
  // False: every connection ends after one request (keepalive_timeout 0), so
  // that each request of a client makes a connection, and a TLS handshake.
  bool keepalive = true;
};

// One line of nginx's access log: a request nginx has finished, whole or cut
// short by the client.
struct NginxLogRecord {
  int status = 0;
  uint64_t body_bytes = 0;
  // When nginx read the request's first bytes, in milliseconds since the Unix
  // epoch (the system clock, as std::chrono::system_clock counts).
  uint64_t start_ms = 0;
  std::string uri;    // as on the request line
  std::string range;  // the Range header, empty when none was sent
  // Over TLS: the connection resumed an earlier TLS session.
  bool tls_session_reused = false;
};

class NginxServer {
 public:
  NginxServer() = default;
  ~NginxServer();

  // The nginx program, or empty when it is not installed.
  [[nodiscard]] static std::string ProgramPath();

  // Writes a configuration into a private temporary folder, starts nginx in
  // the foreground as a child on a free 127.0.0.1 port serving `root`, and
  // waits (bounded) until it accepts connections. False with error() set.
  [[nodiscard]] bool Start(const std::string& root, const NginxOptions& options);
  // SIGTERM, a bounded wait, then SIGKILL; reaps the process. Idempotent.
  // SIGTERM is nginx's fast shutdown: the master stops its worker and waits
  // for it, so nothing of ours keeps the port once the master has been reaped.
  void Stop() { server_.Stop(); }

  [[nodiscard]] uint16_t port() const { return server_.port(); }
  // "http://127.0.0.1:<port>" + path ("https://" over TLS).
  [[nodiscard]] std::string Url(const std::string& path) const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port()) + path;
  }
  // Over TLS: the PEM file of the test authority (for SSL_CERT_FILE).
  [[nodiscard]] std::string AuthorityFile() const { return authority_file_; }
  [[nodiscard]] const std::string& error() const { return error_; }
  // Sum of the body bytes nginx has logged as sent (its access log, one line
  // per finished request); requests still running are not counted.
  [[nodiscard]] uint64_t LoggedBodyBytes() const;
  // Every request nginx has logged so far, in the order of the log.
  [[nodiscard]] std::vector<NginxLogRecord> LoggedRequests() const;

 private:
  ServerProcess server_;
  std::string folder_;
  std::string error_;
  bool tls_ = false;
  std::string authority_file_;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_NGINX_SERVER_H_
