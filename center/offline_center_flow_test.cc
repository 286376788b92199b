// Flows through the real download manager, with tasks that run until a test
// finishes them or the manager cancels them. (Pause, start, completion, a stop
// and a restart with real tasks, and the choice of the task by the URI's
// scheme, are the end-to-end tests'.)
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/platform/work_pool.h"
#include "base/threading/user_work_item.h"
#include "center/offline_center.h"
#include "package/package.h"
#include "package/package_state.h"
#include "tests/support/engine/fake_task.h"
#include "tests/support/engine/package_fakes.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

class OfflineCenterFlowTest : public ::testing::Test {
 protected:
  OfflineCenterFlowTest()
      : folder_(env_.root() + "/downloads"), work_pool_(tobric::platform::WorkPool::Options()) {
    std::filesystem::create_directories(folder_);
  }
  ~OfflineCenterFlowTest() override {
    center_.reset();
    OfflineCenter::SetInstanceForTesting(previous_);
  }

  // A center over fake tasks that, when cancelled, report E_CANCELED from a
  // pool thread, as real tasks report from their workers.
  OfflineCenter* Make(int32_t concurrent) {
    OfflineCenterOptions options;
    options.use_persister = false;
    options.make_factory = [this] {
      return std::make_unique<testing::FakeFactory>(&events_, [this](testing::FakeTask* task) {
        struct Report : tobric::UserWorkItem {
          explicit Report(std::shared_ptr<testing::FakeTask> task) : task(std::move(task)) {}
          void Run() override { task->Finish(E_CANCELED); }
          std::shared_ptr<testing::FakeTask> task;
        };
        auto* report = new Report(task->shared_from_this());
        if (Failed(center_->QueueUserWorkItem(report, tobric::platform::kWorkLongRunning))) {
          delete report;
        }
      });
    };
    options.work_pool = &work_pool_;
    options.concurrent_task_num = [concurrent] { return concurrent; };
    options.download_folder = [this] { return folder_; };
    options.stop_limit_ms = 5000;
    options.drain_limit_ms = 5000;
    center_ = std::make_unique<OfflineCenter>(std::move(options));
    previous_ = OfflineCenter::SetInstanceForTesting(center_.get());
    EXPECT_EQ(center_->Initialize(), S_OK);
    return center_.get();
  }

  tobric::platform::IsolatedEnv env_;
  const std::string folder_;
  testing::LogCapture log_;
  testing::EventLog events_;
  tobric::platform::WorkPool work_pool_;
  std::unique_ptr<OfflineCenter> center_;
  OfflineCenter* previous_ = nullptr;
};

// Delete keeps the files of a running download; DeletePerment removes them once
// the cancel has been dealt with (its callback runs inside the task's report).
TEST_F(OfflineCenterFlowTest, DeleteOfRunningDownloadUnlistsItAtOnce) {
  OfflineCenter* center = Make(2);
  for (const bool permanent : {false, true}) {
    SCOPED_TRACE(permanent ? "DeletePerment" : "Delete");
    const std::string caption = permanent ? "gone.mkv" : "kept.mkv";
    ASSERT_EQ(center->Download("http://127.0.0.1/" + caption), S_OK);
    ASSERT_TRUE(events_.WaitFor("start " + caption));
    std::vector<Package*> listed;
    center->GetPackages(&listed);
    ASSERT_EQ(listed.size(), 1u);
    Package* package = listed[0];
    // The files its task would have laid out.
    package->set_name(caption + ".sugd");
    package->set_metafile(folder_ + "/" + caption + ".sugc");
    corvane::testsupport::WriteFile(package->FullFilePath(), "data");
    corvane::testsupport::WriteFile(package->metafile(), "meta");

    const std::string id = package->id();
    EXPECT_EQ(permanent ? center->DeletePerment(id) : center->Delete(id), S_OK);
    EXPECT_EQ(center->GetPackageCount(), 0u);
    ASSERT_TRUE(events_.WaitFor("finished " + caption));
    EXPECT_EQ(package->state_number(), STATE_READY);
    EXPECT_EQ(std::filesystem::exists(package->FullFilePath()), !permanent);
    EXPECT_EQ(std::filesystem::exists(package->metafile()), !permanent);
    EXPECT_EQ(center->Delete(id), E_PACKAGE_NOT_FOUND);
  }
}

}  // namespace
}  // namespace lorvane
