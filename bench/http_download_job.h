// One download job of the HTTP download comparison, handed to each program in
// turn, and the outcome of one program's run of it; the settings every program
// gets alike.
#ifndef BENCH_HTTP_DOWNLOAD_JOB_H_
#define BENCH_HTTP_DOWNLOAD_JOB_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/http_download_children.h"
#include "bench/http_download_sources.h"

namespace corvane::bench {

// Connections per download of corvane and aria2c, and aria2c's split size,
// which is corvane's block size.
inline constexpr int kConnections = 5;
inline constexpr const char* kSplitSize = "4M";

// A wait bounded by the amount of data: generous, since the machine is shared
// and a debug build is slow, but a stuck download still ends the program.
[[nodiscard]] Milliseconds DownloadLimit(uint64_t bytes);

// The files of one part and where the current run puts them. The files are
// borrowed from main's lists; the comparison sets the folders before each run.
struct Job {
  std::vector<const SourceFile*> files;
  std::vector<std::string> urls;  // files[i] at urls[i]
  std::filesystem::path folder;   // empty at the start of the run
  std::filesystem::path scratch;  // beside, for list files; not downloaded into
  [[nodiscard]] uint64_t bytes() const {
    uint64_t total = 0;
    for (const SourceFile* file : files) total += file->size;
    return total;
  }
};

struct RunResult {
  std::string tool;
  int round = 0;
  bool ok = false;
  std::string failure;
  double wall_s = 0;
  // Until the data is on the disk, not only in the page cache: corvane's wall
  // time (it syncs every block before its final rename); for the others their
  // wall time plus an fdatasync of their files after they exit.
  double durable_s = 0;
  Cost cost;
  uint64_t served_bytes = 0;
  double machine_busy = 0;  // share of all CPUs busy during the run, any process
  std::string detail;

  [[nodiscard]] double mib_per_s(uint64_t bytes) const {
    return wall_s > 0 ? static_cast<double>(bytes) / kMiB / wall_s : 0;
  }
};

// Checks that every file was downloaded under its URL's last segment into the
// job's folder, as aria2c and curl name them.
[[nodiscard]] bool VerifyInFolder(const Job& job, std::string* error);

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_JOB_H_
