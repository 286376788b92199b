#include "base/net/firefox_proxy_detector.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/isolated_env.h"

namespace tobric {
namespace {

class FirefoxProxyDetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = env_.root() + "/home/.mozilla/firefox";
    std::filesystem::create_directories(folder_ + "/abc.default");
    Write(folder_ + "/profiles.ini",
          "[General]\nStartWithLastProfile=1\n\n[Profile1]\nName=other\nIsRelative=1\n"
          "Path=other\n\n[Profile0]\nName=default\nIsRelative=1\nPath=abc.default\nDefault=1\n");
  }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  // Writes prefs.js with the proxy lines and detects with a fresh detector.
  HRESULT DetectWith(const std::string& lines, NetworkConfiguration* found) {
    Write(folder_ + "/abc.default/prefs.js",
          "// Mozilla User Preferences\nuser_pref(\"browser.startup.page\", 3);\n" + lines);
    return FirefoxProxyDetector({folder_, 1, false}).Detect(found);
  }

  platform::IsolatedEnv env_;
  std::string folder_;
};

constexpr const char* kManual =
    "user_pref(\"network.proxy.http\", \"proxy.example\");\n"
    "user_pref(\"network.proxy.http_port\", 3128);\n"
    "\t user_pref ( \"network.proxy.ssl\" , \"secure.example\");\n"
    "user_pref(\"network.proxy.ssl_port\", 3129);\n"
    "user_pref(\"network.proxy.autoconfig_url\", \"http://wpad.example/proxy.pac\");\n";

TEST_F(FirefoxProxyDetectorTest, TypeBitsChooseWhatIsUsed) {
  // The type lines, and what is used: "wpad", the script, the manual proxies.
  const std::pair<std::string, std::string> cases[] = {
      {"", "||"},
      {"user_pref(\"network.proxy.type\", 1);\n",
       "||http=proxy.example:3128;https=secure.example:3129"},
      {"user_pref(\"network.proxy.type\", 2);\n", "|http://wpad.example/proxy.pac|"},
      {"user_pref(\"network.proxy.type\", 4);\n", "wpad||"},
      {"user_pref(\"network.proxy.type\", 5);\n",
       "wpad||http=proxy.example:3128;https=secure.example:3129"},
      // A later line wins; a commented-out line counts for nothing.
      {"user_pref(\"network.proxy.type\", 1);\n// user_pref(\"network.proxy.type\", 4);\n"
       "user_pref(\"network.proxy.type\", 2);\n",
       "|http://wpad.example/proxy.pac|"},
  };
  for (const auto& [type_line, used] : cases) {
    NetworkConfiguration found;
    ASSERT_EQ(S_OK, DetectWith(std::string(kManual) + type_line, &found)) << type_line;
    EXPECT_EQ("Firefox", found.source);
    EXPECT_EQ(used, (found.wpad ? "wpad|" : "|") + found.script_url + "|" + found.proxy)
        << type_line;
  }
}

TEST_F(FirefoxProxyDetectorTest, PortsAndQuotes) {
  // No port, single quotes, an HTTPS proxy alone; port 0 is none; a port past
  // the range makes the prefs unusable.
  const std::string manual = "user_pref(\"network.proxy.type\", 1);\n";
  const std::string http = manual + "user_pref(\"network.proxy.http\", \"p\");\n";
  const std::pair<std::string, std::string> cases[] = {
      {manual + "user_pref(\"network.proxy.ssl\", 'secure.example');\n", "https=secure.example"},
      {http + "user_pref(\"network.proxy.http_port\", 0);\n", "http=p"},
      {http + "user_pref(\"network.proxy.http_port\", 99999999999);\n", "E_INVALIDARG"},
  };
  for (const auto& [lines, expected] : cases) {
    NetworkConfiguration found;
    const HRESULT hr = DetectWith(lines, &found);
    EXPECT_EQ(hr == E_INVALIDARG ? "E_INVALIDARG" : found.proxy, expected) << lines;
  }
}

TEST_F(FirefoxProxyDetectorTest, InstallSectionNamesTheProfile) {
  // The Install section of newer versions names the profile.
  std::filesystem::create_directories(folder_ + "/new.default-release");
  Write(folder_ + "/profiles.ini",
        "[Install4F96D1932A9F858E]\nDefault=new.default-release\nLocked=1\n\n"
        "[Profile0]\nName=old\nIsRelative=1\nPath=abc.default\n");
  Write(folder_ + "/new.default-release/prefs.js", "user_pref(\"network.proxy.type\", 4);\n");
  FirefoxProxyDetector detector({folder_, 0, false});
  NetworkConfiguration found;
  ASSERT_EQ(S_OK, detector.Detect(&found));
  EXPECT_TRUE(found.wpad);
}

}  // namespace
}  // namespace tobric
