#include "storage/config_manager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "storage/xml_documents.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"

namespace lorvane {
namespace {

namespace fs = std::filesystem;
using corvane::testsupport::ContentsOfFilesStartingWith;
using corvane::testsupport::ReadFile;
using corvane::testsupport::WriteFile;
using tobric::platform::DriveCandidate;

class ConfigManagerTest : public ::testing::Test {
 protected:
  ConfigManagerOptions Options(std::vector<DriveCandidate> drives = {}) const {
    ConfigManagerOptions options;
    options.user_data_folder = user_data_;
    options.list_drives = [drives] { return drives; };
    return options;
  }
  std::string ConfigPath() const { return user_data_ + "/config.db"; }

  void WriteConfig(const std::string& general_attributes) const {
    fs::create_directories(user_data_);
    WriteFile(ConfigPath(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
              "<configuration version=\"1.0.0\"><general " +
                  general_attributes + " /></configuration>\n");
  }
  Configuration Stored() const {
    Configuration configuration;
    EXPECT_EQ(LoadConfiguration(ConfigPath(), &configuration), S_OK);
    return configuration;
  }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_;
  const std::string user_data_ = env_.root() + "/data/user";
};

// A count outside its range is refused by its setter and replaced by the
// default when loaded; the ends of the range are taken.
TEST_F(ConfigManagerTest, CountsOutsideTheirRangeAreRefusedOrReplaced) {
  const struct {
    int32_t value;
    bool tasks_taken;    // concurrent_task_num: 1 to 2048
    bool threads_taken;  // thread_num_per_task: 1 to 512
  } cases[] = {{1, true, true}, {512, true, true}, {513, true, false}, {2048, true, false},
               {2049, false, false}, {0, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const std::string value = "\"" + std::to_string(c.value) + "\"";
    WriteConfig("concurrent_task_num=" + value + " thread_num_per_task=" + value +
                " download_folder=\"/d\"");
    ConfigManager loaded(Options());
    loaded.Initialize();
    EXPECT_EQ(loaded.GetConcurrentTaskNum(), c.tasks_taken ? c.value : 5);
    EXPECT_EQ(loaded.GetThreadNumPerTask(), c.threads_taken ? c.value : 5);

    ConfigManager set(Options());
    set.Initialize();
    EXPECT_EQ(set.SetConcurrentTaskNum(c.value), c.tasks_taken ? S_OK : E_INVALID_CONFIG_VALUE);
    EXPECT_EQ(set.SetThreadNumPerTask(c.value), c.threads_taken ? S_OK : E_INVALID_CONFIG_VALUE);
    if (c.tasks_taken) {
      EXPECT_EQ(Stored().concurrent_task_num, c.value);
    }
  }
}

// A start hands the stored limits to the engine, and each limit's setter saves
// the file: the stored folder is in those saves, so the next start finds it.
TEST_F(ConfigManagerTest, StoredFolderOutlivesTheSavesOfAStart) {
  WriteConfig("down_bandwidth=\"1000\" up_bandwidth=\"-1\" download_folder=\"/d\"");
  for (int start = 0; start < 2; ++start) {
    ConfigManager manager(Options());
    manager.SetEngineSettingFunction([](int32_t, int32_t) { return 0; });
    manager.Initialize();
    EXPECT_EQ(manager.GetDownloadFolder(), "/d");
    EXPECT_EQ(Stored().download_folder, "/d");
    EXPECT_EQ(Stored().down_bandwidth, 1000);
  }
}

// A config.db that does not parse, or is of another version, may hold settings
// the user wants back: it is moved aside, the defaults are used and a new file
// is written beside it.
TEST_F(ConfigManagerTest, RefusedConfigIsMovedAsideAndNotOverwritten) {
  WriteConfig("concurrent_task_num=\"7\" download_folder=\"/d\"");
  std::string other_version = ReadFile(ConfigPath());
  other_version.replace(other_version.find("1.0.0"), 5, "2.0.0");
  const std::string torn = other_version.substr(0, other_version.size() / 2);
  for (const std::string& refused : {other_version, torn}) {
    WriteFile(ConfigPath(), refused);
    ConfigManager manager(Options());
    manager.Initialize();
    EXPECT_EQ(manager.GetConcurrentTaskNum(), 5);
    EXPECT_EQ(Stored().version, "1.0.0");
  }
  EXPECT_EQ(log_.Count("[ConfigManager::Initialize][not support configuration version 2.0.0 to "
                       "1.0.0]"),
            1u);
  EXPECT_EQ(log_.Count("[ConfigManager::Initialize][" + ConfigPath() +
                       " cannot be used, moved aside to " + ConfigPath() + ".bad-"),
            2u);
  EXPECT_EQ(ContentsOfFilesStartingWith(user_data_, "config.db.bad-"),
            (std::multiset<std::string>{other_version, torn}));
}

TEST_F(ConfigManagerTest, SetDownloadFolderCreatesAMissingFolderFirst) {
  ConfigManager manager(Options());
  manager.Initialize();
  const std::string original = manager.GetDownloadFolder();
  const std::string wanted = env_.root() + "/media/films/new";

  EXPECT_EQ(manager.SetDownloadFolder(wanted), S_OK);
  EXPECT_TRUE(fs::is_directory(wanted));
  EXPECT_EQ(Stored().download_folder, original);

  EXPECT_EQ(manager.SetDownloadFolder(wanted), S_OK);
  EXPECT_EQ(Stored().download_folder, wanted);

  // A file where the folder should be: the creation's own error.
  const std::string blocker = env_.root() + "/blocker";
  WriteFile(blocker, "x");
  EXPECT_EQ(manager.SetDownloadFolder(blocker), static_cast<HRESULT>(0x800700B7));
  // A relative folder would be the service's working folder, not the sender's.
  EXPECT_EQ(manager.SetDownloadFolder("films"), E_INVALIDARG);
  EXPECT_EQ(manager.GetDownloadFolder(), wanted);
}

TEST_F(ConfigManagerTest, DownloadFolderGoesToTheWritableDriveWithTheMostSpace) {
  // Unwritable even for root: a regular file stands where the drive's root is.
  const std::string unwritable = env_.root() + "/not-a-folder";
  WriteFile(unwritable, "x");
  const std::string small = env_.root() + "/small";
  const std::string large = env_.root() + "/large";
  const std::string tie = env_.root() + "/tie";
  for (const std::string& folder : {small, large, tie}) fs::create_directories(folder);
  const std::vector<DriveCandidate> drives = {
      {small, 1000}, {unwritable, 9000}, {large, 5000}, {tie, 5000}};
  std::string root;
  ASSERT_TRUE(ConfigManager::ChooseDownloadFolder(drives, &root));
  EXPECT_EQ(root, large);

  EXPECT_FALSE(ConfigManager::ChooseDownloadFolder({{unwritable, 9000}, {small, 0}}, &root));
  ConfigManager manager(Options(drives));
  manager.Initialize();
  EXPECT_EQ(Stored().download_folder, large + "/KxDownload");
}

}  // namespace
}  // namespace lorvane
