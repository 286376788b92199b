// The RPC interface of a real corvaned: calls per second and the 99th
// percentile latency of GetPackageList (room for 4336 records) with one client
// and with 20 clients calling at once, GetPackageCount calls per second, and
// the resident memory of the service, idle and at its peak during the calls.
//
// The service is the one of this build tree (bin/corvaned beside the bench/
// folder of this program), started once as a child with a user of its own
// (fresh HOME, XDG folders and TMPDIR) and stopped at the end. By default it
// is filled with 1000 downloads through DownloadUri; they are of an
// unsupported scheme, so each is listed in error at once and nothing goes to
// the network. With --list_packages=N the bench instead writes a saved
// download list of N packages (plain HTTP downloads, paused, every tenth
// failed, some with non-ASCII names) before the service starts, and also
// reports the time from start to ready and the memory after start:
//
//   build/rel/bench/bench_rpc --list_packages=10000
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/platform/locations.h"
#include "base/platform/named_event.h"
#include "base/platform/process.h"
#include "client/client.h"
#include "service/app.h"
#include "tests/support/child_program.h"
#include "tests/support/isolated_env.h"

namespace {

using tobric::platform::ChildProgram;

// How many packages the service holds: 1000 filled through DownloadUri, or
// the --list_packages of a saved list.
int g_packages = 1000;
// What a GetPackageList answer holds: one answer carries at most 4336 records.
size_t ExpectedRecords() {
  return static_cast<size_t>(std::min<int>(g_packages, lorvane::rpc::kMaxListRecords));
}
constexpr int kClients = 20;
constexpr auto kReadyLimit = std::chrono::seconds(60);
constexpr auto kStopLimit = std::chrono::seconds(60);

// Latencies of one run of a multi-threaded benchmark, gathered from every
// thread so that thread 0 can report the percentile of all calls. mutex guards
// everything; `all_in` wakes thread 0 when the last thread has added its share.
struct LatencyLog {
  std::mutex mutex;
  std::condition_variable all_in;
  std::vector<double> micros;
  int threads_in = 0;
};

LatencyLog& Latencies() {
  static LatencyLog* const log = new LatencyLog();
  return *log;
}

// Adds this thread's latencies; thread 0 then waits (bounded) for the others
// and returns the 99th percentile in microseconds, the others return -1.
double AddAndReportP99(const benchmark::State& state, const std::vector<double>& mine) {
  LatencyLog& log = Latencies();
  std::unique_lock<std::mutex> hold(log.mutex);
  log.micros.insert(log.micros.end(), mine.begin(), mine.end());
  ++log.threads_in;
  log.all_in.notify_all();
  if (state.thread_index() != 0) return -1;
  log.all_in.wait_for(hold, std::chrono::seconds(60),
                      [&] { return log.threads_in == state.threads(); });
  std::vector<double>& all = log.micros;
  if (all.empty()) return 0;
  const size_t rank = std::min(all.size() - 1, all.size() * 99 / 100);
  std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(rank), all.end());
  return all[rank];
}

void ResetLatencies(const benchmark::State& state) {
  if (state.thread_index() != 0) return;
  // Runs are sequential and every thread passes the start of the timed loop
  // after this, so nobody adds to the log of an earlier run meanwhile.
  LatencyLog& log = Latencies();
  std::lock_guard<std::mutex> hold(log.mutex);
  log.micros.clear();
  log.threads_in = 0;
}

