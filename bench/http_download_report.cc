// The machine and program descriptions of the HTTP download comparison's
// report, read from /proc, /etc/os-release and the programs themselves.
#include "bench/http_download_report.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/http_download_children.h"

namespace corvane::bench {

namespace {

namespace fs = std::filesystem;

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string FirstLine(const std::string& text) {
  const std::string trimmed = Trim(text);
  return trimmed.substr(0, trimmed.find('\n'));
}

// The value of "key<separator>value" in a file of such lines.
std::string FieldOfFile(const std::string& file, const std::string& key, char separator) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const size_t at = line.find(separator);
    if (at == std::string::npos || Trim(line.substr(0, at)) != key) continue;
    std::string value = Trim(line.substr(at + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return "unknown";
}

std::string UtcText(const char* format) {
  const auto now = std::chrono::system_clock::now();
  const auto day = std::chrono::floor<std::chrono::days>(now);
  const std::chrono::year_month_day date(day);
  const std::chrono::hh_mm_ss time(std::chrono::floor<std::chrono::minutes>(now - day));
  char text[64];
  std::snprintf(text, sizeof(text), format, static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()));
  return text;
}

// The mount that holds `folder`: the longest mount point that starts its
// path, from /proc/self/mounts.
std::string FileSystemOf(const fs::path& folder) {
  std::error_code ec;
  fs::path target = fs::weakly_canonical(folder, ec);
  if (ec) target = folder;
  const std::string path = target.string();
  std::ifstream in("/proc/self/mounts");
  std::string device, mount_point, type, best_device, best_mount, best_type;
  std::string rest;
  while (in >> device >> mount_point >> type && std::getline(in, rest)) {
    const bool inside =
        path == mount_point || mount_point == "/" || path.rfind(mount_point + "/", 0) == 0;
    if (inside && mount_point.size() >= best_mount.size()) {
      best_device = device;
      best_mount = mount_point;
      best_type = type;
    }
  }
  if (best_type.empty()) return "unknown";
  return best_type + " (" + best_device + " on " + best_mount + ")";
}

}  // namespace

std::string TodayUtc() { return UtcText("%04d-%02u-%02u"); }

std::string NowUtc() { return UtcText("%04d-%02u-%02u %02d:%02d UTC"); }

std::string ProgramVersion(const std::string& program) {
  const bool nginx = fs::path(program).filename() == "nginx";
  const ChildRun run = RunToEnd({program, nginx ? "-v" : "--version"}, kCommandLimit);
  std::string line = FirstLine(run.out.empty() ? run.err : run.out);
  return line.empty() ? "unknown" : line;
}

std::string MachineDescription(const fs::path& folder) {
  std::ostringstream out;
  out << "- CPU: " << FieldOfFile("/proc/cpuinfo", "model name", ':') << ", "
      << std::thread::hardware_concurrency() << " CPUs\n";
  const std::string memory = FieldOfFile("/proc/meminfo", "MemTotal", ':');
  const double memory_gib =
      static_cast<double>(std::strtoull(memory.c_str(), nullptr, 10)) / (1024.0 * 1024.0);
  char memory_text[32];
  std::snprintf(memory_text, sizeof(memory_text), "%.1f GiB", memory_gib);
  out << "- memory: " << memory_text << "\n";
  out << "- system: " << FieldOfFile("/etc/os-release", "PRETTY_NAME", '=') << ", kernel ";
  std::ifstream kernel("/proc/sys/kernel/osrelease");
  std::string release;
  std::getline(kernel, release);
  out << (release.empty() ? "unknown" : release) << "\n";
  out << "- file system of the downloads (" << folder.string() << "): " << FileSystemOf(folder)
      << "\n";
  return out.str();
}

bool WriteReport(const fs::path& path, const std::string& text, std::string* error) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    *error = "cannot write " + path.string();
    return false;
  }
  return true;
}

}  // namespace corvane::bench
