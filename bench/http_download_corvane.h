// The corvane side of the HTTP download comparison: this build's service,
// started once for a part as a user has it running, and its command-line
// client timed over each run.
#ifndef BENCH_HTTP_DOWNLOAD_CORVANE_H_
#define BENCH_HTTP_DOWNLOAD_CORVANE_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/http_download_children.h"
#include "bench/http_download_job.h"
#include "tests/support/child_program.h"
#include "tests/support/isolated_env.h"

namespace corvane::bench {

struct ListedPackage;

// A fresh service with a user of its own, configured once (download folder,
// connections per download, downloads at once), then given one job per run
// with `corvane get`. Made, used and destroyed on the bench's thread for one
// part; ChildProgram keeps threads of its own for output and exit. The user's
// environment (HOME, XDG folders, TMPDIR) is this process's from Start to
// Stop, so the other programs' runs in between make theirs inside it.
class CorvaneService {
 public:
  // The service's standard error goes to `errors_file` when a run fails.
  CorvaneService(std::string service_program, std::string client_program,
                 std::filesystem::path errors_file);
  ~CorvaneService();
  CorvaneService(const CorvaneService&) = delete;
  CorvaneService& operator=(const CorvaneService&) = delete;

  // Starts the service and sets its folder, 5 connections per download, and
  // `tasks` downloads at once when that is more than one; with a limit,
  // `config set down` too. False with `error` when any of it fails.
  bool Start(const std::filesystem::path& folder, size_t tasks, uint64_t down_limit_mib,
             std::string* error);

  // One run, reported under `tool`: `corvane get -q URL...` (with `-d` when
  // the job's folder is not the service's) timed from its start to the last
  // file under its final name, then the files checked against what the
  // service lists and the downloads removed from its list.
  // The cost is the client's CPU plus the service's CPU over the run, and the
  // service's peak resident memory during the run; the client's peak is in
  // the detail.
  [[nodiscard]] RunResult Run(const std::string& tool, const Job& job);

  // Stops the service; what it cost over its whole life, as a line.
  [[nodiscard]] std::string Stop();

 private:
  // Runs corvane with args; its cost goes to `cost`.
  bool Client(const std::vector<std::string>& args, Milliseconds limit, Cost* cost, ChildRun* run,
              std::string* error);
  // Checks every download of the list against its source (a failure only
  // when the run had none), then removes them all from the list. A download
  // counts as finished when its finish is stamped, even while the list still
  // shows it running.
  void CheckAndForget(const Job& job, const std::vector<ListedPackage>& packages,
                      RunResult* result);

  const std::string service_program_;
  const std::string client_program_;
  const std::filesystem::path errors_file_;
  std::filesystem::path folder_;  // the service's download folder
  std::unique_ptr<tobric::platform::IsolatedEnv> user_;
  tobric::platform::ChildProgram service_;
  bool running_ = false;
};

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_CORVANE_H_
