#include "base/net/system_proxy_detector.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/net/proxy_detection.h"
#include "tests/support/isolated_env.h"

namespace tobric {
namespace {

class SystemProxyDetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = env_.root() + "/bin";
    std::filesystem::create_directories(bin_);
    old_path_ = std::getenv("PATH") == nullptr ? "" : std::getenv("PATH");
    setenv("PATH", (bin_ + ":" + old_path_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", old_path_.c_str(), 1); }

  // A gsettings on PATH that prints `listing` for the proxy schema.
  void FakeGsettings(const std::string& listing) {
    const std::string path = bin_ + "/gsettings";
    std::ofstream(path, std::ios::trunc)
        << "#!/bin/sh\n[ \"$2\" = org.gnome.system.proxy ] || exit 1\ncat <<'END'\n"
        << listing << "END\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }
  SystemProxyDetector::Options Options(const std::string& desktop = "") {
    return {.kioslaverc = env_.root() + "/config/kioslaverc",
            .current_desktop = desktop,
            .priority = 1,
            .system_account = false};
  }

  platform::IsolatedEnv env_;
  std::string bin_;
  std::string old_path_;
};

TEST_F(SystemProxyDetectorTest, GnomeModes) {
  const std::string common =
      "org.gnome.system.proxy autoconfig-url ''\n"
      "org.gnome.system.proxy ignore-hosts ['localhost', '127.0.0.0/8', '::1']\n"
      "org.gnome.system.proxy use-same-proxy false\n"
      "org.gnome.system.proxy.http host 'proxy.example'\n"
      "org.gnome.system.proxy.http port 3128\n"
      "org.gnome.system.proxy.https host 'secure.example'\n"
      "org.gnome.system.proxy.https port 0\n";
  NetworkConfiguration found;
  FakeGsettings(common + "org.gnome.system.proxy mode 'manual'\n");
  ASSERT_EQ(S_OK, SystemProxyDetector(Options()).Detect(&found));
  EXPECT_EQ("http=proxy.example:3128;https=secure.example", found.proxy);
  EXPECT_EQ("localhost;127.0.0.0/8;::1", found.bypass);

  FakeGsettings(common + "org.gnome.system.proxy mode 'auto'\n");
  ASSERT_EQ(S_OK, SystemProxyDetector(Options()).Detect(&found));
  EXPECT_TRUE(found.wpad);

  FakeGsettings(
      "org.gnome.system.proxy autoconfig-url 'file:///etc/proxy.pac'\n"
      "org.gnome.system.proxy mode 'auto'\n");
  ASSERT_EQ(S_OK, SystemProxyDetector(Options()).Detect(&found));
  EXPECT_FALSE(found.wpad);
  EXPECT_EQ("file:///etc/proxy.pac", found.script_url);

  FakeGsettings(common + "org.gnome.system.proxy mode 'none'\n");
  ASSERT_EQ(S_OK, SystemProxyDetector(Options()).Detect(&found));
  EXPECT_EQ(NetworkConfiguration::kDirect, found.kind());
}

TEST_F(SystemProxyDetectorTest, KdeAndNoDesktop) {
  NetworkConfiguration found;
  // No gsettings answer (schema missing) and no kioslaverc: quietly nothing.
  FakeGsettings("");
  EXPECT_EQ(E_FAIL, SystemProxyDetector(Options()).Detect(&found));

  std::ofstream(env_.root() + "/config/kioslaverc")
      << "[Proxy Settings]\nProxyType=1\nhttpProxy=http://proxy.example 8080\n"
         "httpsProxy=http://proxy.example 8443\nNoProxyFor=localhost,.corp\n"
         "Proxy Config Script=\n";
  ASSERT_EQ(S_OK, SystemProxyDetector(Options("KDE")).Detect(&found));
  EXPECT_EQ("http=http://proxy.example:8080;https=http://proxy.example:8443", found.proxy);
  EXPECT_EQ("localhost,.corp", found.bypass);

  NetworkConfiguration script;
  ASSERT_TRUE(SystemProxyDetector::ParseKde(
      "[Proxy Settings]\nProxyType=2\nProxy Config Script=http://h/p.pac\n", &script));
  EXPECT_EQ("http://h/p.pac", script.script_url);
  // 4: the environment's variables, for their own detector.
  EXPECT_FALSE(SystemProxyDetector::ParseKde("[Proxy Settings]\nProxyType=4\n", &script));
}

TEST(DetectorOrderTest, DefaultBrowserIsClassifiedByItsProgramName) {
  EXPECT_EQ(Browser::kFirefox, ClassifyBrowser("firefox-esr.desktop"));
  EXPECT_EQ(Browser::kChrome, ClassifyBrowser("/usr/bin/Chromium"));
  EXPECT_EQ(Browser::kOther, ClassifyBrowser("/opt/firefox-dir/epiphany"));
}

}  // namespace
}  // namespace tobric
