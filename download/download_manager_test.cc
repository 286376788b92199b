#include "download/download_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/platform/clock.h"
#include "base/platform/isolated_env_testutil.h"
#include "base/platform/work_pool.h"
#include "base/threading/thread_pool.h"
#include "download/log_capture_testutil.h"
#include "download/task_factroy.h"
#include "package/package.h"
#include "package/package_state.h"

namespace lorvane {
namespace {

using tobric::AsyncCallback;
using tobric::AutoLock;

constexpr uint32_t kWaitMs = 10000;

// What happened, in order, across threads.
class EventLog {
 public:
  void Add(const std::string& event) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      events_.push_back(event);
    }
    changed_.notify_all();
  }
  [[nodiscard]] bool WaitFor(const std::string& event, uint32_t timeout_ms = kWaitMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] {
      return std::find(events_.begin(), events_.end(), event) != events_.end();
    });
  }
  // Position of the first such event; -1 when it has not happened.
  [[nodiscard]] int IndexOf(const std::string& event) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto it = std::find(events_.begin(), events_.end(), event);
    return it == events_.end() ? -1 : static_cast<int>(it - events_.begin());
  }
  [[nodiscard]] int CountOf(const std::string& event) {
    std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<int>(std::count(events_.begin(), events_.end(), event));
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

// A task whose results the test sets and whose end the test reports, on the
// test's thread, as a real task reports from its own.
class FakeTask : public TaskInterface, public std::enable_shared_from_this<FakeTask> {
 public:
  FakeTask(Package* package, std::string label, EventLog* events)
      : package_(package), label_(std::move(label)), events_(events) {}

  HRESULT Initialize() override {
    ++initialize_calls;
    events_->Add("initialize " + label_);
    return initialize_result.load();
  }
  HRESULT Start() override {
    ++start_calls;
    events_->Add("start " + label_);
    return start_result.load();
  }
  HRESULT Cancel() override {
    ++cancel_calls;
    events_->Add("cancel " + label_);
    return cancel_result.load();
  }
  void SetCallback(AsyncCallback<std::shared_ptr<TaskInterface>>* callback) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (callback != callback_.get()) callback_.reset(callback);
  }
  Package* GetPackage() override { return package_; }
  HRESULT GetErrorCode() override { return error_code_.load(); }

  [[nodiscard]] bool has_callback() {
    std::lock_guard<std::mutex> hold(mutex_);
    return callback_ != nullptr;
  }

  // Ends the task with `code` through its completion callback.
  void Finish(HRESULT code) {
    error_code_.store(code);
    events_->Add("finish " + label_);
    AsyncCallback<std::shared_ptr<TaskInterface>>* callback = nullptr;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      callback = callback_.get();
    }
    ASSERT_NE(callback, nullptr);
    callback->Invoke(shared_from_this());
  }

  std::atomic<HRESULT> initialize_result{S_OK};
  std::atomic<HRESULT> start_result{S_OK};
  std::atomic<HRESULT> cancel_result{S_OK};
  std::atomic<int> initialize_calls{0};
  std::atomic<int> start_calls{0};
  std::atomic<int> cancel_calls{0};

 private:
  Package* const package_;
  const std::string label_;
  EventLog* const events_;
  std::atomic<HRESULT> error_code_{S_OK};
  std::mutex mutex_;
  std::unique_ptr<AsyncCallback<std::shared_ptr<TaskInterface>>> callback_;
};

// Makes a FakeTask per package, labelled with the package's name, and keeps a
// reference for the test.
class FakeFactory : public FactoryInterface {
 public:
  explicit FakeFactory(EventLog* events) : events_(events) {}

  std::shared_ptr<TaskInterface> CreateTask(Package* package) override {
    auto task = std::make_shared<FakeTask>(package, package->name(), events_);
    std::lock_guard<std::mutex> hold(mutex_);
    if (const auto it = initialize_results_.find(package); it != initialize_results_.end()) {
      task->initialize_result = it->second;
    }
    if (const auto it = start_results_.find(package); it != start_results_.end()) {
      task->start_result = it->second;
    }
    tasks_[package] = task;
    return task;
  }

