// Flows through the real download manager, with tasks that run until a test
// finishes them or the manager cancels them, and through the real persister.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/platform/isolated_env_testutil.h"
#include "base/platform/work_pool.h"
#include "base/threading/async_callback.h"
#include "base/threading/user_work_item.h"
#include "center/offline_center.h"
#include "download/task_interface.h"
#include "package/package.h"
#include "package/package_state.h"
#include "package/package_testutil.h"
#include "storage/persister.h"

namespace lorvane {
namespace {

using testing::PathExists;
using testing::WriteFile;

constexpr auto kWaitLimit = std::chrono::seconds(10);

class FakeTask;

// What the fake tasks did, for the test to wait on. Thread-safe.
class TaskBoard {
 public:
  void Started(std::shared_ptr<FakeTask> task) {
    std::lock_guard<std::mutex> hold(mutex_);
    started_.push_back(std::move(task));
    changed_.notify_all();
  }
  void Finished() {
    std::lock_guard<std::mutex> hold(mutex_);
    ++finished_;
    changed_.notify_all();
  }
  [[nodiscard]] bool WaitForStarted(size_t count) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, kWaitLimit, [&] { return started_.size() >= count; });
  }
  [[nodiscard]] bool WaitForFinished(size_t count) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, kWaitLimit, [&] { return finished_ >= count; });
  }
  [[nodiscard]] std::shared_ptr<FakeTask> started(size_t index) {
    std::lock_guard<std::mutex> hold(mutex_);
    return index < started_.size() ? started_[index] : nullptr;
  }

  // Where cancelled tasks report from, as real tasks report from their workers.
  std::atomic<OfflineCenter*> center{nullptr};

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<FakeTask>> started_;  // guarded by mutex_
  size_t finished_ = 0;                             // guarded by mutex_
};

// A task that starts at once and runs until Finish, which a test calls or a
// Cancel queues on a pool thread.
class FakeTask : public TaskInterface, public std::enable_shared_from_this<FakeTask> {
 public:
  FakeTask(Package* package, TaskBoard* board) : package_(package), board_(board) {}

  HRESULT Initialize() override { return S_OK; }
  HRESULT Start() override {
    board_->Started(shared_from_this());
    return S_OK;
  }
  HRESULT Cancel() override {
    struct Report : tobric::UserWorkItem {
      explicit Report(std::shared_ptr<FakeTask> task) : task(std::move(task)) {}
      void Run() override { task->Finish(E_CANCELED); }
      std::shared_ptr<FakeTask> task;
    };
    auto* report = new Report(shared_from_this());
    const HRESULT hr =
        board_->center.load()->QueueUserWorkItem(report, tobric::platform::kWorkLongRunning);
    if (Failed(hr)) delete report;
    return hr;
  }
  void SetCallback(tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (callback_.get() != callback) callback_.reset(callback);
  }
  Package* GetPackage() override { return package_; }
  HRESULT GetErrorCode() override { return result_.load(); }

  // Reports the end once; later calls (a cancel racing a finish) do nothing.
  void Finish(HRESULT result) {
    std::unique_ptr<tobric::AsyncCallback<std::shared_ptr<TaskInterface>>> callback;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      callback = std::move(callback_);
    }
    if (callback == nullptr) return;
    result_.store(result);
    callback->Invoke(shared_from_this());
    board_->Finished();
  }

 private:
  Package* const package_;
  TaskBoard* const board_;
  std::atomic<HRESULT> result_{S_OK};
  std::mutex mutex_;
  std::unique_ptr<tobric::AsyncCallback<std::shared_ptr<TaskInterface>>> callback_;
};

class FakeFactory : public FactoryInterface {
 public:
  explicit FakeFactory(TaskBoard* board) : board_(board) {}
  std::shared_ptr<TaskInterface> CreateTask(Package* package) override {
    return std::make_shared<FakeTask>(package, board_);
  }

 private:
  TaskBoard* const board_;
};

