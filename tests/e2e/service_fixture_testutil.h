// The end-to-end fixture: a user of its own for every test (HOME, the XDG
// folders, TMPDIR under a fresh temporary folder), the real corvaned started as
// a child process in that user's environment, a lorvane::Client connected to
// it, the real corvane run as a child with its output captured, and what the
// download tests share (a download folder, source files of seeded random
// bytes, the blocks a metafile records, the check of a finished download).
//
// The test process sets the same variables in its own environment: the client
// library and the named objects derive their places from it, so the test and
// its children meet in the same folders while parallel tests never meet.
// Every wait is bounded, with limits sized for sanitizer builds.
#ifndef TESTS_E2E_SERVICE_FIXTURE_TESTUTIL_H_
#define TESTS_E2E_SERVICE_FIXTURE_TESTUTIL_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/client.h"
#include "client/format.h"
#include "gtest/gtest.h"
#include "package/package.h"
#include "tests/support/child_program.h"
#include "tests/support/isolated_env.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scoped_no_proxy.h"

namespace corvane::e2e {

using Milliseconds = std::chrono::milliseconds;
using lorvane::PackageView;

inline constexpr uint64_t kMiB = 1024 * 1024;
inline constexpr uint64_t kBlock = 4 * kMiB;
// A start, a stop, or a change the service makes on a pool thread.
inline constexpr Milliseconds kChangeLimit{30'000};
// Until a running download has some blocks recorded.
inline constexpr Milliseconds kProgressLimit{60'000};
// A whole download; one run of corvane (a `get` includes the download).
inline constexpr Milliseconds kDownloadLimit{90'000};

// Writes `size` bytes of seeded random data.
void WriteRandomFile(const std::string& path, uint64_t size, uint64_t seed);
// One flag per block of the download a metafile describes: recorded or not.
[[nodiscard]] std::vector<bool> RecordedBlocks(const std::string& metafile);
// Milliseconds of the system clock since the Unix epoch, as nginx logs them.
[[nodiscard]] uint64_t NowMs();
// No range request nginx started at `since_ms` or later asked for a block
// that `recorded` (by request path) holds.
void ExpectNoRecordedBlockFetched(const testsupport::NginxServer& nginx, uint64_t since_ms,
                                  const std::map<std::string, std::vector<bool>>& recorded);
// nginx paced to `rate` bytes a second on each connection from the first byte
// on, so that a test can pause or kill a download in the middle.
[[nodiscard]] testsupport::NginxOptions Paced(uint64_t rate);
[[nodiscard]] std::string Describe(const PackageView& package);
// The corvane program of this build.
[[nodiscard]] std::string CorvaneProgram();

// A fresh user and its folders; the variables come back at the end. Made
// first in every fixture, before any thread reads the environment.
class TestUser {
 public:
  [[nodiscard]] const std::string& root() const { return env_.root(); }
  [[nodiscard]] std::string home() const { return root() + "/home"; }
  [[nodiscard]] std::string list_file() const {
    return root() + "/data/Velmo/Corvane/User Data/download_list.db";
  }

 private:
  tobric::platform::IsolatedEnv env_;
  testsupport::ScopedNoProxy no_proxy_;
  // What the machine may have set that would change what the programs do: a
  // service manager's socket and a chosen service program.
  testsupport::ScopedEnv notify_socket_{"NOTIFY_SOCKET", std::nullopt};
  testsupport::ScopedEnv service_program_{"CORVANED", std::nullopt};
};

// How a test starts corvaned; its delays for its users' sake (the list's save
// delay, the retry delay, the time a quick download is held back) last 100 ms.
struct ServiceOptions {
  std::vector<std::string> args{};
  bool pipe_input = false;  // the debug console reads standard input
  std::vector<std::pair<std::string, std::optional<std::string>>> environment{};
};

// A test with its own user and a running corvaned downloading into folder_
// with five workers. TearDown expects the clean stop (ExitService, exit code
// 0) and prints the service's standard error when anything failed.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts corvaned, waits for readiness and connects client_.
  void StartService(const ServiceOptions& options = {});
  void StopServiceCleanly();
  void RestartService(const ServiceOptions& options) {
    ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());
    ASSERT_NO_FATAL_FAILURE(StartService(options));
  }
  void KillService();
  // Adds a download of `uri`, kills the service once `blocks` blocks are in,
  // starts it again with `options` and expects the download to complete with
  // the bytes of `source`. With `nginx`, the server of `uri`: the kill found a
  // block recorded, and none recorded was fetched again.
  void KillAmidDownloadAndComplete(const std::string& uri, const std::string& source,
                                   uint64_t blocks, const ServiceOptions& options = {},
                                   const testsupport::NginxServer* nginx = nullptr);
  template <typename Param, typename Value>
  void Set(HRESULT (lorvane::Client::*setter)(Param, HRESULT*), const Value& value) {
    HRESULT hr = E_FAIL;
    ASSERT_EQ((client_.*setter)(value, &hr), S_OK);
    ASSERT_EQ(hr, S_OK) << lorvane::FormatCode(hr);
  }

  // Adds a download and finds its id by its uri.
  void AddPackage(const std::string& uri, std::string* id);
  [[nodiscard]] std::vector<PackageView> Packages();
  // Polls the package until done(package) holds; false at the limit.
  bool WaitForPackage(const std::string& id, const std::function<bool(const PackageView&)>& done,
                      Milliseconds limit = kChangeLimit);
  // Until the package has finished or failed; *package is the last record seen.
  bool WaitForEnd(const std::string& id, PackageView* package, Milliseconds limit = kDownloadLimit);
  void Start(const std::vector<std::string>& ids) {
    bool all_ok = false;
    ASSERT_EQ(client_.StartPackages(ids, &all_ok), S_OK);
  }
  // Complete, under the name of `source` with its bytes, and neither its data
  // file nor its metafile left.
  void ExpectCompleted(const std::string& id, const std::string& source);

  TestUser user_;
  std::string folder_;
  std::unique_ptr<tobric::platform::ChildProgram> service_;
  lorvane::Client client_;
};

// With a folder, www_, that a real nginx serves; skipped without nginx.
class NginxDownloadTest : public ServiceTest {
 protected:
  void SetUp() override;

  std::string www_;
};

}  // namespace corvane::e2e

#endif  // TESTS_E2E_SERVICE_FIXTURE_TESTUTIL_H_
