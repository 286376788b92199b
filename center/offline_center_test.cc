// The center's own rules (lookup, list, results, stop) over a download manager
// that records its calls. What a delete does to the files of a running download
// is the package states' (both orders the manager reports a cancel in), the
// order the real manager reports in is the download manager's.
#include "center/offline_center.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/threading/thread_pool.h"
#include "package/package.h"
#include "package/package_state.h"
#include "tests/support/engine/package_fakes.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

class OfflineCenterTest : public ::testing::Test {
 protected:
  OfflineCenterTest() : folder_(env_.root() + "/downloads"), fake_(folder_) {
    std::filesystem::create_directories(folder_);
  }

  OfflineCenter* center() { return fake_.center(); }
  testing::RecordingDownloadManager* manager() { return fake_.manager(); }

  // A listed package in `state` with a data file on disk.
  Package* Add(const std::string& name, int32_t state) {
    Package* package = Package::Create();
    package->set_uri("http://127.0.0.1/" + name);
    package->set_path(folder_);
    package->set_name(name);
    corvane::testsupport::WriteFile(package->FullFilePath(), "data");
    testing::ForceState(package, state);
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

// No duplicate check: a client that wants one asks ExistUri first, which must
// see through case and surrounding blanks (Unicode ones included).
TEST_F(OfflineCenterTest, SameUriTwiceMakesTwoPackagesAndExistUriNormalises) {
  EXPECT_EQ(center()->Download("http://127.0.0.1/Film.mkv"), S_OK);
  EXPECT_EQ(center()->Download("http://127.0.0.1/Film.mkv"), S_OK);
  const std::vector<Package*> packages = Packages();
  ASSERT_EQ(packages.size(), 2u);
  EXPECT_NE(packages[0]->id(), packages[1]->id());
  EXPECT_EQ(packages[0]->state_number(), STATE_WAITING_TO_DOWNLOAD);

  EXPECT_TRUE(center()->ExistUri("  HTTP://127.0.0.1/FILM.MKV\t\n"));
  EXPECT_TRUE(center()->ExistUri("\u00a0http://127.0.0.1/film.mkv\u3000"));
  EXPECT_FALSE(center()->ExistUri("http://127.0.0.1/Film.mkv2"));
  EXPECT_EQ(center()->Download("http://127.0.0.1/\u00c4rger.mkv"), S_OK);
  EXPECT_TRUE(center()->ExistUri("http://127.0.0.1/\u00e4rger.MKV"));
}

// Delete unlists at once and keeps the files; from then on the id is as
// unknown as one never listed.
TEST_F(OfflineCenterTest, DeletedOrUnknownIdIsNotFoundEverywhere) {
  Package* package = Add("film.mkv", STATE_READY);
  EXPECT_EQ(center()->Delete(package->id()), S_OK);
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
  Package* complete = Add("complete.mkv", STATE_DOWNLOAD_COMPLETE);
  EXPECT_EQ(center()->Pause(complete->id()), S_OK);

  Package* failed = Add("failed.mkv", STATE_READY);
  failed->state()->Error(failed, E_CONNECT_FAILED);
  EXPECT_EQ(center()->Pause(failed->id()), E_CONNECT_FAILED);
  EXPECT_EQ(center()->Start(failed->id()), S_OK);

  Package* refused = Add("refused.mkv", STATE_READY);
  manager()->set_download_result(E_CREATE_TASK_FAILED);
  EXPECT_EQ(center()->Start(refused->id()), E_CREATE_TASK_FAILED);
}

// Stop shuts the parts rather than freeing them: a request that arrives later
// is refused with a clear code instead of touching something gone.
TEST_F(OfflineCenterTest, StopRunsOnceAndLaterCallsAreRefusedCleanly) {
  Package* waiting = Add("waiting.mkv", STATE_READY);
  ASSERT_EQ(center()->Start(waiting->id()), S_OK);
  EXPECT_TRUE(center()->Stop());
  EXPECT_FALSE(center()->Stop());
  EXPECT_EQ(manager()->stop_all_calls(), 1);

  // A late download is listed, but not queued.
  EXPECT_EQ(center()->Download("http://127.0.0.1/late.mkv"), tobric::E_POOL_DRAINED);
  EXPECT_TRUE(center()->ExistUri("http://127.0.0.1/late.mkv"));
  EXPECT_EQ(manager()->downloads().size(), 1u);
  EXPECT_EQ(center()->Pause(waiting->id()), S_OK);
}

}  // namespace
}  // namespace lorvane