class OfflineCenterFlowTest : public ::testing::Test {
 protected:
  OfflineCenterFlowTest()
      : folder_(env_.root() + "/downloads"), work_pool_(tobric::platform::WorkPool::Options()) {
    std::filesystem::create_directories(folder_);
    std::filesystem::create_directories(env_.root() + "/list");
  }
  ~OfflineCenterFlowTest() override { Destroy(); }

  OfflineCenterOptions Options(int32_t concurrent = 2) {
    OfflineCenterOptions options;
    options.use_persister = false;
    options.make_factory = [this] { return std::make_unique<FakeFactory>(&board_); };
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
    board_.center = center_.get();
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

  Package* Only() {
    std::vector<Package*> packages;
    center_->GetPackages(&packages);
    EXPECT_EQ(packages.size(), 1u);
    return packages.empty() ? nullptr : packages.back();
  }

  // Gives a running package a data file and a metafile, as its task would.
  static void LayOutFiles(Package* package, const std::string& folder) {
    package->set_name(package->caption() + ".sugd");
    package->set_metafile(folder + "/" + package->caption() + ".sugc");
    WriteFile(package->FullFilePath(), "data");
    WriteFile(package->metafile(), "meta");
  }

  tobric::platform::IsolatedEnv env_;
  const std::string folder_;
  testing::LogCapture log_;
  TaskBoard board_;
  tobric::platform::WorkPool work_pool_;
  std::unique_ptr<OfflineCenter> center_;
  OfflineCenter* previous_ = nullptr;
  bool installed_ = false;
};

// The factory of this build has no task kind yet for http: the package is
// listed and fails to queue with the factory's code.
TEST_F(OfflineCenterFlowTest, RealFactoryRefusesHttpForNow) {
  OfflineCenterOptions options = Options();
  options.make_factory = nullptr;
  OfflineCenter* center = Make(std::move(options));
  EXPECT_EQ(center->Download("http://127.0.0.1/film.mkv"), S_OK);
  Package* package = Only();
  ASSERT_NE(package, nullptr);
  EXPECT_EQ(package->state_number(), STATE_ERROR);
  EXPECT_EQ(package->error_code(), E_CREATE_TASK_FAILED);
}

TEST_F(OfflineCenterFlowTest, DownloadPauseStartAndComplete) {
  OfflineCenter* center = Make(Options());
  ASSERT_EQ(center->Download("http://127.0.0.1/film.mkv"), S_OK);
  ASSERT_TRUE(board_.WaitForStarted(1));
  Package* package = Only();
  EXPECT_EQ(package->state_number(), STATE_DOWNLOADING);
  package->set_download_speed(1234);
  EXPECT_EQ(center->GetTotalDownloadSpeed(), 1234u);

  EXPECT_EQ(center->Pause(package->id()), S_OK);
  ASSERT_TRUE(board_.WaitForFinished(1));
  EXPECT_EQ(package->state_number(), STATE_READY);
  EXPECT_EQ(package->download_speed(), 0);
  EXPECT_EQ(center->GetTotalDownloadSpeed(), 0u);

  EXPECT_EQ(center->Start(package->id()), S_OK);
  ASSERT_TRUE(board_.WaitForStarted(2));
  EXPECT_EQ(package->state_number(), STATE_DOWNLOADING);
  package->set_total_size(4096);
  package->set_download_size(4096);
  board_.started(1)->Finish(S_OK);
  EXPECT_EQ(package->state_number(), STATE_DOWNLOAD_COMPLETE);
  EXPECT_NE(package->complete_time(), 0u);
  EXPECT_EQ(center->Pause(package->id()), S_OK);
  EXPECT_EQ(package->state_number(), STATE_DOWNLOAD_COMPLETE);
}

TEST_F(OfflineCenterFlowTest, DeleteOfRunningDownloadKeepsItsFiles) {
  OfflineCenter* center = Make(Options());
  ASSERT_EQ(center->Download("http://127.0.0.1/film.mkv"), S_OK);
  ASSERT_TRUE(board_.WaitForStarted(1));
  Package* package = Only();
  LayOutFiles(package, folder_);

  EXPECT_EQ(center->Delete(package->id()), S_OK);
  EXPECT_EQ(center->GetPackageCount(), 0u);
  ASSERT_TRUE(board_.WaitForFinished(1));
  EXPECT_EQ(package->state_number(), STATE_READY);
  EXPECT_TRUE(PathExists(package->FullFilePath()));
  EXPECT_TRUE(PathExists(package->metafile()));
  EXPECT_EQ(center->Delete(package->id()), E_PACKAGE_NOT_FOUND);
}

TEST_F(OfflineCenterFlowTest, DeletePermentOfRunningDownloadRemovesFilesAfterTheCancel) {
  OfflineCenter* center = Make(Options());
  ASSERT_EQ(center->Download("http://127.0.0.1/film.mkv"), S_OK);
  ASSERT_TRUE(board_.WaitForStarted(1));
  Package* package = Only();
  LayOutFiles(package, folder_);

  EXPECT_EQ(center->DeletePerment(package->id()), S_OK);
  EXPECT_EQ(center->GetPackageCount(), 0u);
  // The cancel callback runs inside the task's report, before it counts as finished.
  ASSERT_TRUE(board_.WaitForFinished(1));
  EXPECT_FALSE(PathExists(package->FullFilePath()));
  EXPECT_FALSE(PathExists(package->metafile()));
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

// Stop cancels what runs and drops what waits; what comes afterwards is refused
// without touching the pool again, and files can still be deleted.
TEST_F(OfflineCenterFlowTest, CallsAfterStopAreRefusedCleanly) {
  OfflineCenter* center = Make(Options(1));
  ASSERT_EQ(center->Download("http://127.0.0.1/running.mkv"), S_OK);
  ASSERT_EQ(center->Download("http://127.0.0.1/waiting.mkv"), S_OK);
  ASSERT_TRUE(board_.WaitForStarted(1));
  std::vector<Package*> packages;
  center->GetPackages(&packages);
  ASSERT_EQ(packages.size(), 2u);
  Package* running = board_.started(0)->GetPackage();
  Package* waiting = packages[0] == running ? packages[1] : packages[0];
  ASSERT_EQ(waiting->state_number(), STATE_WAITING_TO_DOWNLOAD);
  LayOutFiles(waiting, folder_);

  EXPECT_TRUE(center->Stop());
  EXPECT_FALSE(center->Stop());
  EXPECT_EQ(running->state_number(), STATE_READY);

  // The waiting task was dropped; its cancel can no longer be queued, so the
  // files go at once.
  EXPECT_EQ(center->DeletePerment(waiting->id()), S_OK);
  EXPECT_FALSE(PathExists(waiting->FullFilePath()));
  EXPECT_FALSE(PathExists(waiting->metafile()));

  EXPECT_EQ(center->Start(running->id()), tobric::E_POOL_DRAINED);
  EXPECT_EQ(center->Download("http://127.0.0.1/late.mkv"), tobric::E_POOL_DRAINED);
  EXPECT_EQ(center->GetPackageCount(), 2u);
  EXPECT_EQ(center->Delete(running->id()), S_OK);
}

// The list survives a restart through the persister; ids do not.
TEST_F(OfflineCenterFlowTest, ListSurvivesRestartWithNewIds) {
  OfflineCenterOptions options = Options();
  options.use_persister = true;
  OfflineCenter* center = Make(options);
  EXPECT_TRUE(
      log_.Contains("[OfflineCenter::Initialize][Failed to read download list][0xa0440210]"));
  EXPECT_EQ(center->Download(""), E_UNSUPPORTED_URI);
  const std::string old_id = Only()->id();
  EXPECT_TRUE(center->Stop());

  center = Make(options);
  Package* loaded = Only();
  ASSERT_NE(loaded, nullptr);
  EXPECT_NE(loaded->id(), old_id);
  EXPECT_EQ(loaded->state_number(), STATE_ERROR);
  EXPECT_EQ(loaded->error_code(), E_UNSUPPORTED_URI);
  EXPECT_EQ(center->Start(old_id), E_PACKAGE_NOT_FOUND);
  ASSERT_NE(center->GetPersister(), nullptr);
}

}  // namespace
}  // namespace lorvane
