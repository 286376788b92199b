#include "p2p/torrix_binding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/isolated_env.h"
#include "storage/config_manager.h"

namespace lorvane {
namespace {

std::vector<std::pair<int32_t, int32_t>> g_settings;
int g_creates = 0;

int32_t RecordSetting(int32_t setting, int32_t value) {
  g_settings.emplace_back(setting, value);
  return 0;
}

int32_t CountCreate(uint32_t* handle, const TorrixCreateParams*) {
  ++g_creates;
  *handle = 1;
  return 0;
}

void PutUtf16(std::vector<uint8_t>* bytes, size_t offset, const std::u16string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    (*bytes)[offset + 2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    (*bytes)[offset + 2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
}

TEST(TorrixRecords, CreateParamsGoldenBytes) {
  TorrixCreateParams params{};
  ASSERT_TRUE(FillCreateParams("tavp://9|s|\xC3\xA4.mkv", "/d", "\xC3\xA4.mkv", &params, nullptr));
  std::vector<uint8_t> expected(10276, 0);
  PutUtf16(&expected, 0, u"tavp://9|s|\u00e4.mkv");
  PutUtf16(&expected, 8192, u"\u00e4.mkv");
  PutUtf16(&expected, 9752, u"/d");
  std::vector<uint8_t> actual(sizeof(params));
  std::memcpy(actual.data(), &params, sizeof(params));
  EXPECT_EQ(actual, expected);
}

class TorrixBindingTest : public ::testing::Test {
 protected:
  ~TorrixBindingTest() override { InstallTorrixFunctions(TorrixFunctions()); }
};

// Neither a URI without the P2P prefix nor a value longer than its field (in
// UTF-16 characters: 2047 of URI, 259 of folder and name) reaches the engine;
// any mix of case in the prefix does.
TEST_F(TorrixBindingTest, CreateRefusesBeforeTheEngineIsCalled) {
  InstallTorrixFunctions({.create_task = &CountCreate});
  const std::string uri = "TaVp://" + std::string(2040, 'u');
  std::string folder = "/";
  for (int i = 0; i < 258; ++i) folder += "\xC3\xA4";  // 517 bytes
  const std::string name(259, 'n');
  uint32_t handle = 0;
  EXPECT_EQ(CreateTavpTask(&handle, " tavp://1|s|f", "/d", "f"), kTorrixBusy);
  EXPECT_EQ(CreateTavpTask(&handle, "tavp:/", "/d", "f"), kTorrixBusy);
  EXPECT_EQ(CreateTavpTask(&handle, uri + "u", folder, name), kTorrixCreateFailed);
  EXPECT_EQ(CreateTavpTask(&handle, uri, folder + "d", name), kTorrixCreateFailed);
  EXPECT_EQ(CreateTavpTask(&handle, uri, folder, name + "n"), kTorrixCreateFailed);
  EXPECT_EQ(g_creates, 0);
  EXPECT_EQ(CreateTavpTask(&handle, uri, folder, name), kTorrixOk);
  EXPECT_EQ(handle, 1u);
}

// Without the library (or its functions) every call answers -9 and the
// bandwidth settings are refused; an engine's settings function receives them.
TEST_F(TorrixBindingTest, MissingEngineAnswersMinusNineAndSettingsReachAnInstalledOne) {
  tobric::platform::IsolatedEnv env;
  EXPECT_FALSE(LoadTorrixEngine("libcorvane-absent-engine.so"));
  EXPECT_EQ(StartTavpTask(1), kTorrixFunctionMissing);
  EXPECT_EQ(StopTavpTask(1), kTorrixFunctionMissing);

  ConfigManagerOptions options;
  options.user_data_folder = env.root() + "/data";
  ConfigManager config(options);
  EXPECT_EQ(config.SetUpBandwidth(300), E_INVALIDARG);
  InstallTorrixFunctions({.set_setting = &RecordSetting});
  EXPECT_EQ(config.SetUpBandwidth(300), S_OK);
  EXPECT_EQ(g_settings,
            (std::vector<std::pair<int32_t, int32_t>>{{3, 0}, {4, 0}, {1, -1}, {2, 300}}));
  QuitTorrixEngine();
  EXPECT_EQ(config.SetDownBandwidth(5), E_INVALIDARG);
}

}  // namespace
}  // namespace lorvane
