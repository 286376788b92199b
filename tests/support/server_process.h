// What the fixtures of real server programs (nginx, squid) share: a private
// folder for their files, a start on a free loopback port, their logs read
// line by line, and a stop by PID. A port is drawn from below the kernel's
// ephemeral range (32768 and up on Linux), so an outgoing connection never
// holds it; only another server started the same way can, and then another is
// drawn. One owner thread calls everything.
#ifndef TESTS_SUPPORT_SERVER_PROCESS_H_
#define TESTS_SUPPORT_SERVER_PROCESS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_program.h"

namespace corvane::testsupport {

// The first executable file `name` in the folders of PATH, then in
// `extra_folders` (":"-separated); empty when there is none.
[[nodiscard]] std::string FindProgram(const std::string& name,
                                      const std::string& extra_folders = "/usr/bin:/bin");

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

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_SERVER_PROCESS_H_