  void SetInitializeResult(Package* package, HRESULT hr) {
    std::lock_guard<std::mutex> hold(mutex_);
    initialize_results_[package] = hr;
  }
  void SetStartResult(Package* package, HRESULT hr) {
    std::lock_guard<std::mutex> hold(mutex_);
    start_results_[package] = hr;
  }
  std::shared_ptr<FakeTask> TaskFor(Package* package) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto it = tasks_.find(package);
    return it != tasks_.end() ? it->second : nullptr;
  }

 private:
  EventLog* const events_;
  std::mutex mutex_;
  std::map<Package*, HRESULT> initialize_results_;
  std::map<Package*, HRESULT> start_results_;
  std::map<Package*, std::shared_ptr<FakeTask>> tasks_;
};

// What became of one callback handed to the manager.
struct Probe {
  std::atomic<int> invoked{0};
  std::atomic<int32_t> state_at_invoke{0};
  std::atomic<Package*> package{nullptr};
  std::atomic<bool> deleted{false};
};

class ProbeCallback : public AsyncCallback<Package*> {
 public:
  ProbeCallback(std::shared_ptr<Probe> probe, std::string event, EventLog* events)
      : probe_(std::move(probe)), event_(std::move(event)), events_(events) {}
  ~ProbeCallback() override { probe_->deleted = true; }

  void Invoke(Package* package) override {
    probe_->state_at_invoke = package->state_number();
    probe_->package = package;
    ++probe_->invoked;
    events_->Add(event_);
  }

 private:
  std::shared_ptr<Probe> probe_;
  const std::string event_;
  EventLog* const events_;
};

class DownloadManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tobric::platform::WorkPool::Options options;
    options.default_threads = 2;
    work_pool_ = std::make_unique<tobric::platform::WorkPool>(options);
    pool_ = std::make_unique<tobric::ThreadPool>(work_pool_.get());
    ASSERT_EQ(pool_->Initialize(), S_OK);
    MakeManager(std::make_unique<FakeFactory>(&events_), 300);
  }

  void TearDown() override {
    pool_->Drain();
    work_pool_.reset();
    manager_.reset();
  }

  void MakeManager(std::unique_ptr<FactoryInterface> factory, uint32_t stop_limit_ms) {
    factory_ = dynamic_cast<FakeFactory*>(factory.get());
    manager_ = std::make_unique<DownloadManager>(
        std::move(factory), pool_.get(),
        [this] {
          const int32_t limit = limit_.load();
          {
            std::lock_guard<std::mutex> hold(passes_mutex_);
            ++passes_;
          }
          passes_changed_.notify_all();
          return limit;
        },
        stop_limit_ms);
  }

  // A package that its state admits to queueing, named `name`.
  static Package* ReadyPackage(const std::string& name) {
    Package* package = Package::Create();
    package->set_uri("http://127.0.0.1/" + name);
    package->set_name(name);
    AutoLock hold(package->lock());
    package->set_state(GetPackageState(STATE_READY));
    return package;
  }

  AsyncCallback<Package*>* Callback(const std::shared_ptr<Probe>& probe, const std::string& event) {
    return new ProbeCallback(probe, event, &events_);
  }

  int passes() {
    std::lock_guard<std::mutex> hold(passes_mutex_);
    return passes_;
  }
  [[nodiscard]] bool WaitForPasses(int count) {
    std::unique_lock<std::mutex> hold(passes_mutex_);
    return passes_changed_.wait_for(hold, std::chrono::milliseconds(kWaitMs),
                                    [&] { return passes_ >= count; });
  }

  // Returns once a Cancel work item that holds the package's lock is done.
  static void WaitForPackageLock(Package* package) { AutoLock hold(package->lock()); }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_{env_.root()};
  EventLog events_;
  std::unique_ptr<tobric::platform::WorkPool> work_pool_;
  std::unique_ptr<tobric::ThreadPool> pool_;
  std::unique_ptr<DownloadManager> manager_;
  FakeFactory* factory_ = nullptr;
  std::atomic<int32_t> limit_{1};

  std::mutex passes_mutex_;
  std::condition_variable passes_changed_;
  int passes_ = 0;  // guarded by passes_mutex_
};

