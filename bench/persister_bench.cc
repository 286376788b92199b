// The cost of one save of the download list: collecting the packages under the
// center's lock, printing the XML into memory, writing and flushing
// "<list>.new", the rename onto the list and the flush of its folder.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "base/platform/work_pool.h"
#include "center/offline_center.h"
#include "package/package.h"
#include "storage/persister.h"

namespace lorvane {
namespace {

void BM_DoPersist2Disk(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string folder = (std::filesystem::temp_directory_path() /
                              ("persister-bench-" + std::to_string(std::random_device{}())))
                                 .string();
  std::error_code error;
  if (!std::filesystem::create_directory(folder, error)) {
    state.SkipWithError("no temporary folder");
    return;
  }

  tobric::platform::WorkPool::Options pool_options;
  pool_options.default_threads = 1;
  tobric::platform::WorkPool work_pool(pool_options);
  OfflineCenterOptions options;
  options.work_pool = &work_pool;
  options.download_list_path = folder + "/download_list.db";
  options.use_persister = false;
  {
    OfflineCenter center(options);
    Persister persister(&center);
    for (int i = 0; i < count; ++i) {
      Package* package = Package::Create();
      const std::string name = "Some.Film.Title.2024.1080p-" + std::to_string(i) + ".mkv";
      package->set_uri("http://media.example.test/library/films/" + name +
                       "?token=abcdef0123456789");
      package->set_path("/home/user/KxDownload");
      package->set_name(name + ".sugd");
      package->set_caption(name);
      package->set_metafile("/home/user/KxDownload/" + name + ".sugc");
      package->set_create_time(133500000000000000 + static_cast<uint64_t>(i));
      package->set_total_size(4'000'000'000ULL + static_cast<uint64_t>(i));
      package->set_download_size(1'234'567'890ULL);
      center.AddInternal(package);
    }

    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
      if (Failed(persister.DoPersist2Disk())) {
        state.SkipWithError("save failed");
        break;
      }
    }
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    const auto bytes = std::filesystem::file_size(options.download_list_path);
    state.counters["ms_per_save"] = elapsed.count() / static_cast<double>(state.iterations());
    state.counters["bytes_written"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_DoPersist2Disk)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace lorvane

BENCHMARK_MAIN();
