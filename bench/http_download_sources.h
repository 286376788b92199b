// The files the HTTP download comparison serves, and the check of a download
// against its source: size and an order-sensitive 64-bit hash.
#ifndef BENCH_HTTP_DOWNLOAD_SOURCES_H_
#define BENCH_HTTP_DOWNLOAD_SOURCES_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace corvane::bench {

inline constexpr uint64_t kMiB = 1024 * 1024;

// One served file. main fills in the first three fields; PrepareSources the hash.
struct SourceFile {
  std::string url_path;  // "/single-2048MiB.bin", as nginx serves it
  std::filesystem::path path;
  uint64_t size = 0;
  uint64_t hash = 0;
};

// Creates (or reuses) the files and hashes each, which also puts them in the
// page cache before the first download. File i is made from seed + i, so the
// same seed makes the same bytes in every run. False, with `error`, when a file
// cannot be written or read back.
[[nodiscard]] bool PrepareSources(std::vector<SourceFile>* files, uint64_t seed,
                                  std::string* error);

// True when `path` has the size and hash of `source`; otherwise false, with
// what differs in `error`.
[[nodiscard]] bool SameAsSource(const std::filesystem::path& path, const SourceFile& source,
                                std::string* error);

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_SOURCES_H_