// ---------------------------------------------------------------------------
// Scheduling

TEST_F(DownloadManagerTest, LimitOfOneStartsTasksOneAfterAnotherInDownloadOrder) {
  Package* a = ReadyPackage("a");
  Package* b = ReadyPackage("b");
  Package* c = ReadyPackage("c");
  auto done_a = std::make_shared<Probe>();
  auto done_b = std::make_shared<Probe>();
  auto done_c = std::make_shared<Probe>();
  ASSERT_EQ(manager_->Download(a, Callback(done_a, "done a")), S_OK);
  ASSERT_EQ(manager_->Download(b, Callback(done_b, "done b")), S_OK);
  ASSERT_EQ(manager_->Download(c, Callback(done_c, "done c")), S_OK);

  ASSERT_TRUE(events_.WaitFor("start a"));
  EXPECT_EQ(a->state_number(), STATE_DOWNLOADING);
  EXPECT_NE(a->start_time(), 0u);
  factory_->TaskFor(a)->Finish(S_OK);
  ASSERT_TRUE(events_.WaitFor("start b"));
  factory_->TaskFor(b)->Finish(S_OK);
  ASSERT_TRUE(events_.WaitFor("start c"));
  factory_->TaskFor(c)->Finish(S_OK);
  ASSERT_TRUE(events_.WaitFor("done c"));

  EXPECT_LT(events_.IndexOf("start a"), events_.IndexOf("finish a"));
  EXPECT_LT(events_.IndexOf("finish a"), events_.IndexOf("initialize b"));
  EXPECT_LT(events_.IndexOf("finish b"), events_.IndexOf("initialize c"));
  for (const auto& [package, probe] :
       {std::pair{a, done_a}, std::pair{b, done_b}, std::pair{c, done_c}}) {
    EXPECT_EQ(probe->invoked.load(), 1);
    EXPECT_EQ(probe->package.load(), package);
    EXPECT_TRUE(probe->deleted.load());
    // Nothing was downloaded, so the package is ready again, not complete.
    EXPECT_EQ(package->state_number(), STATE_READY);
  }
  EXPECT_EQ(manager_->WaitingCount(), 0u);
  EXPECT_EQ(manager_->RunningCount(), 0u);
}

TEST_F(DownloadManagerTest, PassOverOnlyPausingEntriesStartsNothingAndEnds) {
  limit_ = 0;
  Package* a = ReadyPackage("a");
  ASSERT_EQ(manager_->Download(a, nullptr), S_OK);
  ASSERT_TRUE(WaitForPasses(1));
  auto canceled = std::make_shared<Probe>();
  {
    // Holding the package's lock keeps the cancel from taking the entry out, so
    // the waiting queue holds one entry in STATE_PAUSEING.
    AutoLock hold(a->lock());
    ASSERT_EQ(manager_->CancelAsync(a, Callback(canceled, "canceled a")), S_OK);
    ASSERT_EQ(a->state_number(), STATE_PAUSEING);
    limit_ = 1;
    const int before = passes();
    manager_->ScheduleTask();
    EXPECT_EQ(passes(), before + 1);
    EXPECT_EQ(manager_->WaitingCount(), 1u);
    EXPECT_EQ(manager_->RunningCount(), 0u);
  }
  ASSERT_TRUE(events_.WaitFor("canceled a"));
  WaitForPackageLock(a);
  EXPECT_EQ(manager_->WaitingCount(), 0u);
  EXPECT_EQ(factory_->TaskFor(a)->initialize_calls.load(), 0);
  EXPECT_EQ(a->state_number(), STATE_READY);
}

