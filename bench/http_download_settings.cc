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

// A part of many files: at most 1000 of them, which is what one nginx and one
// command line hold comfortably.
PartSettings FilesPart(const char* name, const char* title, const char* files_variable,
                       uint64_t files, const char* mib_variable, uint64_t mib) {
  PartSettings part;
  part.name = name;
  part.title = title;
  part.files = static_cast<int>(std::min<uint64_t>(NumberFromEnv(files_variable, files), 1000));
  part.file_mib = NumberFromEnv(mib_variable, mib);
  return part;
}

}  // namespace

Settings ReadSettings() {
  Settings settings;
  PartSettings single;
  single.name = "single";
  single.title = "One large file";
  single.files = 1;
  single.file_mib = NumberFromEnv("CORVANE_BENCH_MIB", 2048);
  const std::vector<PartSettings> known = {
      single,
      FilesPart("small", "Small files queued at once", "CORVANE_BENCH_SMALL_FILES", 200,
                "CORVANE_BENCH_SMALL_FILE_MIB", 1),
      FilesPart("parallel", "Large files at once", "CORVANE_BENCH_PARALLEL_FILES", 20,
                "CORVANE_BENCH_PARALLEL_FILE_MIB", 64),
      FilesPart("many", "Many files at once", "CORVANE_BENCH_FILES", 100, "CORVANE_BENCH_FILE_MIB",
                8),
  };
  std::vector<std::string> chosen = {"single", "small", "parallel"};
  if (const char* parts = std::getenv("CORVANE_BENCH_PARTS"); parts != nullptr && *parts != '\0') {
    chosen = SplitList(parts);
  }
  for (const PartSettings& part : known) {
    if (std::find(chosen.begin(), chosen.end(), part.name) != chosen.end()) {
      settings.parts.push_back(part);
    }
  }
  settings.rounds = static_cast<int>(
      std::min<uint64_t>(NumberFromEnv("CORVANE_BENCH_ROUNDS", settings.rounds), 20));
  settings.down_limit_mib = NumberFromEnv("CORVANE_BENCH_DOWN_LIMIT_MIB", 0);
  if (const char* tls = std::getenv("CORVANE_BENCH_TLS"); tls != nullptr) {
    settings.tls = std::string(tls) == "1";
  }
  if (const char* tools = std::getenv("CORVANE_BENCH_TOOLS"); tools != nullptr && *tools != '\0') {
    settings.tools.clear();
    for (const std::string& tool : SplitList(tools)) {
      if (tool == "corvane" || tool == "tavp" || tool == "aria2c" || tool == "wget2" ||
          tool == "axel" || tool == "curl") {
        settings.tools.push_back(tool);
      }
    }
  }
  if (const char* out = std::getenv("CORVANE_COMPARE_OUT"); out != nullptr) {
    settings.report_path = out;
  }
  return settings;
}

}  // namespace corvane::bench
