// Child programs of the HTTP download comparison and what they cost: a program
// run to its end with its CPU time and peak memory as the kernel reports them
// when it is reaped, the description of a failed run, and the machine-wide
// figures (share of busy CPU, load average) printed beside each run.
#ifndef BENCH_HTTP_DOWNLOAD_CHILDREN_H_
#define BENCH_HTTP_DOWNLOAD_CHILDREN_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/child_program.h"

namespace corvane::bench {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Limits of a child that should end at once (a command of corvane, `sync`) and
// of a stop.
inline constexpr Milliseconds kCommandLimit{60'000};
inline constexpr Milliseconds kStopLimit{60'000};

[[nodiscard]] double ToSeconds(std::chrono::nanoseconds value);

// CPU and memory of one or more processes.
struct Cost {
  double user_s = 0;
  double system_s = 0;
  uint64_t peak_rss_kib = 0;

  void Add(const tobric::platform::ChildResourceUsage& usage);
  [[nodiscard]] double cpu_s() const { return user_s + system_s; }
};

struct ChildRun {
  bool started = false;
  bool finished = false;
  int exit_code = -1;
  tobric::platform::ChildResourceUsage usage;
  std::string out;
  std::string err;
};

// The options of every child: argv, and the variables of the machine that would
// change what the programs do removed.
[[nodiscard]] tobric::platform::ChildProgramOptions ProgramOptions(std::vector<std::string> argv);

// Over TLS: the authority every child is told to trust (SSL_CERT_FILE); empty
// (the default) for plain HTTP. Set once, before the first child.
void SetTrustedAuthority(const std::string& pem_file);
[[nodiscard]] const std::string& TrustedAuthority();

// Runs a program to its end (killed at the limit).
[[nodiscard]] ChildRun RunToEnd(std::vector<std::string> argv, Milliseconds limit);

// "name arg ...: exit N; stderr: ..." for a run that failed.
[[nodiscard]] std::string Describe(const std::vector<std::string>& argv, const ChildRun& run);

// Writes everything to disk, so that no run pays for the writeback of another.
void SyncDisks();

// Seconds that `sync -d` takes to make `files` durable; a negative value when
// it could not.
[[nodiscard]] double SyncFiles(const std::vector<std::string>& files);

// The three load averages of /proc/loadavg, as "1.00 0.50 0.25".
[[nodiscard]] std::string LoadAverage();

// Busy and total jiffies of all CPUs (first line of /proc/stat).
struct CpuTicks {
  uint64_t busy = 0;
  uint64_t total = 0;
};

[[nodiscard]] CpuTicks ReadCpuTicks();

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_CHILDREN_H_