TEST_F(DownloadManagerTest, FailedStartsLeaveRunningQueueAndNextTaskStarts) {
  Package* a = ReadyPackage("a");
  Package* b = ReadyPackage("b");
  Package* c = ReadyPackage("c");
  constexpr HRESULT kInitializeFailure = E_CREATE_FILE_FAILED;
  constexpr HRESULT kStartFailure = E_DISK_FULL;
  factory_->SetInitializeResult(a, kInitializeFailure);
  factory_->SetStartResult(b, kStartFailure);
  auto done_a = std::make_shared<Probe>();
  auto done_b = std::make_shared<Probe>();
  ASSERT_EQ(manager_->Download(a, Callback(done_a, "done a")), S_OK);
  ASSERT_EQ(manager_->Download(b, Callback(done_b, "done b")), S_OK);
  ASSERT_EQ(manager_->Download(c, nullptr), S_OK);

  // Each failure frees the slot at once, so the pass goes on to the next one.
  ASSERT_TRUE(events_.WaitFor("start c"));
  WaitForPackageLock(a);
  WaitForPackageLock(b);
  EXPECT_EQ(a->state_number(), STATE_ERROR);
  EXPECT_EQ(a->error_code(), kInitializeFailure);
  EXPECT_EQ(factory_->TaskFor(a)->start_calls.load(), 0);
  EXPECT_FALSE(factory_->TaskFor(a)->has_callback());
  EXPECT_EQ(b->state_number(), STATE_ERROR);
  EXPECT_EQ(b->error_code(), kStartFailure);
  EXPECT_EQ(log_.Count("[Failed to initialize task a][0xa0440217]"), 1u);
  EXPECT_EQ(log_.Count("[Start task b failed][0xa044021a]"), 1u);
  // Their finish callbacks go with their entries, not invoked.
  EXPECT_EQ(done_a->invoked.load() + done_b->invoked.load(), 0);
  EXPECT_TRUE(done_a->deleted.load());
  EXPECT_TRUE(done_b->deleted.load());
  EXPECT_EQ(manager_->RunningCount(), 1u);
  EXPECT_EQ(c->state_number(), STATE_DOWNLOADING);
}

TEST_F(DownloadManagerTest, UnknownSchemeIsRefusedAndQueuesStayAsTheyWere) {
  MakeManager(std::make_unique<TaskFactroy>(), 300);
  Package* package = ReadyPackage("file.bin");
  package->set_uri("ftp://127.0.0.1/file.bin");
  auto done = std::make_shared<Probe>();
  EXPECT_EQ(manager_->Download(package, Callback(done, "done")), E_CREATE_TASK_FAILED);
  EXPECT_EQ(log_.Count("[DownloadManager::Download][CreateTask failed.]"), 1u);
  EXPECT_EQ(package->state_number(), STATE_READY);
  EXPECT_EQ(manager_->WaitingCount(), 0u);
  EXPECT_EQ(manager_->RunningCount(), 0u);
  EXPECT_EQ(done->invoked.load(), 0);
  EXPECT_TRUE(done->deleted.load());
}

TEST_F(DownloadManagerTest, PassesAfterThePoolIsDrainedAreDropped) {
  pool_->Drain();
  Package* a = ReadyPackage("a");
  ASSERT_EQ(manager_->Download(a, nullptr), S_OK);
  EXPECT_EQ(log_.Count("[DownloadManager::QueueScheduleTask][Failed to queue a scheduling pass"),
            1u);
  EXPECT_EQ(manager_->WaitingCount(), 1u);

  auto canceled = std::make_shared<Probe>();
  EXPECT_EQ(manager_->CancelAsync(a, Callback(canceled, "canceled")), tobric::E_POOL_DRAINED);
  EXPECT_EQ(log_.Count("[QueueDeferredFunctionCall2 failed -2147023781]"), 1u);
  EXPECT_EQ(a->state_number(), STATE_PAUSEING);
  EXPECT_EQ(canceled->invoked.load(), 0);
  EXPECT_TRUE(canceled->deleted.load());
}

// ---------------------------------------------------------------------------
// Cancellation

