// What the fixtures of real server programs (nginx, squid) share: a start on
// a free loopback port and a stop by PID. A port is drawn from below the
// kernel's ephemeral range (32768 and up on Linux), so an outgoing connection
// never holds it; only another server started the same way can, and then
// another is drawn.
#ifndef TESTS_SUPPORT_SERVER_PROCESS_H_
#define TESTS_SUPPORT_SERVER_PROCESS_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_program.h"

namespace corvane::testsupport {

// One HEAD request to `url`, never through a proxy whatever the environment
// says, over TLS without checking the certificate, with short time limits;
// true when any answer came. The answer's header lines go to *headers when it
// is not null.
[[nodiscard]] bool AnswersHead(const std::string& url, std::string* headers = nullptr);

// How to run one server program.
struct ServerLaunch {
  // "nginx": for messages.
  std::string name;
  // Writes the configuration for `port`; false when it cannot.
  std::function<bool(uint16_t port)> configure;
  // The program and its arguments; it must stay in the foreground, so that
  // its PID is the one to stop.
  std::vector<std::string> argv;
  // True once the server started as `pid` answers on `port`.
  std::function<bool(uint16_t port, int pid)> answers;
  // The server's own log: shown when it did not start, and searched for a
  // port already in use.
  std::string log;
};

// One running server program, stopped by its PID (SIGTERM, a bounded wait,
// SIGKILL) by Stop or the destructor.
class ServerProcess {
 public:
  ~ServerProcess() { Stop(); }

  // Draws ports until the server answers on one within its time limit (which
  // leaves room for nginx's own retries of a busy port and a slow, shared
  // machine); false with *error set.
  [[nodiscard]] bool Start(const ServerLaunch& launch, std::string* error);
  // Idempotent.
  void Stop();
  // 0 while not running.
  [[nodiscard]] uint16_t port() const { return port_; }

 private:
  std::unique_ptr<tobric::platform::ChildProgram> child_;
  uint16_t port_ = 0;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_SERVER_PROCESS_H_
