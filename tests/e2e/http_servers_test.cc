// Downloads whose names need care to become file names: each must end with
// exactly the bytes the server has, under a readable name inside the folder.
#include <algorithm>
#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "tests/e2e/service_fixture_testutil.h"
#include "tests/support/test_http_server.h"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;
using testsupport::Reply;

TEST_F(ServiceTest, FilesLandUnderReadableNamesInsideTheFolder) {
  testsupport::TestHttpServer server;
  ASSERT_TRUE(server.ok());
  const struct {
    std::string route;  // as requested, query included
    std::string name;
  } cases[] = {
      {"/with%20space.mp4", "with space.mp4"},
      {"/%E4%B8%AD%E6%96%87.mp4", "\xE4\xB8\xAD\xE6\x96\x87.mp4"},
      {"/get.php?id=7", "film 7.mkv"},
      {"/..%2F..%2Fescape.bin", ".._.._escape.bin"},
      // 255 bytes less room for "(4294967295)" and ".sugd".
      {"/" + std::string(300, 'n') + ".mp4", std::string(238 - 4, 'n') + ".mp4"},
  };
  server.SetRoute("/get.php", Reply::Pattern(1000).WithHeader(
                                  "Content-Disposition", "attachment; filename=\"film 7.mkv\""));
  std::vector<std::string> ids, expected;
  for (const auto& c : cases) {
    if (!c.route.starts_with("/get.php")) server.SetRoute(c.route, Reply::Pattern(1000));
    ids.emplace_back();
    ASSERT_NO_FATAL_FAILURE(AddPackage(server.Url(c.route), &ids.back()));
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    PackageView package;
    ASSERT_TRUE(WaitForEnd(ids[i], &package)) << Describe(package);
    EXPECT_EQ(package.state, lorvane::STATE_DOWNLOAD_COMPLETE) << Describe(package);
    EXPECT_EQ(package.name, cases[i].name);
    expected.push_back(cases[i].name);
  }
  // Nothing anywhere else in the user's folders.
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(user_.root())) {
    if (entry.is_regular_file() && entry.path().parent_path() == folder_) {
      found.push_back(entry.path().filename().string());
    } else if (entry.path().filename().string().ends_with("escape.bin")) {
      ADD_FAILURE() << entry.path();
    }
  }
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace corvane::e2e