void BM_GetPackageList(benchmark::State& state) {
  ResetLatencies(state);
  lorvane::Client client;
  if (Failed(client.Connect())) {
    state.SkipWithError("cannot connect to corvaned");
    return;
  }
  std::vector<lorvane::PackageView> packages;
  std::vector<double> latencies;
  for (auto _ : state) {
    bool ok = false;
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = client.GetPackageList(&packages, &ok);
    const auto end = std::chrono::steady_clock::now();
    if (Failed(hr) || !ok || packages.size() != ExpectedRecords()) {
      state.SkipWithError("GetPackageList failed or came back short");
      break;
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  state.SetItemsProcessed(state.iterations());
  const double p99 = AddAndReportP99(state, latencies);
  if (p99 >= 0) state.counters["p99_us"] = p99;
}
// One client alone: the cost of one call without waiting for others.
BENCHMARK(BM_GetPackageList)->UseRealTime()->Unit(benchmark::kMillisecond);
// Each of the 20 clients makes several calls, so that the percentile has samples.
BENCHMARK(BM_GetPackageList)
    ->Threads(kClients)
    ->MinTime(5.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_GetPackageCount(benchmark::State& state) {
  lorvane::Client client;
  if (Failed(client.Connect())) {
    state.SkipWithError("cannot connect to corvaned");
    return;
  }
  for (auto _ : state) {
    int32_t count = 0;
    if (Failed(client.GetPackageCount(&count)) || count != g_packages) {
      state.SkipWithError("GetPackageCount failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPackageCount)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetPackageCount)->Threads(kClients)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The saved download list of the service's user.
std::string ListPath() {
  return tobric::platform::LocalAppDataFolder() + "/Velmo/Corvane/User Data/download_list.db";
}

// The corvaned of this build tree, started with the benchmark's environment.
class Service {
 public:
  bool Start(std::string* error) {
    const std::string program = tobric::platform::ProgramFolder() + "/../bin/corvaned";
    tobric::platform::ChildProgramOptions options;
    options.argv = {program};
    options.environment = {{"NOTIFY_SOCKET", std::nullopt}};
    std::unique_ptr<tobric::platform::NamedEvent> ready;
    if (Failed(tobric::platform::NamedEvent::Open(
            lorvane::kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, nullptr))) {
      *error = "no readiness event";
      return false;
    }
    static_cast<void>(ready->Reset());
    if (!process_.Start(options, error)) return false;
    const auto deadline = std::chrono::steady_clock::now() + kReadyLimit;
    while (!ready->Wait(200)) {
      if (process_.exited() || std::chrono::steady_clock::now() >= deadline) {
        *error = program + " did not become ready: " + process_.Errors();
        return false;
      }
    }
    return true;
  }

  bool Fill(std::string* error) {
    lorvane::Client client;
    if (Failed(client.Connect())) {
      *error = "cannot connect to corvaned";
      return false;
    }
    for (int i = 0; i < g_packages; ++i) {
      HRESULT result = S_OK;
      const std::string uri = "ftp://127.0.0.1/videos/Episode-" + std::to_string(i) + ".mkv";
      if (Failed(client.DownloadUri(uri, &result))) {
        *error = "DownloadUri failed";
        return false;
      }
    }
    int32_t count = 0;
    if (Failed(client.GetPackageCount(&count)) || count != g_packages) {
      *error = "the service holds " + std::to_string(count) + " packages";
      return false;
    }
    return true;
  }

  // Waits (bounded) until the delayed save has written every package: from
  // then on the service has nothing to do until the next call.
  bool WaitIdle() {
    const std::string list_path = ListPath();
    const auto deadline = std::chrono::steady_clock::now() + kReadyLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream in(list_path);
      const std::string list((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
      size_t files = 0;
      for (size_t at = list.find("<file "); at != std::string::npos;
           at = list.find("<file ", at + 1)) {
        ++files;
      }
      if (files == static_cast<size_t>(g_packages)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  int32_t pid() const { return process_.pid(); }

  void Stop() {
    lorvane::Client client;
    if (Succeeded(client.Connect()) && Succeeded(client.ExitService()) &&
        process_.WaitForExit(kStopLimit)) {
      return;
    }
    if (process_.Signal(ChildProgram::StopSignal::kTerminate) && process_.WaitForExit(kStopLimit)) {
      return;
    }
    static_cast<void>(process_.Signal(ChildProgram::StopSignal::kKill));
    static_cast<void>(process_.WaitForExit(kStopLimit));
  }

 private:
  ChildProgram process_;
};

// A saved download list of `count` packages in the service's own format, as a
// user with a long history would have it: paused HTTP downloads that never got
// a byte (so start-up looks at no data file), every tenth failed with its
// code, every seventh with a non-ASCII name.
bool WriteList(int count, std::string* error) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(ListPath()).parent_path(), ignored);
  const std::string folder = tobric::platform::LocalAppDataFolder() + "/KxDownload";
  std::ofstream out(ListPath(), std::ios::binary | std::ios::trunc);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<resource version=\"1.0.0\">\n";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    const std::string name = i % 7 == 0 ? "\xE7\x94\xB5\xE5\xBD\xB1 " + n + ".mp4"
                                        : "Some.Film.Title.2024.1080p-" + n + ".mkv";
    // 0xA0440219, a failed connection.
    const char* code = i % 10 == 0 ? "-1606155751" : "0";
    out << "    <file download_size=\"0\" total_size=\"" << 4'000'000'000ULL + i
        << "\" create_time=\"" << 133500000000000000ULL + i
        << "\" complete_time=\"0\" error_code=\"" << code << "\">\n"
        << "        <name>" << name << ".sugd</name>\n"
        << "        <path>" << folder << "</path>\n"
        << "        <uri>http://127.0.0.1:9/library/films/" << name
        << "?token=abcdef0123456789</uri>\n"
        << "        <caption>" << name << "</caption>\n"
        << "        <metafile></metafile>\n    </file>\n";
  }
  out << "</resource>\n";
  out.close();
  if (!out) {
    *error = "cannot write " + ListPath();
    return false;
  }
  return true;
}

// Takes --list_packages=N out of the arguments, before the benchmark library
// sees them; 0 when it is not there.
int TakeListPackages(int* argc, char** argv) {
  constexpr std::string_view kFlag = "--list_packages=";
  int value = 0;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.starts_with(kFlag)) {
      value = std::atoi(argv[i] + kFlag.size());
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  return value;
}

// The peak resident memory of a process (VmHWM) in KiB; 0 when unknown.
uint64_t PeakResidentKiB(int32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// The processor time (user and system) a process has used so far, in ms: on a
// shared machine the wall time to ready says as much about the neighbours.
// /proc/<pid>/stat counts in clock ticks, 100 a second on Linux.
double CpuMs(int32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name (in parentheses, which may hold spaces):
  // state is field 3, utime 14 and stime 15.
  const size_t end = text.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  uint64_t ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(ticks) * 10.0;
}

// Starts a new peak: VmHWM falls to the present VmRSS.
void ResetPeakResident(int32_t pid) {
  std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
  clear << "5";
}

}  // namespace

int main(int argc, char** argv) {
  const int list_packages = TakeListPackages(&argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  tobric::platform::IsolatedEnv env;
  Service service;
  std::string error;
  if (list_packages > 0) {
    g_packages = list_packages;
    if (!WriteList(g_packages, &error)) {
      std::fprintf(stderr, "bench_rpc: %s\n", error.c_str());
      return 1;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  if (!service.Start(&error)) {
    std::fprintf(stderr, "bench_rpc: %s\n", error.c_str());
    return 1;
  }
  const std::chrono::duration<double, std::milli> start_up =
      std::chrono::steady_clock::now() - start;
  const uint64_t started_kib = tobric::platform::ResidentKiB(service.pid());
  if (list_packages > 0) {
    std::printf(
        "corvaned with a saved list of %d packages: ready after %.0f ms (%.0f ms of CPU), "
        "VmRSS %llu KiB\n",
        g_packages, start_up.count(), CpuMs(service.pid()),
        static_cast<unsigned long long>(started_kib));
  } else if (!service.Fill(&error)) {
    std::fprintf(stderr, "bench_rpc: %s\n", error.c_str());
    service.Stop();
    return 1;
  }
  if (!service.WaitIdle()) std::fprintf(stderr, "bench_rpc: the list was not saved in time\n");
  const uint64_t filled_kib = tobric::platform::ResidentKiB(service.pid());
  std::printf("corvaned VmRSS: %llu KiB idle after start, %llu KiB idle with %d packages\n",
              static_cast<unsigned long long>(started_kib),
              static_cast<unsigned long long>(filled_kib), g_packages);
  std::fflush(stdout);
  ResetPeakResident(service.pid());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("corvaned VmRSS after the calls: %llu KiB, peak during the calls: %llu KiB\n",
              static_cast<unsigned long long>(tobric::platform::ResidentKiB(service.pid())),
              static_cast<unsigned long long>(PeakResidentKiB(service.pid())));
  service.Stop();
  return 0;
}
