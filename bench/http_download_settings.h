// What the HTTP download comparison runs, read from the environment: the sizes
// of the large file and of the many files, the number of rounds, the parts and
// the programs (CORVANE_BENCH_MIB, _FILES, _FILE_MIB, _ROUNDS, _PARTS, _TOOLS).
#ifndef BENCH_HTTP_DOWNLOAD_SETTINGS_H_
#define BENCH_HTTP_DOWNLOAD_SETTINGS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::bench {

// Read once by main, then copied; a value that is not a positive number keeps
// its default.
struct Settings {
  uint64_t single_mib = 2048;
  int many_files = 100;  // at most 1000
  uint64_t many_file_mib = 8;
  int rounds = 3;  // at most 20
  bool single = true;
  bool many = true;
  std::vector<std::string> tools = {"corvane", "aria2c", "curl"};
  // Over TLS from nginx, with a certificate of a test authority every program
  // is told to trust.
  bool tls = false;
  // Set: the "tavp" runs first tell the service `config set down` this many
  // MiB per second (the P2P engine's download limit), to measure how well it
  // holds; 0: no limit.
  uint64_t down_limit_mib = 0;
};

[[nodiscard]] Settings ReadSettings();

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_SETTINGS_H_
