// A real squid on 127.0.0.1 for end-to-end tests of proxies: a forwarding
// proxy that keeps nothing (no cache), optionally demanding Basic proxy
// authentication, started by the fixture on a free loopback port and stopped by
// its PID.
//
//   if (!SquidServer::NotInstalled().empty()) GTEST_SKIP() << SquidServer::NotInstalled();
//   SquidServer squid;
//   ASSERT_TRUE(squid.Start({.user = "alice", .password = "s3cret"})) << squid.error();
//   ... request through "http=127.0.0.1:" + std::to_string(squid.port()) ...
//   ASSERT_TRUE(squid.WaitForLoggedRequests(2, std::chrono::seconds(10)));
//
// Run by root, squid hands itself to the user "nobody"; its folder is then
// made under /tmp and open to that user.
//
// Threads: one owner thread calls everything.
#ifndef TESTS_SUPPORT_SQUID_SERVER_H_
#define TESTS_SUPPORT_SQUID_SERVER_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/server_process.h"

namespace corvane::testsupport {

struct SquidOptions {
  // With a user, every request must carry this user and password (Basic
  // proxy authentication); squid answers 407 to any other. Without one,
  // every request from loopback is forwarded.
  std::string user;
  std::string password;
};

// One line of squid's access log: a request squid has finished.
struct SquidLogRecord {
  int status = 0;      // what squid answered: 407 for missing or wrong credentials
  std::string method;  // "GET", "CONNECT", ...
  std::string user;    // the authenticated user; empty when none
  std::string url;     // as the client asked for it ("host:port" for CONNECT)
};

class SquidServer {
 public:
  SquidServer() = default;
  ~SquidServer();

  // The squid program, or empty when it is not installed.
  [[nodiscard]] static std::string ProgramPath();
  // Why Start cannot work here (squid, its Basic authentication helper or
  // openssl, which makes the password file, is missing); empty when it can.
  [[nodiscard]] static std::string NotInstalled();

  // Writes a configuration (and the password file) into a private temporary
  // folder, starts squid in the foreground as a child on a free 127.0.0.1
  // port, and waits (bounded) until it answers there. False with error() set.
  [[nodiscard]] bool Start(const SquidOptions& options);
  // SIGTERM, a bounded wait, then SIGKILL; reaps the process. Idempotent.
  void Stop() { server_.Stop(); }

  [[nodiscard]] uint16_t port() const { return server_.port(); }
  // "127.0.0.1:<port>", as a named proxy is written.
  [[nodiscard]] std::string Address() const { return "127.0.0.1:" + std::to_string(port()); }
  [[nodiscard]] const std::string& error() const { return error_; }
  // Every request squid has logged so far, in the order of the log. Squid
  // writes a line once it has answered, so a client can have the answer a
  // moment before the line is there.
  [[nodiscard]] std::vector<SquidLogRecord> LoggedRequests() const;
  // Waits until at least `count` requests are logged; false when `limit`
  // passes first.
  [[nodiscard]] bool WaitForLoggedRequests(size_t count, std::chrono::milliseconds limit) const;

 private:
  ServerProcess server_;
  std::string folder_;
  std::string error_;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_SQUID_SERVER_H_
