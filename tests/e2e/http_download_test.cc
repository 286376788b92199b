// HTTP downloads from a real nginx on loopback, every finished file compared
// with its source by SHA-256: `corvane get` starts the service it needs and
// waits for the file; a paused download asks only for what it lacks, or for
// the whole file again when the server's file was replaced meanwhile.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "base/platform/named_mutex.h"
#include "client/commands.h"
#include "gtest/gtest.h"
#include "service/app.h"
#include "tests/e2e/service_fixture_testutil.h"

namespace corvane::e2e {
namespace {

using HttpDownloadTest = NginxDownloadTest;
using testsupport::NginxServer;

TEST_F(HttpDownloadTest, GetStartsTheServiceAndWaitsForTheServedBytes) {
  constexpr uint64_t kSize = 40 * kMiB;
  WriteRandomFile(www_ + "/random.bin", kSize, 1);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(www_, {})) << nginx.error();
  // The service keeps the download folder the test chose.
  ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());

  // Whatever the outcome, the service corvane starts must not outlive the test.
  struct StopDetachedService {
    ~StopDetachedService() {
      lorvane::Client client;
      if (Succeeded(client.Connect())) static_cast<void>(client.ExitService());
    }
  } stop_detached_service;
  const CommandResult get = RunCorvane({"get", nginx.Url("/random.bin")});
  ASSERT_EQ(get.exit_code, lorvane::kExitOk) << get.out << get.err;
  ASSERT_EQ(client_.Connect(), S_OK) << "corvane did not leave the service running";
  const std::vector<PackageView> packages = Packages();
  ASSERT_EQ(packages.size(), 1u);
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(packages[0].id, www_ + "/random.bin"));
  ASSERT_EQ(client_.ExitService(), S_OK);
  client_.Disconnect();
  // Detached, the service is no child of the test's: the end of its instance
  // lock tells that it ended.
  std::unique_ptr<tobric::platform::NamedMutex> instance;
  ASSERT_EQ(
      tobric::platform::NamedMutex::Open(lorvane::kInstanceMutexName,
                                         tobric::platform::ObjectScope::kUser, &instance, nullptr),
      S_OK);
  ASSERT_TRUE(instance->Lock(static_cast<uint32_t>(kChangeLimit.count())))
      << "the service corvane started did not stop";
  instance->Unlock();
}

TEST_F(HttpDownloadTest, PausedDownloadsFetchOnlyMissingBlocksUnlessTheFileWasReplaced) {
  constexpr uint64_t kSize = 32 * kMiB;
  WriteRandomFile(www_ + "/slow.bin", kSize, 2);
  WriteRandomFile(www_ + "/film.bin", kSize, 13);
  NginxServer nginx;
  // About 2.7 s per block: the first five blocks end together, long before the
  // last three.
  ASSERT_TRUE(nginx.Start(www_, Paced(1536 * 1024))) << nginx.error();

  std::string kept, replaced;
  ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/slow.bin"), &kept));
  ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/film.bin"), &replaced));
  ASSERT_TRUE(WaitForBlocks(kept, 1));
  ASSERT_TRUE(WaitForBlocks(replaced, 1));
  ASSERT_NO_FATAL_FAILURE(Pause(kept));
  ASSERT_NO_FATAL_FAILURE(Pause(replaced));
  const std::vector<bool> recorded = RecordedBlocks(folder_ + "/slow.bin.sugc");
  ASSERT_GE(std::count(recorded.begin(), recorded.end(), true), 1);
  // Same size, other bytes, another time: nginx's ETag changes with it.
  const std::string path = www_ + "/film.bin";
  WriteRandomFile(path, kSize, 14);
  std::filesystem::last_write_time(path,
                                   std::filesystem::last_write_time(path) + std::chrono::hours(1));
  const uint64_t resumed_ms = NowMs();
  ASSERT_NO_FATAL_FAILURE(Start({kept, replaced}));
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(kept, www_ + "/slow.bin"));
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(replaced, path));
  ExpectNoRecordedBlockFetched(nginx, resumed_ms, {{"/slow.bin", recorded}});
}

}  // namespace
}  // namespace corvane::e2e