TEST_F(DownloadManagerTest, CancelOfWaitingTaskInvokesCallbackBeforeCompleteAndQueuesPass) {
  limit_ = 0;
  Package* a = ReadyPackage("a");
  Package* b = ReadyPackage("b");
  auto done_a = std::make_shared<Probe>();
  ASSERT_EQ(manager_->Download(a, Callback(done_a, "done a")), S_OK);
  ASSERT_EQ(manager_->Download(b, nullptr), S_OK);
  ASSERT_TRUE(WaitForPasses(2));

  // From now on only the pass the cancel queues can start b.
  limit_ = 1;
  auto canceled = std::make_shared<Probe>();
  ASSERT_EQ(manager_->CancelAsync(a, Callback(canceled, "canceled a")), S_OK);
  ASSERT_TRUE(events_.WaitFor("canceled a"));
  // Invoked inside the cancel, before the package's Complete.
  EXPECT_EQ(canceled->state_at_invoke.load(), STATE_PAUSEING);
  EXPECT_EQ(canceled->package.load(), a);
  WaitForPackageLock(a);
  EXPECT_TRUE(canceled->deleted.load());
  EXPECT_EQ(a->state_number(), STATE_READY);
  ASSERT_TRUE(events_.WaitFor("start b"));

  const std::shared_ptr<FakeTask> task_a = factory_->TaskFor(a);
  EXPECT_EQ(task_a->initialize_calls.load(), 0);
  EXPECT_EQ(task_a->start_calls.load(), 0);
  EXPECT_EQ(task_a->cancel_calls.load(), 0);
  EXPECT_EQ(done_a->invoked.load(), 0);
  EXPECT_TRUE(done_a->deleted.load());
  EXPECT_EQ(manager_->WaitingCount(), 0u);
}

TEST_F(DownloadManagerTest, CancelOfRunningTaskCompletesThenInvokesCancelThenFinish) {
  Package* a = ReadyPackage("a");
  auto done = std::make_shared<Probe>();
  ASSERT_EQ(manager_->Download(a, Callback(done, "done a")), S_OK);
  ASSERT_TRUE(events_.WaitFor("start a"));

  auto canceled = std::make_shared<Probe>();
  ASSERT_EQ(manager_->CancelAsync(a, Callback(canceled, "canceled a")), S_OK);
  ASSERT_TRUE(events_.WaitFor("cancel a"));
  WaitForPackageLock(a);
  const std::shared_ptr<FakeTask> task = factory_->TaskFor(a);
  EXPECT_EQ(task->cancel_calls.load(), 1);
  EXPECT_EQ(a->state_number(), STATE_PAUSEING);
  EXPECT_EQ(canceled->invoked.load(), 0);

  task->Finish(E_CANCELED);
  EXPECT_EQ(task->cancel_calls.load(), 1);
  EXPECT_EQ(a->state_number(), STATE_READY);
  EXPECT_EQ(a->error_code(), S_OK);
  ASSERT_EQ(canceled->invoked.load(), 1);
  ASSERT_EQ(done->invoked.load(), 1);
  EXPECT_LT(events_.IndexOf("canceled a"), events_.IndexOf("done a"));
  EXPECT_EQ(canceled->state_at_invoke.load(), STATE_READY);
  EXPECT_EQ(done->state_at_invoke.load(), STATE_READY);
  EXPECT_TRUE(canceled->deleted.load());
  EXPECT_TRUE(done->deleted.load());
  EXPECT_EQ(manager_->RunningCount(), 0u);
}

TEST_F(DownloadManagerTest, FailureDuringCancelIsAnErrorAndSkipsCancelCallback) {
  Package* a = ReadyPackage("a");
  auto done = std::make_shared<Probe>();
  ASSERT_EQ(manager_->Download(a, Callback(done, "done a")), S_OK);
  ASSERT_TRUE(events_.WaitFor("start a"));
  auto canceled = std::make_shared<Probe>();
  ASSERT_EQ(manager_->CancelAsync(a, Callback(canceled, "canceled a")), S_OK);
  ASSERT_TRUE(events_.WaitFor("cancel a"));
  WaitForPackageLock(a);

  factory_->TaskFor(a)->Finish(E_CONNECT_FAILED);
  EXPECT_EQ(a->state_number(), STATE_ERROR);
  EXPECT_EQ(a->error_code(), E_CONNECT_FAILED);
  EXPECT_EQ(canceled->invoked.load(), 0);
  EXPECT_TRUE(canceled->deleted.load());
  EXPECT_EQ(done->invoked.load(), 1);
  EXPECT_EQ(done->state_at_invoke.load(), STATE_ERROR);
  EXPECT_EQ(manager_->RunningCount(), 0u);
}

