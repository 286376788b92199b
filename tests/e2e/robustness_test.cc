// The service under trouble, end to end: a service killed again and again in
// the middle of twenty downloads must lose no package, fetch no block it had
// recorded, and end with every file whole.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e/http_download_fixture_testutil.h"
#include "tests/e2e/service_fixture_testutil.h"
#include "tests/support/nginx_server.h"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;
using lorvane::PackageView;
using testsupport::NginxLogRecord;
using testsupport::NginxServer;
using tobric::platform::ChildProgram;

class RobustnessTest : public HttpDownloadTest {};

// Twenty files of three whole blocks and a short last one, eight downloads at
// once with two workers each.
constexpr int kFiles = 20;
constexpr uint64_t kFileSize = 3 * kBlock + kMiB + 4321;
constexpr uint32_t kBlocksPerFile = 4;
constexpr int32_t kConcurrentDownloads = 8;
constexpr int32_t kWorkersPerDownload = 2;
// Kills, each after a few more blocks have left nginx and a random wait; the
// start after the last kill runs to the end.
constexpr int kKills = 10;
constexpr int kFewestBlocksBeforeKill = 2;
constexpr int kMostBlocksBeforeKill = 8;
constexpr int kLongestExtraWaitMs = 50;
constexpr uint32_t kKillSeed = 20'240'611;
// Between the kill and the first request the next service could make: the
// requests nginx started before it belong to the killed service (nginx counts
// whole milliseconds; a start, a list call and a task start take far longer).
constexpr uint64_t kRestartMarginMs = 10;

struct SourceFile {
  std::string name;
  std::string path;  // on the server, "/<name>"
  std::string uri;
  std::string sha256;
};

// What the disk held when the service was killed: per server path, the blocks
// that the metafile (or the finished file) recorded. Requests nginx started at
// or after `restart_ms` come from a service started after the kill.
struct KillRecord {
  uint64_t restart_ms = 0;
  std::map<std::string, std::vector<bool>> recorded;
};

uint64_t SystemMilliseconds() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<Milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

// nginx's lines of whole blocks: 206 replies with every byte of their range.
size_t WholeBlocksLogged(const std::vector<NginxLogRecord>& requests) {
  size_t count = 0;
  for (const NginxLogRecord& request : requests) {
    const size_t equals = request.range.find('=');
    const size_t dash = request.range.find('-');
    if (request.status != 206 || equals == std::string::npos || dash == std::string::npos) continue;
    const uint64_t first = std::stoull(request.range.substr(equals + 1));
    const uint64_t last = std::stoull(request.range.substr(dash + 1));
    if (request.body_bytes == last - first + 1) ++count;
  }
  return count;
}

// Every package as the service lists it, for a failure's message.
std::string DescribeAll(lorvane::Client& client) {
  std::vector<PackageView> packages;
  bool ok = false;
  if (Failed(client.GetPackageList(&packages, &ok))) return "(no list)";
  std::string text;
  for (const PackageView& package : packages) text += "\n  " + Describe(package);
  return text;
}

