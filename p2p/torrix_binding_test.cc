#include "p2p/torrix_binding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/platform/isolated_env_testutil.h"
#include "download/log_capture_testutil.h"
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

class TorrixBindingTest : public ::testing::Test {
 protected:
  TorrixBindingTest() {
    g_settings.clear();
    g_creates = 0;
  }
  ~TorrixBindingTest() override { InstallTorrixFunctions(TorrixFunctions()); }

  testing::LogCapture log_;
};

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

TEST(TorrixRecords, TaskInfoIsReadFromTheEnginesBytes) {
  std::vector<uint8_t> image(552, 0);
  const uint8_t head[] = {0xFE, 0xFF, 0xFF, 0xFF,  // code -2
                          0x04, 0, 0, 0,           // state 4
                          0x06, 0, 0, 0,           // failure code 6
                          0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // total
                          0x10, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09,  // downloaded
                          0x00, 0x04, 0, 0};                               // speed 1024
  std::memcpy(image.data(), head, sizeof(head));
  PutUtf16(&image, 32, u"x|\u00e4");
  TorrixTaskInfo info;
  std::memcpy(&info, image.data(), sizeof(info));
  EXPECT_EQ(info.code, -2);
  EXPECT_EQ(info.state, 4);
  EXPECT_EQ(info.fail_code, 6);
  EXPECT_EQ(info.total_size, 0x0102030405060708u);
  EXPECT_EQ(info.downloaded_size, 0x090A0B0C0D0E0F10u);
  EXPECT_EQ(info.speed, 1024u);
  EXPECT_EQ(std::u16string(info.file_name), u"x|\u00e4");
}

// The record holds 2047 characters of URI and 259 of folder and name, counted
// in UTF-16: one more is refused before it could overrun the field.
TEST(TorrixRecords, ValuesLongerThanTheirFieldsAreRefused) {
  TorrixCreateParams params{};
  const std::string uri = "tavp://" + std::string(2040, 'u');
  const std::string name(259, 'n');
  // 259 UTF-16 characters in 517 bytes of UTF-8: what counts is the former.
  std::string folder = "/";
  for (int i = 0; i < 258; ++i) folder += "\xC3\xA4";
  EXPECT_TRUE(FillCreateParams(uri, folder, name, &params, nullptr));
  const char* refused = nullptr;
  EXPECT_FALSE(FillCreateParams(uri + "u", "/d", "n", &params, &refused));
  EXPECT_STREQ(refused, "uri");
  EXPECT_FALSE(FillCreateParams(uri, folder + "d", "n", &params, &refused));
  EXPECT_STREQ(refused, "folder");
  EXPECT_FALSE(FillCreateParams(uri, "/d", name + "n", &params, &refused));
  EXPECT_STREQ(refused, "file_name");
}

// Neither a URI without the P2P prefix nor an oversized value reaches the
// engine; any mix of case in the prefix does.
TEST_F(TorrixBindingTest, CreateRefusesBeforeTheEngineIsCalled) {
  TorrixFunctions fake;
  fake.create_task = &CountCreate;
  InstallTorrixFunctions(fake);
  uint32_t handle = 0;
  EXPECT_EQ(CreateTavpTask(&handle, " tavp://1|s|f", "/d", "f"), kTorrixBusy);
  EXPECT_EQ(CreateTavpTask(&handle, "tavp:/", "/d", "f"), kTorrixBusy);
  EXPECT_EQ(CreateTavpTask(&handle, "tavp://" + std::string(2041, 'u'), "/d", "f"),
            kTorrixCreateFailed);
  EXPECT_EQ(log_.Count("[CreateTavpTask][uri is longer than the engine takes]"), 1u);
  EXPECT_EQ(g_creates, 0);
  EXPECT_EQ(CreateTavpTask(&handle, "TaVp://1|s|f", "/d", "f"), kTorrixOk);
  EXPECT_EQ(handle, 1u);
  EXPECT_EQ(g_creates, 1);
}

// Without the library every call answers -9, and the bandwidth settings are
// refused; a table with the settings function lets them through to it.
TEST_F(TorrixBindingTest, MissingEngineAnswersMinusNineAndSettingsReachAnInstalledOne) {
  tobric::platform::IsolatedEnv env;
  EXPECT_FALSE(LoadTorrixEngine("libcorvane-absent-engine.so"));
  EXPECT_EQ(StartTavpTask(1), kTorrixFunctionMissing);
  EXPECT_EQ(StopTavpTask(1), kTorrixFunctionMissing);
  EXPECT_EQ(log_.Count("[TorrixBinding][Torrix_StartTask is not available]"
                       "[libcorvane-absent-engine.so"),
            1u);
  // A library without the engine's functions is as good as none.
  EXPECT_TRUE(LoadTorrixEngine("libm.so.6"));
  EXPECT_EQ(GetTaskInfo_Batch(nullptr, 1, nullptr), kTorrixFunctionMissing);

  ConfigManagerOptions options;
  options.user_data_folder = env.root() + "/data";
  options.fallback_folder = env.root() + "/home";
  ConfigManager config(options);
  EXPECT_EQ(config.SetUpBandwidth(300), E_INVALIDARG);

  TorrixFunctions fake;
  fake.set_setting = &RecordSetting;
  InstallTorrixFunctions(fake);
  EXPECT_EQ(config.SetUpBandwidth(300), S_OK);
  EXPECT_EQ(g_settings, (std::vector<std::pair<int32_t, int32_t>>{{3, 0}, {4, 0}, {1, -1}, {2, 300}}));

  QuitTorrixEngine();
  EXPECT_EQ(config.SetDownBandwidth(5), E_INVALIDARG);
  EXPECT_EQ(SetTorrixSetting(1, 5), kTorrixFunctionMissing);
}

}  // namespace
}  // namespace lorvane