TEST_F(DownloadManagerTest, CancelAfterCompletionIsTooLateAndInvokesNothing) {
  Package* a = ReadyPackage("a");
  ASSERT_EQ(manager_->Download(a, nullptr), S_OK);
  ASSERT_TRUE(events_.WaitFor("start a"));
  const std::shared_ptr<FakeTask> task = factory_->TaskFor(a);
  auto canceled = std::make_shared<Probe>();
  {
    // The cancel waits for the lock while the task completes first.
    AutoLock hold(a->lock());
    ASSERT_EQ(manager_->CancelAsync(a, Callback(canceled, "canceled a")), S_OK);
    task->Finish(S_OK);
  }
  ASSERT_TRUE(
      log_.WaitFor("[DownloadManager::Cancel][Cancel operation is too late. 2]", 1, kWaitMs));
  WaitForPackageLock(a);
  EXPECT_EQ(a->state_number(), STATE_READY);
  EXPECT_EQ(task->cancel_calls.load(), 0);
  EXPECT_EQ(canceled->invoked.load(), 0);
  EXPECT_TRUE(canceled->deleted.load());
}

TEST_F(DownloadManagerTest, CancelOfUnknownPackageFindsNoTarget) {
  Package* a = ReadyPackage("a");
  {
    AutoLock hold(a->lock());
    a->set_state(GetPackageState(STATE_DOWNLOADING));
  }
  auto canceled = std::make_shared<Probe>();
  ASSERT_EQ(manager_->CancelAsync(a, Callback(canceled, "canceled a")), S_OK);
  ASSERT_TRUE(log_.WaitFor("[The canceling target is not found.]", 1, kWaitMs));
  WaitForPackageLock(a);
  EXPECT_EQ(canceled->invoked.load(), 0);
  EXPECT_TRUE(canceled->deleted.load());
  EXPECT_EQ(a->state_number(), STATE_PAUSEING);
}

// ---------------------------------------------------------------------------
// Stop

TEST_F(DownloadManagerTest, StopAllGivesUpOnTaskThatNeverEndsAfterTheLimit) {
  Package* a = ReadyPackage("a");
  Package* b = ReadyPackage("b");
  auto done_b = std::make_shared<Probe>();
  ASSERT_EQ(manager_->Download(a, nullptr), S_OK);
  ASSERT_EQ(manager_->Download(b, Callback(done_b, "done b")), S_OK);
  ASSERT_TRUE(events_.WaitFor("start a"));

  const uint64_t start = tobric::platform::MonotonicMs();
  EXPECT_EQ(manager_->StopAll(), S_OK);
  EXPECT_GE(tobric::platform::MonotonicMs() - start, 300u);
  EXPECT_EQ(factory_->TaskFor(a)->cancel_calls.load(), 1);
  EXPECT_EQ(manager_->RunningCount(), 1u);
  // The waiting task goes without being started or reported.
  EXPECT_EQ(manager_->WaitingCount(), 0u);
  EXPECT_EQ(factory_->TaskFor(b)->initialize_calls.load(), 0);
  EXPECT_EQ(done_b->invoked.load(), 0);
  EXPECT_TRUE(done_b->deleted.load());
}

TEST_F(DownloadManagerTest, StopAllReturnsOnceRunningTasksHaveEnded) {
  MakeManager(std::make_unique<FakeFactory>(&events_), 60000);
  // Nothing running: no wait at all, far from the limit.
  std::future<HRESULT> idle =
      std::async(std::launch::async, [this] { return manager_->StopAll(); });
  ASSERT_EQ(idle.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(idle.get(), S_OK);

  Package* a = ReadyPackage("a");
  ASSERT_EQ(manager_->Download(a, nullptr), S_OK);
  ASSERT_TRUE(events_.WaitFor("start a"));
  std::future<HRESULT> stopped =
      std::async(std::launch::async, [this] { return manager_->StopAll(); });
  ASSERT_TRUE(events_.WaitFor("cancel a"));
  factory_->TaskFor(a)->Finish(E_CANCELED);
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(stopped.get(), S_OK);
  EXPECT_EQ(manager_->RunningCount(), 0u);
}

}  // namespace
}  // namespace lorvane
