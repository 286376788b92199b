#include "tests/support/files.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace corvane::testsupport {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, std::string_view bytes) {
  std::error_code ignored;
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent, ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

std::multiset<std::string> ContentsOfFilesStartingWith(const std::string& folder,
                                                     const std::string& prefix) {
  std::multiset<std::string> contents;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with(prefix)) {
      contents.insert(ReadFile(entry.path().string()));
    }
  }
  return contents;
}

std::string MakePrivateFolder(const std::string& prefix, bool open_to_all) {
  std::error_code ec;
  const fs::path base = open_to_all ? fs::path("/tmp") : fs::temp_directory_path(ec);
  std::mt19937_64 random(std::random_device{}());
  for (int i = 0; !ec && i < 100; ++i) {
    const fs::path candidate = base / (prefix + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate, ec) && !ec) {
      fs::permissions(candidate, open_to_all ? fs::perms::all : fs::perms::owner_all, ec);
      return candidate.string();
    }
  }
  return {};
}

}  // namespace corvane::testsupport
