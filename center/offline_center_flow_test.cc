// Flows through the real download manager, with tasks that run until a test
// finishes them or the manager cancels them. (Pause, start, completion, a stop
// and a restart with real tasks are the end-to-end tests'.)
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
#include "tests/support/scoped_no_proxy.h"
#include "tests/support/test_http_server.h"

namespace lorvane {
namespace {

class OfflineCenterFlowTest : public ::testing::Test {
 protected:
  OfflineCenterFlowTest()
      : folder_(env_.root() + "/downloads"), work_pool_(tobric::platform::WorkPool::Options()) {
    std::filesystem::create_directories(folder_);
    std::filesystem::create_directories(env_.root() + "/list");
  }
  ~OfflineCenterFlowTest() override { Destroy(); }

  // Fake tasks that, when cancelled, report E_CANCELED from a pool thread, as
  // real tasks report from their workers.
  OfflineCenterOptions Options(int32_t concurrent = 2) {
    OfflineCenterOptions options;
    options.use_persister = false;
    options.make_factory = [this] {
      auto factory =
          std::make_unique<testing::FakeFactory>(&events_, [this](testing::FakeTask* task) {
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
      factory_ = factory.get();
      return factory;
    };
    options.work_pool = &work_pool_;
    options.concurrent_task_num = [concurrent] { return concurrent; };
    const std::string folder = folder_;
    options.download_folder = [folder] { return folder; };
    options.download_list_path = env_.root() + "/list/download_list.db";
    options.temp_folder = env_.root() + "/tmp";
    options.save_delay_ms = 20;
    options.stop_limit_ms = 5000;
    options.drain_limit_ms = 5000;
    return options;
  }

  OfflineCenter* Make(OfflineCenterOptions options) {
    Destroy();
    center_ = std::make_unique<OfflineCenter>(std::move(options));
    previous_ = OfflineCenter::SetInstanceForTesting(center_.get());
    installed_ = true;
    EXPECT_EQ(center_->Initialize(), S_OK);
    return center_.get();
  }

  void Destroy() {
    center_.reset();
    if (installed_) OfflineCenter::SetInstanceForTesting(previous_);
    installed_ = false;
  }

  Package* Find(const std::string& caption) {
    std::vector<Package*> packages;
    center_->GetPackages(&packages);
    for (Package* package : packages) {
      if (package->caption() == caption) return package;
    }
    return nullptr;
  }

  // Gives a running package a data file and a metafile, as its task would.
  void LayOutFiles(Package* package) {
    package->set_name(package->caption() + ".sugd");
    package->set_metafile(folder_ + "/" + package->caption() + ".sugc");
    corvane::testsupport::WriteFile(package->FullFilePath(), "data");
    corvane::testsupport::WriteFile(package->metafile(), "meta");
  }

  tobric::platform::IsolatedEnv env_;
  const std::string folder_;
  testing::LogCapture log_;
  testing::EventLog events_;
  testing::FakeFactory* factory_ = nullptr;  // of the newest center
  tobric::platform::WorkPool work_pool_;
  std::unique_ptr<OfflineCenter> center_;
  OfflineCenter* previous_ = nullptr;
  bool installed_ = false;
};

// The real factory makes the HTTP task for an http package: the task itself
// runs, and its failure to lay out a file the server does not have is the
// package's error. A tavp package gets the P2P task, which without the engine
// library (test programs do not load it) fails as a missing module.
TEST_F(OfflineCenterFlowTest, RealFactoryMakesHttpAndTavpTasks) {
  corvane::testsupport::ScopedNoProxy no_proxy;
  corvane::testsupport::TestHttpServer server;
  ASSERT_TRUE(server.ok());
  OfflineCenterOptions options = Options();
  options.make_factory = nullptr;
  OfflineCenter* center = Make(std::move(options));

  EXPECT_EQ(center->Download(server.Url("/film.mkv")), S_OK);
  Package* film = Find("film.mkv");
  ASSERT_NE(film, nullptr);
  ASSERT_TRUE(log_.WaitFor("[The state of package " + testing::PointerText(film) + " from 5 to 7]",
                           1, testing::kEventWaitMs));
  EXPECT_EQ(log_.Count("[Task::Initialize]"), 1u);
  EXPECT_TRUE(Failed(film->error_code()));
  EXPECT_NE(film->error_code(), E_CREATE_TASK_FAILED);

  EXPECT_EQ(center->Download("tavp://5|x|clip.mkv"), S_OK);
  Package* clip = Find("clip.mkv");
  ASSERT_NE(clip, nullptr);
  ASSERT_TRUE(log_.WaitFor("[The state of package " + testing::PointerText(clip) + " from 5 to 7]",
                           1, testing::kEventWaitMs));
  EXPECT_EQ(clip->error_code(), E_P2P_MODULE_MISSING);
}

// Delete keeps the files of a running download; DeletePerment removes them once
// the cancel has been dealt with (its callback runs inside the task's report).
TEST_F(OfflineCenterFlowTest, DeleteOfRunningDownloadUnlistsItAtOnce) {
  OfflineCenter* center = Make(Options());
  for (const bool permanent : {false, true}) {
    SCOPED_TRACE(permanent ? "DeletePerment" : "Delete");
    const std::string caption = permanent ? "gone.mkv" : "kept.mkv";
    ASSERT_EQ(center->Download("http://127.0.0.1/" + caption), S_OK);
    ASSERT_TRUE(events_.WaitFor("start " + caption));
    Package* package = Find(caption);
    LayOutFiles(package);

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
  OfflineCenter* center = Make(Options(3));
  constexpr int kThreads = 4;
  constexpr int kRounds = 30;
  std::atomic<int> downloads{0};
  std::atomic<int> deletes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      for (int round = 0; round < kRounds; ++round) {
        const std::string uri =
            "http://127.0.0.1/t" + std::to_string(t) + "-" + std::to_string(round) + ".bin";
        if (center->Download(uri) == S_OK) downloads.fetch_add(1);
        static_cast<void>(center->ExistUri(uri));
        std::vector<Package*> packages;
        center->GetPackages(&packages);
        static_cast<void>(center->GetTotalDownloadSpeed());
        if (packages.empty()) continue;
        Package* target = packages[random() % packages.size()];
        for (const Package* package : packages) {
          static_cast<void>(package->caption());
          static_cast<void>(package->state_number());
        }
        switch (random() % 4) {
          case 0:
            if (center->Delete(target->id()) == S_OK) deletes.fetch_add(1);
            break;
          case 1:
            if (center->DeletePerment(target->id()) == S_OK) deletes.fetch_add(1);
            break;
          case 2:
            static_cast<void>(center->Pause(target->id()));
            break;
          default:
            static_cast<void>(center->Start(target->id()));
            break;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(downloads.load(), kThreads * kRounds);
  EXPECT_EQ(center->GetPackageCount(), static_cast<uint32_t>(downloads.load() - deletes.load()));
  EXPECT_TRUE(center->Stop());
}

}  // namespace
}  // namespace lorvane
