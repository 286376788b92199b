// Downloads from servers as users meet them, beyond a well-behaved nginx: an
// authenticating proxy in the way, a server that serves no ranges, a file
// replaced on the server while its download was paused. Each must end with
// exactly the bytes the server has now.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "base/net/proxy_detection.h"
#include "gtest/gtest.h"
#include "tests/e2e/http_download_fixture_testutil.h"
#include "tests/support/nginx_server.h"
#include "tests/support/squid_server.h"
#include "tests/support/test_http_server.h"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;
using lorvane::PackageView;
using testsupport::NginxOptions;
using testsupport::NginxServer;
using testsupport::SquidOptions;
using testsupport::SquidServer;

using HttpServersTest = NginxDownloadTest;

TEST_F(HttpServersTest, ThroughAProxyThatAsksForTheNetrcCredentials) {
  const std::string why = SquidServer::NotInstalled();
  if (!why.empty()) GTEST_SKIP() << why;
  constexpr uint64_t kSize = 3 * kBlock + 100;
  const std::string sha256 = WriteRandomFile(www_ + "/via.bin", kSize, 11);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(www_, {})) << nginx.error();
  SquidOptions auth;
  auth.user = "alice";
  auth.password = "s3cret pass";
  SquidServer squid;
  ASSERT_TRUE(squid.Start(auth)) << squid.error();
  std::ofstream(user_.home() + "/.netrc")
      << "machine 127.0.0.1 login alice password \"s3cret pass\"\n";

  ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());
  // The way that worked last is tried first; the first run went direct.
  fs::remove(tobric::DefaultProxySettingsPath());
  ServiceProcess::Options options;
  // The fixture's own no_proxy keeps every other test off proxies.
  options.environment = {{"http_proxy", "http://" + squid.Address()},
                         {"no_proxy", std::nullopt},
                         {"NO_PROXY", std::nullopt}};
  ASSERT_NO_FATAL_FAILURE(StartService(options));

  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/via.bin"), &id));
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(id, "via.bin", kSize, sha256));
  // The probe's two requests (the 407 and its answer) and the four blocks'.
  EXPECT_TRUE(squid.WaitForLoggedRequests(6, kServerLimit));
  bool refused = false;
  bool forwarded = false;
  std::string seen;
  for (const auto& record : squid.LoggedRequests()) {
    refused = refused || record.status == 407;
    forwarded = forwarded || (record.user == "alice" && record.status == 206);
    seen += std::to_string(record.status) + " " + record.user + " " + record.url + "\n";
  }
  EXPECT_TRUE(refused && forwarded) << "the blocks did not go through the proxy:\n" << seen;
}

TEST_F(HttpServersTest, ServerWithoutRangesGivesTheWholeFileThroughOneStream) {
  constexpr uint64_t kSize = 64 * kMiB;
  const std::string sha256 = WriteRandomFile(www_ + "/whole.bin", kSize, 12);
  NginxOptions no_ranges;
  no_ranges.ranges = false;
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(www_, no_ranges)) << nginx.error();

  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/whole.bin"), &id));
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(id, "whole.bin", kSize, sha256));
  // The refused ranges cost a head each; the file came once.
  EXPECT_LT(nginx.LoggedBodyBytes(), 2 * kSize);
}

TEST_F(HttpServersTest, FileReplacedWhilePausedCompletesAsTheNewFile) {
  constexpr uint64_t kSize = 32 * kMiB;
  const std::string path = www_ + "/film.bin";
  WriteRandomFile(path, kSize, 13);
  NginxOptions slow;
  slow.limit_rate = 1536 * 1024;
  slow.send_buffer = 64 * 1024;
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(www_, slow)) << nginx.error();

  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(nginx.Url("/film.bin"), &id));
  ASSERT_TRUE(WaitForBlocks(id, 1));
  PackageView paused;
  ASSERT_NO_FATAL_FAILURE(Pause(id, &paused));
  ASSERT_LT(paused.download_size, kSize) << Describe(paused);

  // Same size, other bytes, another time: nginx's ETag changes with it.
  const std::string sha256 = WriteRandomFile(path, kSize, 14);
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::hours(1));
  Start(id);
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(id, "film.bin", kSize, sha256));
}

// Names as users of download tools expect them, and always inside the
// download folder.
TEST_F(HttpServersTest, FilesLandUnderReadableNamesInsideTheFolder) {
  testsupport::TestHttpServer server;
  ASSERT_TRUE(server.ok());
  const std::string long_stem(300, 'n');
  const struct {
    std::string route;  // as requested, query included
    std::string name;
  } cases[] = {
      {"/with%20space.mp4", "with space.mp4"},
      {"/%E4%B8%AD%E6%96%87.mp4", "\xE4\xB8\xAD\xE6\x96\x87.mp4"},
      {"/get.php?id=7", "film 7.mkv"},
      {"/..%2F..%2Fescape.bin", ".._.._escape.bin"},
      // 255 bytes less room for "(4294967295)" and ".sugd".
      {"/" + long_stem + ".mp4", std::string(238 - 4, 'n') + ".mp4"},
  };
  server.SetRoute("/get.php", testsupport::Reply::Pattern(1000).WithHeader(
                                  "Content-Disposition", "attachment; filename=\"film 7.mkv\""));
  std::vector<std::string> ids;
  for (const auto& c : cases) {
    if (c.route != "/get.php?id=7") server.SetRoute(c.route, testsupport::Reply::Pattern(1000));
    std::string id;
    ASSERT_NO_FATAL_FAILURE(AddPackage(server.Url(c.route), &id));
    ids.push_back(id);
  }
  std::vector<std::string> expected;
  for (size_t i = 0; i < std::size(cases); ++i) {
    PackageView package;
    ASSERT_TRUE(WaitForEnd(ids[i], &package)) << Describe(package);
    EXPECT_EQ(package.state, kStateComplete) << Describe(package);
    EXPECT_EQ(package.name, cases[i].name);
    expected.push_back(cases[i].name);
  }
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(user_.root())) {
    const std::string name = entry.path().filename().string();
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) continue;
    EXPECT_EQ(entry.path().parent_path().string(), folder_) << entry.path();
    found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
  EXPECT_FALSE(fs::exists(user_.root() + "/home/escape.bin"));
}

}  // namespace
}  // namespace corvane::e2e
