// For the storage tests: small file helpers, and the logger that records every
// line TLOG is given. Header-only so that any storage test program can use it.
#ifndef STORAGE_STORAGE_TESTUTIL_H_
#define STORAGE_STORAGE_TESTUTIL_H_

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "download/log_capture_testutil.h"

namespace lorvane::testing {

inline void WriteFile(const std::string& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// storage/testdata/<name>, found from this header's own place in the tree.
inline std::string TestDataPath(const std::string& name) {
  return (std::filesystem::path(__FILE__).parent_path() / "testdata" / name).string();
}

}  // namespace lorvane::testing

#endif  // STORAGE_STORAGE_TESTUTIL_H_
