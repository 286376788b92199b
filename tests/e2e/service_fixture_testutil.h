// The end-to-end fixture: a user of its own for every test (HOME, the XDG
// folders, TMPDIR under a fresh temporary folder), the real corvaned started as
// a child process in that user's environment, a lorvane::Client connected to
// it, and the real corvane run as a child with its output captured.
//
// The test process sets the same variables in its own environment: the client
// library and the named objects (readiness event, instance lock, socket) derive
// their places from the environment, so the test and its children meet in the
// same folders while tests running in parallel never meet.
//
// Every wait is bounded. The limits are generous because the programs may be
// built with AddressSanitizer or ThreadSanitizer, which slow a start or a stop
// by several times; the CTest limit of one test stays above their sum.
//
// Threads: the test's thread uses everything here; ChildProgram keeps threads
// of its own for output and exit.
#ifndef TESTS_E2E_SERVICE_FIXTURE_TESTUTIL_H_
#define TESTS_E2E_SERVICE_FIXTURE_TESTUTIL_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result_codes.h"
#include "client/client.h"
#include "gtest/gtest.h"
#include "tests/support/child_program.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"
#include "tests/support/scoped_no_proxy.h"

struct evp_md_ctx_st;

namespace corvane::e2e {

using Milliseconds = std::chrono::milliseconds;
using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// From the readiness wait's start to the event being set.
inline constexpr Milliseconds kReadyLimit{30'000};
// Each step of a stop: ExitService, then SIGTERM, then SIGKILL.
inline constexpr Milliseconds kExitServiceLimit{30'000};
inline constexpr Milliseconds kTerminateLimit{15'000};
inline constexpr Milliseconds kKillLimit{10'000};
// One run of corvane (a `get` includes starting the service).
inline constexpr Milliseconds kCommandLimit{60'000};
// A change the service makes on a pool thread, seen through polling.
inline constexpr Milliseconds kChangeLimit{20'000};
// What every wait the service makes for its users' sake (the save delay, the
// retry delay, the time a quick download is held back) lasts in these tests.
inline constexpr Milliseconds kServiceDelays{100};

// The programs under test (the build's bin/ folder).
[[nodiscard]] std::string ServiceProgram();
[[nodiscard]] std::string ClientProgram();

// "http://127.0.0.1:1/<name>": port 1 refuses at once on loopback, so a
// download of it never leaves the machine and fails without waiting.
[[nodiscard]] std::string RefusedUri(const std::string& name);

inline std::string ReadFileText(const std::string& path) { return testsupport::ReadFile(path); }
inline void WriteFileText(const std::string& path, const std::string& text) {
  testsupport::WriteFile(path, text);
}

// SHA-256 of a byte stream, in lower-case hex: a downloaded file is compared
// with its source by digest, so a 40 MiB mismatch reports in one line.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(std::string_view bytes);
  // The digest of everything given so far; the object is spent afterwards.
  [[nodiscard]] std::string HexDigest();

 private:
  evp_md_ctx_st* context_;
};

// SHA-256 of a file's bytes; empty when it cannot be read.
[[nodiscard]] std::string FileSha256(const std::string& path);

// The outcome of one corvane run.
struct CommandResult {
  bool finished = false;  // false: killed at the limit
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs corvane with args in the test's environment plus changes.
[[nodiscard]] CommandResult RunCorvane(const std::vector<std::string>& args,
                                       const EnvironmentChanges& changes = {},
                                       Milliseconds limit = kCommandLimit);

// One corvaned child process, its delays shortened to kServiceDelays.
class ServiceProcess {
 public:
  struct Options {
    std::string program;            // empty: the corvaned of this build
    std::vector<std::string> args;  // after the program path
    bool pipe_input = false;        // the debug console reads standard input
    EnvironmentChanges environment;  // on top of the test user's
  };
  // How Stop ended the process.
  enum class StopPath { kAlreadyEnded, kExitService, kTerminate, kKill, kStillRunning };

  ServiceProcess() = default;
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts corvaned; false with *error when it cannot be run.
  bool Start(const Options& options, std::string* error);
  // Waits until the service's readiness event (in the test user's object
  // folder) is set; false when the limit passes or the process ends first.
  bool WaitReady(Milliseconds limit = kReadyLimit);
  // ExitService through a client, then SIGTERM, then SIGKILL, each bounded,
  // and reaps the process.
  StopPath Stop();

  tobric::platform::ChildProgram& process() { return process_; }
  [[nodiscard]] bool running() const { return started_ && !process_.exited(); }

 private:
  tobric::platform::ChildProgram process_;
  bool started_ = false;
};

[[nodiscard]] const char* StopPathName(ServiceProcess::StopPath path);

// A fresh user and its folders; the variables come back at the end. Made
// first in every fixture, before any thread reads the environment.
class TestUser {
 public:
  TestUser();

  [[nodiscard]] const std::string& root() const { return env_.root(); }
  [[nodiscard]] std::string home() const { return root() + "/home"; }
  // $XDG_DATA_HOME/Velmo/Corvane/User Data
  [[nodiscard]] std::string user_data_folder() const;
  [[nodiscard]] std::string list_file() const { return user_data_folder() + "/download_list.db"; }
  // The RPC socket in the per-user object folder.
  [[nodiscard]] std::string socket_path() const;

 private:
  tobric::platform::IsolatedEnv env_;
  testsupport::ScopedNoProxy no_proxy_;
  // What the machine running the tests may have set and would change what the
  // programs do: a service manager's socket (corvaned would report to it) and
  // a chosen service program (corvane would start that one).
  testsupport::ScopedEnv notify_socket_{"NOTIFY_SOCKET", std::nullopt};
  testsupport::ScopedEnv service_program_{"CORVANED", std::nullopt};
};

// A test with its own user and a running corvaned. SetUp starts the service
// and connects client_; TearDown stops it and expects the stop to be the
// clean one (ExitService, exit code 0), printing the service's standard error
// when anything failed.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // How SetUp starts the service.
  virtual ServiceProcess::Options StartOptions() const { return {}; }

  // Starts corvaned, waits for readiness and connects client_ (fatal
  // failures when any step fails).
  void StartService(const ServiceProcess::Options& options = {});
  // Stops it the clean way and checks that: ExitService ended it with 0.
  void StopServiceCleanly();

  // Adds a download and returns its id (fatal failure when it is not listed).
  void AddPackage(const std::string& uri, std::string* id, HRESULT* result = nullptr);
  // Every package, through client_.
  void ListPackages(std::vector<lorvane::PackageView>* packages);
  // The package of id; false when it is not listed.
  bool FindPackage(const std::string& id, lorvane::PackageView* package);
  // Polls GetPackageInfo until done(package) holds; false at the limit.
  bool WaitForPackage(const std::string& id,
                      const std::function<bool(const lorvane::PackageView&)>& done,
                      Milliseconds limit = kChangeLimit);

  TestUser user_;
  std::unique_ptr<ServiceProcess> service_;
  lorvane::Client client_;
};

}  // namespace corvane::e2e

#endif  // TESTS_E2E_SERVICE_FIXTURE_TESTUTIL_H_
