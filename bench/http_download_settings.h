// What the HTTP download comparison runs, read from the environment: the parts
// and their sizes, the number of rounds and the programs (CORVANE_BENCH_MIB,
// _SMALL_FILES, _SMALL_FILE_MIB, _PARALLEL_FILES, _PARALLEL_FILE_MIB, _FILES,
// _FILE_MIB, _ROUNDS, _PARTS, _TOOLS), and where the Markdown report goes
// (CORVANE_COMPARE_OUT).
#ifndef BENCH_HTTP_DOWNLOAD_SETTINGS_H_
#define BENCH_HTTP_DOWNLOAD_SETTINGS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::bench {

// One part of the comparison: `files` files of `file_mib` MiB each, all given
// to each program at once.
struct PartSettings {
  std::string name;   // as CORVANE_BENCH_PARTS names it: single, small, parallel, many
  std::string title;  // the heading of its table
  int files = 1;
  uint64_t file_mib = 1;
};

// Read once by main, then copied; a value that is not a positive number keeps
// its default.
struct Settings {
  // The parts chosen, in the order they run.
  std::vector<PartSettings> parts;
  int rounds = 3;  // at most 20
  std::vector<std::string> tools = {"corvane", "aria2c", "wget2", "axel", "curl"};
  // Over TLS from nginx, with a certificate of a test authority every program
  // is told to trust.
  bool tls = false;
  // Set: the "tavp" runs first tell the service `config set down` this many
  // MiB per second (the P2P engine's download limit), to measure how well it
  // holds; 0: no limit.
  uint64_t down_limit_mib = 0;
  // The Markdown report; empty: bench/results/compare-<date>.md of the source
  // tree.
  std::string report_path;
};

[[nodiscard]] Settings ReadSettings();

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_SETTINGS_H_
