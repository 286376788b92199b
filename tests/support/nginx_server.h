// Real server programs on 127.0.0.1 for end-to-end tests and benchmarks: what
// they share (ServerProcess, certificates for TLS) and nginx serving the files
// of one folder (byte ranges on, as nginx always does for static files).
//
//   NginxServer nginx;
//   ASSERT_TRUE(nginx.Start(folder, {})) << nginx.error();
//   ... download nginx.Url("/movie.mp4") ...
#ifndef TESTS_SUPPORT_NGINX_SERVER_H_
#define TESTS_SUPPORT_NGINX_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_program.h"

namespace corvane::testsupport {

// The first executable file `name` in the folders of PATH, then in
// `extra_folders` (":"-separated); empty when there is none.
[[nodiscard]] std::string FindProgram(const std::string& name,
                                      const std::string& extra_folders = "/usr/bin:/bin");

// The openssl program that makes the certificates, or empty when it is not
// installed.
[[nodiscard]] std::string OpensslPath();

// A server certificate for 127.0.0.1 and localhost, signed by a test authority
// of the server's own, or deliberately wrong in one way.
enum class CertificateKind {
  kTrusted,        // signed by the test authority, valid now
  kExpired,        // signed by the test authority, valid only in 2020
  kOtherName,      // signed by the test authority, for another host name only
  kUnknownIssuer,  // signed by itself
};

// What the fixtures of real server programs (nginx, squid) share: a private
// folder for their files, a start on a free loopback port, their logs read
// line by line, and a stop by PID. A port is drawn from below the kernel's
// ephemeral range (32768 and up on Linux), so an outgoing connection never
// holds it; only another server started the same way can, and then another is
// drawn. One owner thread calls everything.
class ServerProcess {
 public:
  ~ServerProcess();
  // SIGTERM, a bounded wait, then SIGKILL; reaps the process. Idempotent.
  void Stop();
  // 0 while not running.
  [[nodiscard]] uint16_t port() const { return port_; }
  [[nodiscard]] const std::string& error() const { return error_; }

 protected:
  // Makes folder_ on first use; false with error_ set.
  bool MakeFolder(const std::string& prefix, bool open_to_all = false);
  // Draws ports until the program `argv` (in the foreground, so that its PID
  // is the one to stop), configured by configure(port), answers(port, pid)
  // within a time limit; false with error_ set. `log` is the server's own log,
  // shown when it did not start and searched for a port already in use.
  bool Launch(const std::function<bool(uint16_t port)>& configure,
              const std::vector<std::string>& argv,
              const std::function<bool(uint16_t port, int pid)>& answers, const std::string& log);
  // The finished lines of a log in folder_ (one being written has no end yet).
  [[nodiscard]] std::vector<std::string> LogLines(const std::string& name) const;

  std::string folder_;
  std::string error_;

 private:
  std::unique_ptr<tobric::platform::ChildProgram> child_;
  uint16_t port_ = 0;
};

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
  [[nodiscard]] std::string AuthorityFile() const { return tls_ ? folder_ + "/ca.pem" : ""; }
  // Sum of the body bytes of the requests logged so far.
  [[nodiscard]] uint64_t LoggedBodyBytes() const;
  [[nodiscard]] std::vector<NginxLogRecord> LoggedRequests() const;

 private:
  bool tls_ = false;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_NGINX_SERVER_H_
