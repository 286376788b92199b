// The center's own rules (lookup, list, results, log lines, stop) over a
// download manager that records its calls; the flows through the real
// download manager are in offline_center_flow_test.cc.
#include "center/offline_center.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/threading/thread_pool.h"
#include "base/threading/user_work_item.h"
#include "package/package.h"
#include "package/package_state.h"
#include "tests/support/engine/package_fakes.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

using testing::ForceState;

class OfflineCenterTest : public ::testing::Test {
 protected:
  OfflineCenterTest() : folder_(env_.root() + "/downloads"), fake_(folder_) {
    std::filesystem::create_directories(folder_);
  }

  OfflineCenter* center() { return fake_.center(); }
  testing::RecordingDownloadManager* manager() { return fake_.manager(); }

  // A listed package in `state` with a data file and a metafile on disk.
  Package* AddWithFiles(const std::string& name, int32_t state) {
    Package* package = Package::Create();
    package->set_uri("http://127.0.0.1/" + name);
    package->set_path(folder_);
    package->set_caption(name);
    package->set_name(name + ".sugd");
    package->set_metafile(folder_ + "/" + name + ".sugc");
    corvane::testsupport::WriteFile(package->FullFilePath(), "data");
    corvane::testsupport::WriteFile(package->metafile(), "meta");
    ForceState(package, state);
    center()->AddInternal(package);
    return package;
  }

  std::vector<Package*> Packages() {
    std::vector<Package*> packages;
    center()->GetPackages(&packages);
    return packages;
  }

  tobric::platform::IsolatedEnv env_;
  const std::string folder_;
  testing::LogCapture log_;
  testing::FakeManagerCenter fake_;
};

TEST_F(OfflineCenterTest, EmptyUriFailsButIsListedInError) {
  ASSERT_EQ(fake_.initialize_result(), S_OK);
  EXPECT_EQ(center()->Download(""), E_UNSUPPORTED_URI);
  const std::vector<Package*> packages = Packages();
  ASSERT_EQ(packages.size(), 1u);
  EXPECT_EQ(packages[0]->state_number(), STATE_ERROR);
  EXPECT_EQ(packages[0]->error_code(), E_UNSUPPORTED_URI);
  EXPECT_TRUE(
      log_.Contains("[OfflineCenter::Download]][Failed to initialize package][0xa0440213]"));
  EXPECT_TRUE(manager()->downloads().empty());
}

// No duplicate check: a client that wants one asks ExistUri first, which must
// see through case and surrounding blanks (Unicode ones included).
TEST_F(OfflineCenterTest, SameUriTwiceMakesTwoPackagesAndExistUriNormalises) {
  EXPECT_EQ(center()->Download("http://127.0.0.1/Film.mkv"), S_OK);
  EXPECT_EQ(center()->Download("http://127.0.0.1/Film.mkv"), S_OK);
  const std::vector<Package*> packages = Packages();
  ASSERT_EQ(packages.size(), 2u);
  EXPECT_NE(packages[0]->id(), packages[1]->id());
  for (Package* package : packages) {
    EXPECT_EQ(package->state_number(), STATE_WAITING_TO_DOWNLOAD);
    EXPECT_EQ(package->caption(), "Film.mkv");
    EXPECT_EQ(package->path(), folder_);
  }
  EXPECT_EQ(manager()->downloads().size(), 2u);

  EXPECT_TRUE(center()->ExistUri("  HTTP://127.0.0.1/FILM.MKV\t\n"));
  EXPECT_TRUE(center()->ExistUri("\u00a0http://127.0.0.1/film.mkv\u3000"));
  EXPECT_FALSE(center()->ExistUri("http://127.0.0.1/Film.mkv2"));
  EXPECT_FALSE(center()->ExistUri("http://127.0.0.1/ Film.mkv"));

  EXPECT_EQ(center()->Download("http://127.0.0.1/\u00c4rger.mkv"), S_OK);
  EXPECT_TRUE(center()->ExistUri("http://127.0.0.1/\u00e4rger.MKV"));
}

