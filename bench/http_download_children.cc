// Running the child programs of the HTTP download comparison, and the machine
// figures read from /proc.
#include "bench/http_download_children.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>

#include "tests/support/nginx_server.h"

namespace corvane::bench {

using tobric::platform::ChildProgram;
using tobric::platform::ChildProgramOptions;

double ToSeconds(std::chrono::nanoseconds value) {
  return std::chrono::duration<double>(value).count();
}

void Cost::Add(const tobric::platform::ChildResourceUsage& usage) {
  user_s += ToSeconds(usage.user_cpu);
  system_s += ToSeconds(usage.system_cpu);
  peak_rss_kib = std::max(peak_rss_kib, usage.peak_rss_kib);
}

// A service manager's socket (corvaned would report to it) and a chosen service
// program (corvane would start that one instead of finding ours running).
ChildProgramOptions ProgramOptions(std::vector<std::string> argv) {
  ChildProgramOptions options;
  options.argv = std::move(argv);
  options.environment = {{"NOTIFY_SOCKET", std::nullopt}, {"CORVANED", std::nullopt}};
  if (!TrustedAuthority().empty()) {
    options.environment.emplace_back("SSL_CERT_FILE", TrustedAuthority());
  }
  return options;
}

namespace {

std::string& Authority() {
  static std::string* const pem_file = new std::string();
  return *pem_file;
}

}  // namespace

void SetTrustedAuthority(const std::string& pem_file) { Authority() = pem_file; }

const std::string& TrustedAuthority() { return Authority(); }

ChildRun RunToEnd(std::vector<std::string> argv, Milliseconds limit) {
  ChildRun run;
  ChildProgram program;
  std::string error;
  run.started = program.Start(ProgramOptions(std::move(argv)), &error);
  if (!run.started) {
    run.err = error;
    return run;
  }
  run.finished = program.WaitForExit(limit);
  if (!run.finished) {
    static_cast<void>(program.Signal(ChildProgram::StopSignal::kKill));
    static_cast<void>(program.WaitForExit(kStopLimit));
  }
  run.exit_code = program.exit_code();
  run.out = program.Output();
  run.err = program.Errors();
  if (const auto usage = program.resource_usage()) run.usage = *usage;
  return run;
}

std::string Describe(const std::vector<std::string>& argv, const ChildRun& run) {
  std::string command = std::filesystem::path(argv[0]).filename().string();
  for (size_t i = 1; i < argv.size() && i < 6; ++i) command += " " + argv[i];
  if (argv.size() > 6) command += " ...";
  std::string text = command + ": ";
  if (!run.started) return text + "could not start: " + run.err;
  if (!run.finished) text += "killed at the time limit; ";
  text += "exit " + std::to_string(run.exit_code);
  std::string err = run.err.substr(0, 600);
  if (!err.empty()) text += "; stderr: " + err;
  return text;
}

namespace {

const std::string& SyncProgram() {
  static const std::string program = corvane::testsupport::FindProgram("sync");
  return program;
}

}  // namespace

void SyncDisks() {
  if (!SyncProgram().empty()) static_cast<void>(RunToEnd({SyncProgram()}, kStopLimit));
}

double SyncFiles(const std::vector<std::string>& files) {
  if (SyncProgram().empty()) return -1;
  std::vector<std::string> argv = {SyncProgram(), "-d"};
  argv.insert(argv.end(), files.begin(), files.end());
  const auto start = Clock::now();
  const ChildRun run = RunToEnd(argv, kStopLimit);
  if (!run.finished || run.exit_code != 0) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

CpuTicks ReadCpuTicks() {
  std::ifstream in("/proc/stat");
  std::string label;
  in >> label;
  CpuTicks ticks;
  // user nice system idle iowait irq softirq steal: idle and iowait are idle.
  for (int field = 0; field < 8; ++field) {
    uint64_t value = 0;
    in >> value;
    ticks.total += value;
    if (field != 3 && field != 4) ticks.busy += value;
  }
  return ticks;
}

}  // namespace corvane::bench
