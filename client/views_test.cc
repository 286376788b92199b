#include "client/views.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "client/format.h"

namespace lorvane {
namespace {

PackageView Package(const std::string& id, int32_t state, const std::string& name) {
  PackageView package;
  package.id = id;
  package.state = state;
  package.name = name;
  package.total_size = 2 * 1024 * 1024;
  package.download_size = 1024 * 1024;
  package.download_speed = 512 * 1024;
  package.uri = "http://127.0.0.1/" + name;
  return package;
}

// The rows go in the order the downloads were added, whatever the order of
// their ids.
TEST(RenderTableTest, HeaderThenAlignedRowsWithUniqueShortIdsOldestFirst) {
  std::vector<PackageView> packages = {
      Package("{1A2B3C4D-1000-4000-8000-000000000002}", 6, "电影.mkv"),
      Package("{1A2B3C4D-0000-4000-8000-000000000001}", 5, "a.mp4"),
  };
  packages[0].create_time = 2;
  packages[1].create_time = 1;
  EXPECT_EQ(RenderTable(packages, 0),
            (std::vector<std::string>{
                "ID          STATE        PROGRESS                 SIZE      SPEED  NAME",
                "1A2B3C4D-0  downloading     50.0%  1.00 MiB / 2.00 MiB  512 KiB/s  a.mp4",
                "1A2B3C4D-1  complete       100.0%             2.00 MiB          -  电影.mkv"}));
}

TEST(RenderTableTest, NamesAreCutToTheWidthAndMadeSafe) {
  PackageView odd = Package("{AB}", 7, "\x1b[2Jwipe 电影电影电影电影电影电影电影电影.mp4");
  const std::vector<std::string> lines = RenderTable({odd}, 60);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].find('\x1b'), std::string::npos);
  EXPECT_LE(DisplayWidth(lines[1]), 60u);
  EXPECT_NE(lines[1].find("…"), std::string::npos);
  // Unknown total: the size shows what is known.
  odd.total_size = 0;
  EXPECT_NE(RenderTable({odd}, 0)[1].find("1.00 MiB / ?"), std::string::npos);
}

TEST(RenderProgressLineTest, EachStateSaysWhereTheDownloadIs) {
  PackageView package = Package("{A}", 5, "movie.mp4");
  package.error_code = E_INVALID_URL;
  for (const auto& [state, line] :
       {std::pair{5, "movie.mp4   50.0%  1.00 MiB / 2.00 MiB  512 KiB/s  ETA 00:02"},
        {4, "movie.mp4   50.0%  1.00 MiB / 2.00 MiB  waiting"},
        {6, "movie.mp4  100.0%  2.00 MiB  done"},
        {7, "movie.mp4  failed  0xa0440313"},
        {2, "movie.mp4  paused at 50.0%  1.00 MiB / 2.00 MiB"}}) {
    package.state = state;
    EXPECT_EQ(RenderProgressLine(package, 0), line);
  }
}

TEST(RenderDetailsTest, ShowsEveryFieldAndTheError) {
  PackageView package = Package("{A}", 7, "movie.mp4");
  package.error_code = E_INVALID_URL;
  package.error_text = "下载链接无效。";
  // The service's words are for a Chinese locale.
  setenv("LC_ALL", "C.UTF-8", 1);
  const std::string text = RenderDetails(package);
  for (const char* line : {"state:      error\n",
                           "error:      0xa0440313 the address is not valid, or the server has no "
                           "such file\n",
                           "progress:   50.0% (1.00 MiB / 2.00 MiB; 1048576 of 2097152 bytes)\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(text.find("speed:"), std::string::npos);
}

TEST(RenderJsonTest, EveryFieldWithOddNamesEscaped) {
  PackageView package = Package("{A}", 5, "say \"hi\"\\\n\x01.mp4");
  package.caption = "电影";
  package.error_code = -1;
  package.create_time = 7;
  EXPECT_EQ(RenderJson(package),
            "{\"id\":\"{A}\",\"state\":5,\"state_name\":\"downloading\","
            "\"name\":\"say \\\"hi\\\"\\\\\\n\\u0001.mp4\",\"caption\":\"电影\",\"path\":\"\","
            "\"uri\":\"http://127.0.0.1/say \\\"hi\\\"\\\\\\n\\u0001.mp4\","
            "\"download_size\":1048576,\"total_size\":2097152,\"download_speed\":524288,"
            "\"create_time\":7,\"complete_time\":0,\"error_code\":\"0xffffffff\","
            "\"error_text\":\"\"}");
  EXPECT_EQ(RenderJsonList({}), "[]\n");
  const std::string one = RenderJson(package);
  EXPECT_EQ(RenderJsonList({package, package}), "[\n  " + one + ",\n  " + one + "\n]\n");
}

}  // namespace
}  // namespace lorvane
