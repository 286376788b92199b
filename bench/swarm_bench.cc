// bench_swarm: libtorrix downloading one file (1 GiB unless
// CORVANE_SWARM_BENCH_MIB says otherwise) as a magnet link from a seeder of
// this process plus nginx as a web seed, against the same file as an HTTP
// link from nginx alone. Each run reports its wall time and the process's CPU
// seconds (the seeder's included: it runs in this process); the end prints
// the ratios swarm/HTTP. Every download is compared with its source.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "tests/support/isolated_env.h"
#include "tests/support/nginx_server.h"
#include "torrix/swarm_seeder_testutil.h"
#include "torrix/torrix.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1024 * 1024;

struct Outcome {
  double seconds = 0;
  double cpu_seconds = 0;
  bool exact = false;
};

// The served file, nginx and the seeder, made once for both benchmarks.
class Sources {
 public:
  static Sources& Get() {
    static Sources* const sources = new Sources();
    return *sources;
  }

  bool ok() const { return ok_; }
  uint64_t size() const { return size_; }
  std::string HttpLink() const {
    return "tavp://" + std::to_string(size_) + "|" + nginx_.Url("/movie.bin") + "|movie.bin";
  }
  std::string MagnetLink() const {
    return torrix::testutil::TavpMagnetLink(
        size_, seeder_->Magnet({seeder_->port()}, {nginx_.Url("/movie.bin")}), "movie.bin");
  }
  std::string Source() const { return www_ + "/movie.bin"; }
  std::string Folder() const { return env_.root() + "/downloads"; }

 private:
  Sources() {
    const char* mib = std::getenv("CORVANE_SWARM_BENCH_MIB");
    size_ = (mib != nullptr ? std::strtoull(mib, nullptr, 10) : 1024) * kMiB;
    www_ = env_.root() + "/www";
    std::filesystem::create_directories(www_);
    {
      std::ofstream out(Source(), std::ios::binary);
      std::mt19937_64 random(42);
      std::string block(kMiB, '\0');
      for (uint64_t done = 0; done < size_; done += kMiB) {
        for (size_t i = 0; i < block.size(); i += 8) {
          const uint64_t word = random();
          std::memcpy(&block[i], &word, 8);
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
      }
    }
    if (!nginx_.Start(www_, {})) {
      std::fprintf(stderr, "nginx: %s\n", nginx_.error().c_str());
      return;
    }
    seeder_ = std::make_unique<torrix::testutil::SwarmPeer>();
    ok_ = seeder_->Seed(
        torrix::testutil::SwarmPeer::MakeTorrent(Source(), {.piece_size = 1024 * 1024}), www_);
  }

  tobric::platform::IsolatedEnv env_;
  uint64_t size_ = 0;
  std::string www_;
  corvane::testsupport::NginxServer nginx_;
  std::unique_ptr<torrix::testutil::SwarmPeer> seeder_;
  bool ok_ = false;
};

// Streams both files side by side.
bool SameBytes(const std::string& a, const std::string& b) {
  std::ifstream first(a, std::ios::binary);
  std::ifstream second(b, std::ios::binary);
  if (!first || !second) return false;
  std::string x(kMiB, '\0');
  std::string y(kMiB, '\0');
  for (;;) {
    first.read(x.data(), static_cast<std::streamsize>(x.size()));
    second.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (first.gcount() != second.gcount()) return false;
    if (std::memcmp(x.data(), y.data(), static_cast<size_t>(first.gcount())) != 0) return false;
    if (first.gcount() == 0 || !first) return !second.read(y.data(), 1);
  }
}

Outcome Download(const std::string& link) {
  Sources& sources = Sources::Get();
  const std::string folder = sources.Folder();
  std::filesystem::remove_all(folder);
  Torrix_Init(u"libtorrix.so", u"12");
  for (const auto& [id, value] :
       {std::pair{TORRIX_SETTING_LISTEN_PORT, 0}, {TORRIX_SETTING_DHT, 0},
        {TORRIX_SETTING_LSD, 0}, {TORRIX_SETTING_PORT_MAPPING, 0},
        {TORRIX_SETTING_LOOPBACK_ONLY, 1}, {TORRIX_SETTING_SEGMENT_KIB, 4096},
        {TORRIX_SETTING_WORKERS, 4}}) {
    Torrix_SetSetting(id, value);
  }
  TorrixCreateParams params{};
  std::copy(link.begin(), link.end(), params.uri);
  std::copy(folder.begin(), folder.end(), params.folder);
  uint32_t handle = 0;
  Outcome outcome;
  const std::clock_t cpu_start = std::clock();
  const auto start = Clock::now();
  if (Torrix_CreateP2SPTask(&handle, &params) == TORRIX_OK && Torrix_StartTask(handle) == TORRIX_OK) {
    TorrixTaskInfo info{};
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      Torrix_GetTaskInfoBatch(&handle, 1, &info);
    } while (info.state != TORRIX_STATE_COMPLETE && info.state != TORRIX_STATE_FAILED);
  }
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  outcome.cpu_seconds = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  Torrix_Quit();
  outcome.exact = SameBytes(folder + "/movie.bin", sources.Source());
  std::filesystem::remove_all(folder);
  return outcome;
}

Outcome http_outcome;
Outcome swarm_outcome;

void Report(benchmark::State& state, const Outcome& outcome) {
  state.SetIterationTime(outcome.seconds);
  state.counters["cpu_s"] = outcome.cpu_seconds;
  state.counters["MiB_per_s"] =
      static_cast<double>(Sources::Get().size()) / kMiB / outcome.seconds;
  if (!outcome.exact) state.SkipWithError("the download does not match its source");
}

void BM_HttpLink(benchmark::State& state) {
  if (!Sources::Get().ok()) return state.SkipWithError("no sources");
  for (auto _ : state) {
    http_outcome = Download(Sources::Get().HttpLink());
    Report(state, http_outcome);
  }
}
BENCHMARK(BM_HttpLink)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_MagnetWithWebSeed(benchmark::State& state) {
  if (!Sources::Get().ok()) return state.SkipWithError("no sources");
  for (auto _ : state) {
    swarm_outcome = Download(Sources::Get().MagnetLink());
    Report(state, swarm_outcome);
  }
}
BENCHMARK(BM_MagnetWithWebSeed)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (http_outcome.seconds > 0 && swarm_outcome.seconds > 0) {
    std::printf("swarm/http: time %.2f, cpu %.2f\n", swarm_outcome.seconds / http_outcome.seconds,
                swarm_outcome.cpu_seconds / http_outcome.cpu_seconds);
  }
  return 0;
}
