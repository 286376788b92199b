// Flows through the real download manager, with tasks that run until a test
// finishes them or the manager cancels them. (Pause, start, completion, a stop
// and a restart with real tasks, and the choice of the task by the URI's
// scheme, are the end-to-end tests'.)
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
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

// Clients call from many threads at once while tasks start, get cancelled and
// finish on pool threads; run under ThreadSanitizer this catches unguarded
// access to the list and the packages.
TEST_F(OfflineCenterFlowTest, ConcurrentClients) {
  OfflineCenter* center = Make(3);
  constexpr int kThreads = 4;
  constexpr int kRounds = 30;
  // Delete and DeletePerment first: their successes are counted.
  HRESULT(OfflineCenter::*const calls[])
  (const std::string&) = {&OfflineCenter::Delete, &OfflineCenter::DeletePerment,
                          &OfflineCenter::Pause, &OfflineCenter::Start};
  std::atomic<int> deletes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      for (int round = 0; round < kRounds; ++round) {
        const std::string uri = "http://127.0.0.1/t" + std::to_string(t * 100 + round);
        EXPECT_EQ(center->Download(uri), S_OK);
        static_cast<void>(center->ExistUri(uri));
        static_cast<void>(center->GetTotalDownloadSpeed());
        std::vector<Package*> packages;
        center->GetPackages(&packages);
        for (const Package* package : packages) static_cast<void>(package->state_number());
        if (packages.empty()) continue;
        const std::string id = packages[random() % packages.size()]->id();
        const size_t call = random() % std::size(calls);
        if ((center->*calls[call])(id) == S_OK && call < 2) deletes.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(center->GetPackageCount(), static_cast<uint32_t>(kThreads * kRounds - deletes.load()));
  EXPECT_TRUE(center->Stop());
}

}  // namespace
}  // namespace lorvane