// Delete unlists at once and logs with the full path; from then on the id is as
// unknown as one never listed. (Files and cancels: offline_center_flow_test.cc.)
TEST_F(OfflineCenterTest, DeletedOrUnknownIdIsNotFoundEverywhere) {
  Package* package = AddWithFiles("film.mkv", STATE_READY);
  EXPECT_TRUE(log_.Contains("[OfflineCenter::AddInternal][Package " + folder_ +
                            "/film.mkv.sugd is added to list]"));
  EXPECT_EQ(center()->Delete(package->id()), S_OK);
  EXPECT_TRUE(log_.Contains("[OfflineCenter::DeleteInternal]][Package " + folder_ +
                            "/film.mkv.sugd is deleted from list]"));
  for (const std::string& id :
       {package->id(), std::string("{00000000-0000-4000-8000-000000000000}")}) {
    EXPECT_EQ(center()->Start(id), E_PACKAGE_NOT_FOUND);
    EXPECT_EQ(center()->Pause(id), E_PACKAGE_NOT_FOUND);
    EXPECT_EQ(center()->Delete(id), E_PACKAGE_NOT_FOUND);
    EXPECT_EQ(center()->DeletePerment(id), E_PACKAGE_NOT_FOUND);
    EXPECT_EQ(center()->FindPackage(id), nullptr);
  }
  EXPECT_EQ(center()->GetPackageCount(), 0u);
  EXPECT_TRUE(std::filesystem::exists(package->FullFilePath()));
}

// Start and Pause answer with the package's code after the call, not one of
// their own.
TEST_F(OfflineCenterTest, StartAndPauseReportThePackagesCode) {
  Package* complete = AddWithFiles("complete.mkv", STATE_DOWNLOAD_COMPLETE);
  EXPECT_EQ(center()->Pause(complete->id()), S_OK);
  EXPECT_EQ(complete->state_number(), STATE_DOWNLOAD_COMPLETE);

  Package* failed = AddWithFiles("failed.mkv", STATE_READY);
  failed->state()->Error(failed, E_CONNECT_FAILED);
  EXPECT_EQ(center()->Pause(failed->id()), E_CONNECT_FAILED);
  EXPECT_EQ(center()->Start(failed->id()), S_OK);
  EXPECT_EQ(failed->state_number(), STATE_WAITING_TO_DOWNLOAD);

  Package* refused = AddWithFiles("refused.mkv", STATE_READY);
  manager()->set_download_result(E_CREATE_TASK_FAILED);
  EXPECT_EQ(center()->Start(refused->id()), E_CREATE_TASK_FAILED);
  EXPECT_EQ(refused->state_number(), STATE_ERROR);

  EXPECT_TRUE(log_.Contains("[OfflineCenter::Start]"));
  EXPECT_TRUE(log_.Contains("[OfflineCenter::Pause]"));
  EXPECT_TRUE(log_.Contains("[OfflineCenter::Pause done]"));
}

TEST_F(OfflineCenterTest, TotalSpeedCountsOnlyDownloadingPackages) {
  EXPECT_EQ(center()->GetTotalDownloadSpeed(), 0u);
  const struct {
    int32_t state;
    int32_t speed;
  } cases[] = {{STATE_DOWNLOADING, 100},
               {STATE_DOWNLOADING, 200},
               {STATE_READY, 999},
               {STATE_PAUSEING, 50},
               {STATE_DOWNLOAD_COMPLETE, 7}};
  int n = 0;
  for (const auto& c : cases) {
    Package* package = AddWithFiles("p" + std::to_string(n++), c.state);
    package->set_download_speed(c.speed);
  }
  EXPECT_EQ(center()->GetTotalDownloadSpeed(), 300u);
}

// Stop shuts the parts rather than freeing them: a request that arrives later
// is refused with a clear code instead of touching something gone.
TEST_F(OfflineCenterTest, StopRunsOnceAndLaterCallsAreRefusedCleanly) {
  Package* waiting = AddWithFiles("waiting.mkv", STATE_READY);
  ASSERT_EQ(center()->Start(waiting->id()), S_OK);

  EXPECT_TRUE(center()->Stop());
  EXPECT_TRUE(center()->stopped());
  EXPECT_FALSE(center()->Stop());
  EXPECT_EQ(manager()->stop_all_calls(), 1);

  // A late download is listed, but not queued.
  EXPECT_EQ(center()->Download("http://127.0.0.1/late.mkv"), tobric::E_POOL_DRAINED);
  EXPECT_TRUE(center()->ExistUri("http://127.0.0.1/late.mkv"));
  EXPECT_EQ(log_.Count("[The engine is stopped; package is not queued][0x8007045b]"), 1u);
  EXPECT_EQ(manager()->downloads().size(), 1u);
  struct Nothing : tobric::UserWorkItem {
    void Run() override {}
  } item;
  EXPECT_EQ(center()->QueueUserWorkItem(&item, 0), tobric::E_POOL_DRAINED);
  EXPECT_EQ(center()->Pause(waiting->id()), S_OK);
}

}  // namespace
}  // namespace lorvane
