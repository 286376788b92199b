// The RPC interface of a real corvaned holding 1000 downloads: calls per second
// and the 99th percentile latency of GetPackageList (room for 4336 records,
// 1000 sent back) with 20 clients calling at once, GetPackageCount calls per
// second, and the resident memory of the idle service.
//
// The service is the one of this build tree (bin/corvaned beside the bench/
// folder of this program), started once as a child with a user of its own
// (fresh HOME, XDG folders and TMPDIR), filled through DownloadUri and stopped
// at the end. The downloads are of an unsupported scheme: each is listed in
// error at once, and nothing goes to the network.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
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

constexpr int kPackages = 1000;
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
    if (Failed(hr) || !ok || packages.size() != kPackages) {
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
    if (Failed(client.GetPackageCount(&count)) || count != kPackages) {
      state.SkipWithError("GetPackageCount failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPackageCount)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetPackageCount)->Threads(kClients)->UseRealTime()->Unit(benchmark::kMicrosecond);

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
    for (int i = 0; i < kPackages; ++i) {
      HRESULT result = S_OK;
      const std::string uri = "ftp://127.0.0.1/videos/Episode-" + std::to_string(i) + ".mkv";
      if (Failed(client.DownloadUri(uri, &result))) {
        *error = "DownloadUri failed";
        return false;
      }
    }
    int32_t count = 0;
    if (Failed(client.GetPackageCount(&count)) || count != kPackages) {
      *error = "the service holds " + std::to_string(count) + " packages";
      return false;
    }
    return true;
  }

  // Waits (bounded) until the delayed save has written every package: from
  // then on the service has nothing to do until the next call.
  bool WaitIdle() {
    const std::string list_path =
        tobric::platform::LocalAppDataFolder() + "/Velmo/Corvane/User Data/download_list.db";
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
      if (files == kPackages) return true;
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

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  tobric::platform::IsolatedEnv env;
  Service service;
  std::string error;
  if (!service.Start(&error)) {
    std::fprintf(stderr, "bench_rpc: %s\n", error.c_str());
    return 1;
  }
  const uint64_t empty_kib = tobric::platform::ResidentKiB(service.pid());
  if (!service.Fill(&error)) {
    std::fprintf(stderr, "bench_rpc: %s\n", error.c_str());
    service.Stop();
    return 1;
  }
  if (!service.WaitIdle()) std::fprintf(stderr, "bench_rpc: the list was not saved in time\n");
  const uint64_t filled_kib = tobric::platform::ResidentKiB(service.pid());
  std::printf("corvaned VmRSS: %llu KiB idle and empty, %llu KiB idle with %d packages\n",
              static_cast<unsigned long long>(empty_kib),
              static_cast<unsigned long long>(filled_kib), kPackages);
  std::fflush(stdout);

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("corvaned VmRSS after the calls: %llu KiB\n",
              static_cast<unsigned long long>(tobric::platform::ResidentKiB(service.pid())));
  service.Stop();
  return 0;
}
