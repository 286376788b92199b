#include "download/file_name.h"

#include <gtest/gtest.h>

#include <string>

namespace lorvane {
namespace {

TEST(FileNameTest, FromTheUrisLastSegment) {
  std::string long_chinese;
  for (int i = 0; i < 100; ++i) long_chinese += "\xE4\xB8\xAD";  // 300 bytes
  const std::pair<std::string, std::string> cases[] = {
      {"http://h/%E4%B8%AD%E6%96%87.mp4", "\xE4\xB8\xAD\xE6\x96\x87.mp4"},
      // Not UTF-8 once decoded: the escapes stay as written.
      {"http://h/%E4%B8.mp4%20x", "%E4%B8.mp4 x"},
      // The query does not belong to the name.
      {"http://h/get.php?id=7", "get.php"},
      // No path names the host.
      {"https://user:pw@example.com:8443/", "example.com"},
      // Nothing leaves the folder, nothing the file system refuses.
      {"http://h/..%2F..%2Fetc%2Fpasswd", ".._.._etc_passwd"},
      {"http://h/a%00b%0A.mp4", "a_b_.mp4"},
      {"http://h/..", "h"},
      {"http:///", "download"},
      // Too long: cut at a character, the extension kept.
      {"http://h/" + long_chinese + ".mkv",
       long_chinese.substr(0, (kMaxFileNameBytes - 4) / 3 * 3) + ".mkv"},
  };
  for (const auto& [uri, name] : cases) EXPECT_EQ(FileNameFromUri(uri), name) << uri;
}

TEST(FileNameTest, FromContentDisposition) {
  const std::pair<const char*, std::string> cases[] = {
      {"attachment; filename=\"film.mp4\"", "film.mp4"},
      {"attachment; filename=\"a \\\"b\\\".mp4\"", "a \"b\".mp4"},
      // filename* wins, wherever it stands.
      {"attachment; filename*=UTF-8''%E4%B8%AD.mp4; filename=\"x.mp4\"", "\xE4\xB8\xAD.mp4"},
      {"attachment; filename=\"x.mp4\"; FILENAME*=utf-8'en'a%20b.mp4", "a b.mp4"},
      // A broken filename* leaves filename.
      {"attachment; filename*=UTF-8''%FF.mp4; filename=\"y.mp4\"", "y.mp4"},
      {"attachment; filename=\"../../etc/passwd\"", ".._.._etc_passwd"},
      {"attachment; filename=\"..\"", ""},
      {"", ""},
  };
  for (const auto& [value, name] : cases) {
    EXPECT_EQ(FileNameFromContentDisposition(value), name) << value;
  }
}

}  // namespace
}  // namespace lorvane