// Kills land at every moment of a download's life, among them the ones where
// a restart once went wrong: between the layout of the files and the list
// naming them (the download was laid out again beside them, under "(1)");
// during a metafile write (its temporary file stayed); between the last block
// and the rename (the data file was taken as the finished file); and inside
// the finish (a finished name without its time, beside its metafile).
TEST_F(RobustnessTest, RepeatedKillsLoseNoPackageAndFetchNoRecordedBlockAgain) {
  if (NginxServer::ProgramPath().empty()) GTEST_SKIP() << "nginx is not installed";
  const std::string www = user_.root() + "/www";
  fs::create_directories(www);
  std::vector<SourceFile> sources;
  for (int i = 0; i < kFiles; ++i) {
    SourceFile source;
    source.name = "file" + std::to_string(100 + i).substr(1) + ".bin";
    source.path = "/" + source.name;
    source.sha256 = WriteRandomFile(www + source.path, kFileSize, 100 + i);
    sources.push_back(source);
  }
  testsupport::NginxOptions paced;
  // Two seconds a block: the downloads outlast several kills, and every kill
  // finds blocks in flight.
  paced.limit_rate = 2 * kMiB;
  paced.send_buffer = 64 * 1024;
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(www, paced)) << nginx.error();
  for (SourceFile& source : sources) source.uri = nginx.Url(source.path);
  ASSERT_NO_FATAL_FAILURE(UseThreads(kWorkersPerDownload));
  ASSERT_NO_FATAL_FAILURE(UseConcurrentDownloads(kConcurrentDownloads));

  std::string last_id;
  for (const SourceFile& source : sources)
    ASSERT_NO_FATAL_FAILURE(AddPackage(source.uri, &last_id));
  // A new package is saved within five seconds; a kill before that may lose
  // it, so none comes before.
  ASSERT_TRUE(WaitForPackage(
      last_id,
      [&](const PackageView&) {
        const std::string list = ReadFileText(user_.list_file());
        return std::all_of(sources.begin(), sources.end(), [&](const SourceFile& source) {
          return list.find("<uri>" + source.uri + "</uri>") != std::string::npos;
        });
      },
      kChangeLimit))
      << "the list was not saved with every package";

  std::mt19937 random(kKillSeed);
  std::uniform_int_distribution<int> blocks_before_kill(kFewestBlocksBeforeKill,
                                                        kMostBlocksBeforeKill);
  std::uniform_int_distribution<int> extra_wait_ms(0, kLongestExtraWaitMs);
  std::vector<KillRecord> kills;
  int kills_amid_blocks = 0;
  for (int round = 0;; ++round) {
    std::vector<PackageView> packages;
    ASSERT_NO_FATAL_FAILURE(ListPackages(&packages));
    ASSERT_EQ(packages.size(), sources.size()) << "after " << round << " kills";
    for (const SourceFile& source : sources) {
      ASSERT_EQ(std::count_if(packages.begin(), packages.end(),
                              [&](const PackageView& p) { return p.uri == source.uri; }),
                1)
          << source.uri << " after " << round << " kills";
    }
    std::vector<std::string> unfinished;
    uint64_t missing_blocks = 0;
    for (const PackageView& package : packages) {
      ASSERT_NE(package.state, kStateError) << package.uri << ": " << Describe(package);
      if (package.state == kStateComplete) continue;
      unfinished.push_back(package.id);
      const std::string path = package.uri.substr(package.uri.rfind('/'));
      const std::vector<bool> recorded =
          kills.empty() ? std::vector<bool>() : kills.back().recorded[path];
      missing_blocks += kBlocksPerFile -
                        static_cast<uint64_t>(std::count(recorded.begin(), recorded.end(), true));
    }
    if (unfinished.empty()) break;
    if (round > 0) {
      // Running packages come back ready or already queued; either way they
      // must run again.
      bool all_ok = false;
      ASSERT_EQ(client_.StartPackages(unfinished, &all_ok), S_OK);
    }
    if (round == kKills) break;

    // The kill's moment: after a few more whole blocks (every missing block
    // comes once at least), then a random wait.
    const size_t logged = WholeBlocksLogged(nginx.LoggedRequests());
    const size_t wanted =
        std::min<uint64_t>(static_cast<uint64_t>(blocks_before_kill(random)), missing_blocks);
    ASSERT_TRUE(WaitForPackage(
        unfinished.front(),
        [&](const PackageView&) {
          return WholeBlocksLogged(nginx.LoggedRequests()) >= logged + wanted;
        },
        kProgressLimit))
        << "no progress after " << round << " kills; " << DescribeAll(client_);
    std::this_thread::sleep_for(Milliseconds(extra_wait_ms(random)));
    client_.Disconnect();
    ASSERT_TRUE(service_->process().Signal(ChildProgram::StopSignal::kKill));
    ASSERT_TRUE(service_->process().WaitForExit(kKillLimit));

    KillRecord kill;
    bool amid_blocks = false;
    for (const SourceFile& source : sources) {
      std::vector<bool>& recorded = kill.recorded[source.path];
      if (fs::exists(folder_ + "/" + source.name)) {
        recorded.assign(kBlocksPerFile, true);
        continue;
      }
      const MetaFileFacts facts = ReadMetaFile(folder_ + "/" + source.name + ".sugc");
      if (facts.readable) recorded = facts.set;
      amid_blocks = amid_blocks || (facts.blocks_set > 0 && facts.blocks_set < kBlocksPerFile);
    }
    if (amid_blocks) ++kills_amid_blocks;
    kill.restart_ms = SystemMilliseconds() + kRestartMarginMs;
    kills.push_back(std::move(kill));
    ASSERT_NO_FATAL_FAILURE(StartService());
  }
  EXPECT_GT(kills_amid_blocks, 0) << "no kill came while a download had only some blocks";

  std::vector<PackageView> packages;
  ASSERT_NO_FATAL_FAILURE(ListPackages(&packages));
  for (const SourceFile& source : sources) {
    const auto package = std::find_if(packages.begin(), packages.end(),
                                      [&](const PackageView& p) { return p.uri == source.uri; });
    ASSERT_NE(package, packages.end()) << source.uri;
    SCOPED_TRACE(source.uri);
    EXPECT_NO_FATAL_FAILURE(ExpectCompleted(package->id, source.name, kFileSize, source.sha256));
  }
  std::vector<std::string> expected_files;
  for (const SourceFile& source : sources) expected_files.push_back(source.name);
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, expected_files);

  // A block on disk at a kill is never asked for again.
  for (const NginxLogRecord& request : nginx.LoggedRequests()) {
    if (request.range.empty()) continue;
    const uint64_t block = std::stoull(request.range.substr(request.range.find('=') + 1)) / kBlock;
    for (size_t k = 0; k < kills.size(); ++k) {
      if (request.start_ms < kills[k].restart_ms) continue;
      const std::vector<bool>& recorded = kills[k].recorded[request.uri];
      EXPECT_FALSE(block < recorded.size() && recorded[block])
          << request.uri << " block " << block << " (" << request.range << ") was on disk at kill "
          << k + 1 << " and was fetched again";
    }
  }
  std::cout << kills.size() << " kills, " << kills_amid_blocks << " amid blocks; nginx sent "
            << nginx.LoggedBodyBytes() << " body bytes for " << kFiles * kFileSize << "\n";
}

}  // namespace
}  // namespace corvane::e2e
