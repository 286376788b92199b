// The offline center's list operations on a long list: GetPackages (every RPC
// list call and the console's "list" and "stat") and ExistUri (asked by clients
// before each download) for a URI that is not there, the worst case, which
// normalises every listed URI.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "center/offline_center.h"
#include "package/package.h"
#include "package/package_state.h"
#include "tests/support/engine/package_fakes.h"

namespace {

using lorvane::OfflineCenter;
using lorvane::Package;

constexpr int kPackages = 10000;

// One center with kPackages ready packages, made once: packages are never freed,
// so making them per run would only grow the process.
OfflineCenter* CenterWithPackages() {
  static OfflineCenter* const center = [] {
    auto* fake = new lorvane::testing::FakeManagerCenter("/tmp");
    for (int i = 0; i < kPackages; ++i) {
      Package* package = Package::Create();
      package->set_uri("http://127.0.0.1/videos/Episode-" + std::to_string(i) + ".mkv");
      package->set_path("/tmp");
      package->set_caption("Episode-" + std::to_string(i) + ".mkv");
      lorvane::testing::ForceState(package, lorvane::STATE_READY);
      fake->center()->AddInternal(package);
    }
    return fake->center();
  }();
  return center;
}

void BM_GetPackages(benchmark::State& state) {
  OfflineCenter* center = CenterWithPackages();
  std::vector<Package*> packages;
  for (auto _ : state) {
    packages.clear();
    center->GetPackages(&packages);
    benchmark::DoNotOptimize(packages.data());
  }
  state.SetItemsProcessed(state.iterations() * kPackages);
}
BENCHMARK(BM_GetPackages)->Unit(benchmark::kMicrosecond);

void BM_ExistUriMissing(benchmark::State& state) {
  OfflineCenter* center = CenterWithPackages();
  const std::string wanted = "  HTTP://127.0.0.1/videos/Not-There.mkv ";
  for (auto _ : state) {
    benchmark::DoNotOptimize(center->ExistUri(wanted));
  }
  state.SetItemsProcessed(state.iterations() * kPackages);
}
BENCHMARK(BM_ExistUriMissing)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
