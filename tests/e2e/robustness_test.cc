// The service under trouble, end to end: a service killed again and again in
// the middle of twenty downloads must lose no package, fetch no block it had
// recorded, and end with every file whole.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e/service_fixture_testutil.h"
#include "tests/support/files.h"
#include "tests/support/nginx_server.h"

namespace corvane::e2e {
namespace {

using RobustnessTest = NginxDownloadTest;
namespace fs = std::filesystem;
using testsupport::NginxLogRecord;

// Twenty files of three whole blocks and a short last one, eight downloads at
// once with two workers each; ten kills, each after a few more blocks have
// left nginx and a random wait, then a run to the end.
constexpr int kFiles = 20;
constexpr uint64_t kFileSize = 3 * kBlock + kMiB + 4321;
constexpr uint64_t kBlocksPerFile = 4;
constexpr int kKills = 10;
constexpr uint32_t kKillSeed = 20'240'611;

// nginx's lines of whole blocks: 206 replies with every byte of their range.
size_t WholeBlocksLogged(const std::vector<NginxLogRecord>& requests) {
  return std::count_if(requests.begin(), requests.end(), [](const NginxLogRecord& r) {
    const size_t dash = r.range.find('-');
    return r.status == 206 && dash != std::string::npos &&
           r.body_bytes == std::stoull(r.range.substr(dash + 1)) -
                               std::stoull(r.range.substr(r.range.find('=') + 1)) + 1;
  });
}

// Kills land at every moment of a download's life, among them the ones where
// a restart once went wrong: between the layout of the files and the list
// naming them (the download was laid out again beside them, under "(1)");
// during a metafile write (its temporary file stayed); between the last block
// and the rename (the data file was taken as the finished file); and inside
// the finish (a finished name without its time, beside its metafile).
TEST_F(RobustnessTest, RepeatedKillsLoseNoPackageAndFetchNoRecordedBlockAgain) {
  std::vector<std::string> names;
  for (int i = 0; i < kFiles; ++i) {
    names.push_back("file" + std::to_string(100 + i).substr(1) + ".bin");
    WriteRandomFile(www_ + "/" + names.back(), kFileSize, 100 + i);
  }
  testsupport::NginxServer nginx;
  // Two seconds a block: the downloads outlast several kills, and every kill
  // finds blocks in flight.
  ASSERT_TRUE(nginx.Start(www_, Paced(2 * kMiB))) << nginx.error();
  ASSERT_NO_FATAL_FAILURE(Set(&lorvane::Client::SetThreadNumPerTask, 2));
  ASSERT_NO_FATAL_FAILURE(Set(&lorvane::Client::SetConcurrentTaskNum, 8));
  std::vector<std::string> uris;
  std::string id;
  for (const std::string& name : names) {
    uris.push_back(nginx.Url("/" + name));
    ASSERT_NO_FATAL_FAILURE(AddPackage(uris.back(), &id));
  }
  // A new package is saved within the save delay; a kill before that may lose
  // it, so none comes before.
  ASSERT_TRUE(WaitForPackage(id, [&](const PackageView&) {
    const std::string list = testsupport::ReadFile(user_.list_file());
    return std::all_of(uris.begin(), uris.end(), [&](const std::string& uri) {
      return list.find("<uri>" + uri + "</uri>") != std::string::npos;
    });
  })) << "the list was not saved with every package";

  std::mt19937 random(kKillSeed);
  // What the disk held at each kill, per server path, and when the service was
  // started again (nginx counts whole milliseconds; a start, a list call and a
  // task start take far longer than the margin of 10 ms added).
  std::vector<std::pair<uint64_t, std::map<std::string, std::vector<bool>>>> kills;
  int kills_amid_blocks = 0;
  for (int round = 0;; ++round) {
    SCOPED_TRACE("after " + std::to_string(round) + " kills");
    std::vector<std::string> listed;
    std::vector<std::string> unfinished;
    uint64_t missing_blocks = 0;
    for (const PackageView& package : Packages()) {
      listed.push_back(package.uri);
      ASSERT_NE(package.state, lorvane::STATE_ERROR) << package.uri << ": " << Describe(package);
      if (package.state == lorvane::STATE_DOWNLOAD_COMPLETE) continue;
      unfinished.push_back(package.id);
      const std::vector<bool> recorded =
          kills.empty() ? std::vector<bool>()
                        : kills.back().second[package.uri.substr(package.uri.rfind('/'))];
      missing_blocks += kBlocksPerFile - std::count(recorded.begin(), recorded.end(), true);
    }
    std::sort(listed.begin(), listed.end());
    ASSERT_EQ(listed, uris);
    if (unfinished.empty()) break;
    if (round > 0) {
      ASSERT_NO_FATAL_FAILURE(Start(unfinished));
    }
    // kKills kills, and more (up to twice as many) until one has come while a
    // download had only some of its blocks: on a loaded machine the paced
    // downloads can move in step so that the first ones all fall between them.
    if (round >= kKills && (kills_amid_blocks > 0 || round == 2 * kKills)) break;

    // The kill's moment: after two to eight more whole blocks (every missing
    // block comes once at least), then a random wait of up to a second, half
    // a block's time. The paced blocks end in step, and a kill just after
    // they end would nearly always come before the service records them:
    // the wait spreads the kills over the whole of a block's course.
    const size_t wanted = WholeBlocksLogged(nginx.LoggedRequests()) +
                          std::min<uint64_t>(2 + random() % 7, missing_blocks);
    ASSERT_TRUE(WaitForPackage(
        unfinished.front(),
        [&](const PackageView&) { return WholeBlocksLogged(nginx.LoggedRequests()) >= wanted; },
        kProgressLimit))
        << "no progress";
    std::this_thread::sleep_for(Milliseconds(random() % 1001));
    ASSERT_NO_FATAL_FAILURE(KillService());

    std::map<std::string, std::vector<bool>> kill;
    bool amid_blocks = false;
    for (const std::string& name : names) {
      std::vector<bool>& recorded = kill["/" + name];
      const std::string file = folder_ + "/" + name;
      recorded = fs::exists(file) ? std::vector<bool>(kBlocksPerFile, true)
                                  : RecordedBlocks(file + ".sugc");
      const auto set = std::count(recorded.begin(), recorded.end(), true);
      amid_blocks = amid_blocks || (set > 0 && set < static_cast<int64_t>(kBlocksPerFile));
    }
    kills_amid_blocks += amid_blocks ? 1 : 0;
    kills.emplace_back(NowMs() + 10, std::move(kill));
    ASSERT_NO_FATAL_FAILURE(StartService());
  }
  EXPECT_GT(kills_amid_blocks, 0) << "no kill came while a download had only some blocks";

  const std::vector<PackageView> packages = Packages();
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(uris[i]);
    const auto package = std::find_if(packages.begin(), packages.end(),
                                      [&](const PackageView& p) { return p.uri == uris[i]; });
    ASSERT_NE(package, packages.end());
    EXPECT_NO_FATAL_FAILURE(ExpectCompleted(package->id, www_ + "/" + names[i]));
  }
  // Nothing else in the folder: no copy laid out again under "(1)", no
  // metafile or temporary file left.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()),
            std::ssize(names));

  // A block on disk at a kill is never asked for again.
  for (const auto& [restart_ms, recorded] : kills) {
    ExpectNoRecordedBlockFetched(nginx, restart_ms, recorded);
  }
}

}  // namespace
}  // namespace corvane::e2e
