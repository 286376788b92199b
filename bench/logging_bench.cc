// Cost of log statements: one nobody wants (no formatting, no writer asked),
// from one thread and from eight at once; formatted ones from eight threads at
// once, as the service's default settings have them, with the slowest one;
// and written ones through the file writer in UTF-16 and in 8-bit mode.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "base/logging/logging.h"
#include "base/logging/trace_log_writer.h"
#include "base/platform/clock.h"

namespace {

namespace fs = std::filesystem;

// A folder of its own for the settings, the log file and the named objects.
class BenchFolder {
 public:
  BenchFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("tobric-logging-bench-" + std::to_string(random()));
    fs::create_directories(path_ / "run");
    fs::create_directories(path_ / "machine");
    fs::permissions(path_ / "run", fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", (path_ / "run").c_str(), 1);
    setenv("TOBRIC_MACHINE_OBJECT_DIR", (path_ / "machine").c_str(), 1);
  }
  ~BenchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  [[nodiscard]] std::string folder() const { return path_.string(); }
  [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::unique_ptr<tobric::Logging> MakeLogger(const BenchFolder& folder,
                                            const std::string& settings) {
  std::ofstream(folder.file("bench.ini")) << settings;
  tobric::LoggingOptions options;
  options.settings_path = folder.file("bench.ini");
  options.module_folder = folder.folder();
  options.module_name = "bench";
  options.default_log_file = "bench.log";
  // Registered as the program's trace writer is, with no session attached: the
  // one writer an unwanted statement asks.
  options.trace_provider_guid = tobric::kTraceProviderGuid;
  auto logger = std::make_unique<tobric::Logging>(options);
  tobric::Logging::SetCurrentForTesting(logger.get());
  return logger;
}

// A logger for a benchmark run by several threads: thread 0 makes it before
// the timed loop and lets it go after; the loop's start and end are barriers
// for all threads.
class SharedLogger {
 public:
  SharedLogger(const benchmark::State& state, const std::string& settings) : state_(state) {
    if (state_.thread_index() != 0) return;
    folder_ = std::make_unique<BenchFolder>();
    logger_ = MakeLogger(*folder_, settings);
  }
  ~SharedLogger() {
    if (state_.thread_index() != 0) return;
    tobric::Logging::SetCurrentForTesting(nullptr);
    logger_.reset();
    folder_.reset();
  }
  SharedLogger(const SharedLogger&) = delete;
  SharedLogger& operator=(const SharedLogger&) = delete;

 private:
  const benchmark::State& state_;
  static inline std::unique_ptr<BenchFolder> folder_;
  static inline std::unique_ptr<tobric::Logging> logger_;
};

// Run by one thread, and by eight at once: an unwanted statement writes no
// memory that other threads read, so its cost must not grow with the threads
// that log.
void BM_StatementNobodyWants(benchmark::State& state) {
  // Threshold 1 excludes level 5; the trace writer has no session.
  const SharedLogger logger(state, "[LoggingLevel]\nLC_USER=1\n");
  int value = 0;
  for (auto _ : state) {
    TLOG(tobric::LC_USER, 5, "[Bench::Run][value %d of %s]", value, "nothing");
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(value);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatementNobodyWants);
BENCHMARK(BM_StatementNobodyWants)->Threads(8);

// The service's defaults: every category at threshold 1, so a level-1
// statement is formatted and offered to the trace writer, which declines with
// no session. Eight threads contend for the logger's lock; max_us is the
// slowest statement a thread saw (averaged over the threads): a statement
// that finds the lock busy must not pause for the 50 ms retry interval.
void BM_FormattedStatementContended(benchmark::State& state) {
  const SharedLogger logger(state, "[LoggingLevel]\nLC_USER=1\n");
  int value = 0;
  double slowest_us = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    TLOG(tobric::LC_USER, 1, "[Bench::Run][block %d of %s]", ++value, "http://example.test/a");
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    slowest_us = std::max(slowest_us, took.count());
  }
  state.counters["max_us"] = benchmark::Counter(slowest_us, benchmark::Counter::kAvgThreads);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormattedStatementContended)->Threads(8)->UseRealTime();

void BM_StatementOfSwitchedOffCategory(benchmark::State& state) {
  BenchFolder folder;
  auto logger = MakeLogger(folder, "[LoggingLevel]\nLC_USER=0\n");
  for (auto _ : state) {
    TLOG(tobric::LC_USER, 0, "[Bench::Run][value %d]", 1);
    benchmark::ClobberMemory();
  }
  tobric::Logging::SetCurrentForTesting(nullptr);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatementOfSwitchedOffCategory);

// What the re-read check would cost if every statement read the clock.
void BM_TickCount(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(tobric::platform::TickCount());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TickCount);

void WrittenStatements(benchmark::State& state, bool wide) {
  BenchFolder folder;
  auto logger = MakeLogger(folder, std::string("[LoggingSettings]\nLogToFile=1\nLogFileWide=") +
                                       (wide ? "1" : "0") + "\n");
  int value = 0;
  for (auto _ : state) {
    TLOG(tobric::LC_USER, 1, "[Task::Complete][WorkerItem failed 0x%x, block %d of %s]",
         0x80004005u, ++value, "http://example.test/video.mp4");
  }
  tobric::Logging::SetCurrentForTesting(nullptr);
  // items_per_second: lines written per second.
  state.SetItemsProcessed(state.iterations());
}

void BM_StatementToFileUtf16(benchmark::State& state) { WrittenStatements(state, true); }
BENCHMARK(BM_StatementToFileUtf16);

void BM_StatementToFile8Bit(benchmark::State& state) { WrittenStatements(state, false); }
BENCHMARK(BM_StatementToFile8Bit);

}  // namespace

BENCHMARK_MAIN();
