// The corvane side of the HTTP download comparison: this build's service,
// started fresh for each run, driven by its command-line client.
#ifndef BENCH_HTTP_DOWNLOAD_CORVANE_H_
#define BENCH_HTTP_DOWNLOAD_CORVANE_H_

#include <filesystem>
#include <string>
#include <vector>

#include "bench/http_download_children.h"
#include "bench/http_download_job.h"
#include "tests/support/child_program.h"

namespace corvane::bench {

// One corvane run: a fresh service with a user of its own, the commands that
// configure it and download the job, the check of the files it lists, and
// its stop. Made and used on the bench's thread for one run; ChildProgram
// keeps threads of its own for output and exit.
class CorvaneRun {
 public:
  // The service's standard error goes to `errors_file` when the run fails.
  CorvaneRun(std::string service_program, std::string client_program,
             std::filesystem::path errors_file);
  // Reported under `tool`; with a limit, `config set down` is given first.
  void set_tool(std::string tool, uint64_t down_limit_mib) {
    tool_ = std::move(tool);
    down_limit_mib_ = down_limit_mib;
  }
  CorvaneRun(const CorvaneRun&) = delete;
  CorvaneRun& operator=(const CorvaneRun&) = delete;

  // The cost is that of the service from start to exit plus every command
  // except the `list --json` polls, which are shown apart in the detail.
  [[nodiscard]] RunResult Run(const Job& job);

 private:
  bool StartService(std::string* error);
  // Runs corvane with args; its cost goes to `cost`.
  bool Client(const std::vector<std::string>& args, Milliseconds limit, Cost* cost, ChildRun* run,
              std::string* error);
  void Download(const Job& job, RunResult* result);
  // Polls the list until every download is complete; false at the deadline or
  // at the first download in error.
  bool WaitAllComplete(const Job& job, Clock::time_point deadline, std::string* error);
  void StopService(RunResult* result);

  std::string tool_ = "corvane";
  uint64_t down_limit_mib_ = 0;
  const std::string service_program_;
  const std::string client_program_;
  const std::filesystem::path errors_file_;
  tobric::platform::ChildProgram service_;
  Cost clients_;
  Cost polls_cost_;
  int polls_ = 0;
  std::string add_time_;
  std::string seen_;
};

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_CORVANE_H_
