// The environment variables of the HTTP download comparison.
#include "bench/http_download_settings.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace corvane::bench {

namespace {

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

uint64_t NumberFromEnv(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  const uint64_t number = std::strtoull(value, nullptr, 10);
  return number > 0 ? number : fallback;
}

}  // namespace

Settings ReadSettings() {
  Settings settings;
  settings.single_mib = NumberFromEnv("CORVANE_BENCH_MIB", settings.single_mib);
  settings.many_files = static_cast<int>(
      std::min<uint64_t>(NumberFromEnv("CORVANE_BENCH_FILES", settings.many_files), 1000));
  settings.many_file_mib = NumberFromEnv("CORVANE_BENCH_FILE_MIB", settings.many_file_mib);
  settings.rounds = static_cast<int>(
      std::min<uint64_t>(NumberFromEnv("CORVANE_BENCH_ROUNDS", settings.rounds), 20));
  if (const char* parts = std::getenv("CORVANE_BENCH_PARTS"); parts != nullptr && *parts != '\0') {
    const std::vector<std::string> chosen = SplitList(parts);
    settings.single = std::find(chosen.begin(), chosen.end(), "single") != chosen.end();
    settings.many = std::find(chosen.begin(), chosen.end(), "many") != chosen.end();
  }
  settings.down_limit_mib = NumberFromEnv("CORVANE_BENCH_DOWN_LIMIT_MIB", 0);
  if (const char* tls = std::getenv("CORVANE_BENCH_TLS"); tls != nullptr) {
    settings.tls = std::string(tls) == "1";
  }
  if (const char* tools = std::getenv("CORVANE_BENCH_TOOLS"); tools != nullptr && *tools != '\0') {
    settings.tools.clear();
    for (const std::string& tool : SplitList(tools)) {
      if (tool == "corvane" || tool == "tavp" || tool == "aria2c" || tool == "curl") {
        settings.tools.push_back(tool);
      }
    }
  }
  return settings;
}

}  // namespace corvane::bench
