// A real squid on 127.0.0.1 for end-to-end tests of proxies: a forwarding
// proxy that keeps nothing, optionally demanding Basic proxy authentication.
// Run by root, squid works as "nobody"; its folder is then open to that user.
#ifndef TESTS_SUPPORT_SQUID_SERVER_H_
#define TESTS_SUPPORT_SQUID_SERVER_H_

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/nginx_server.h"

namespace corvane::testsupport {

struct SquidOptions {
  // With a user, squid answers 407 to any request without this login.
  std::string user;
  std::string password;
};

// One line of squid's access log, written once squid has answered.
struct SquidLogRecord {
  int status = 0;
  std::string method;  // "GET", "CONNECT", ...
  std::string user;    // the authenticated user; empty when none
  std::string url;     // as the client asked for it ("host:port" for CONNECT)
};

class SquidServer : public ServerProcess {
 public:
  // Why Start cannot work here (squid, its Basic helper or openssl missing);
  // empty when it can.
  [[nodiscard]] static std::string NotInstalled();

  // Starts squid and waits (bounded) until it answers; false with error() set.
  [[nodiscard]] bool Start(const SquidOptions& options);
  // "127.0.0.1:<port>", as a named proxy is written.
  [[nodiscard]] std::string Address() const { return "127.0.0.1:" + std::to_string(port()); }
  [[nodiscard]] std::vector<SquidLogRecord> LoggedRequests() const;
  // Waits until `count` requests are logged; false when `limit` passes first.
  [[nodiscard]] bool WaitForLoggedRequests(size_t count, std::chrono::milliseconds limit) const;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_SQUID_SERVER_H_
