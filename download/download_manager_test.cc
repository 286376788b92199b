#include "download/download_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>

#include "base/platform/clock.h"
#include "base/platform/work_pool.h"
#include "base/threading/thread_pool.h"
#include "package/package.h"
#include "package/package_state.h"
#include "tests/support/engine/fake_task.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"

namespace lorvane {
namespace {

using tobric::AsyncCallback;
using tobric::AutoLock;

// What became of one callback handed to the manager.
struct Probe {
  std::atomic<int> invoked{0};
  std::atomic<int32_t> state_at_invoke{0};
};

class ProbeCallback : public AsyncCallback<Package*> {
 public:
  ProbeCallback(std::shared_ptr<Probe> probe, std::string event, testing::EventLog* events)
      : probe_(std::move(probe)), event_(std::move(event)), events_(events) {}

  void Invoke(Package* package) override {
    probe_->state_at_invoke = package->state_number();
    ++probe_->invoked;
    events_->Add(event_);
  }

 private:
  std::shared_ptr<Probe> probe_;
  const std::string event_;
  testing::EventLog* const events_;
};

class DownloadManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tobric::platform::WorkPool::Options options;
    options.default_threads = 2;
    work_pool_ = std::make_unique<tobric::platform::WorkPool>(options);
    pool_ = std::make_unique<tobric::ThreadPool>(work_pool_.get());
    ASSERT_EQ(pool_->Initialize(), S_OK);
    auto factory = std::make_unique<testing::FakeFactory>(&events_, [this](testing::FakeTask* task) {
      if (on_cancel_) on_cancel_(task);
    });
    factory_ = factory.get();
    // Every scheduling pass reads the limit, then logs "pass".
    manager_ = std::make_unique<DownloadManager>(
        std::move(factory), pool_.get(),
        [this] {
          const int32_t limit = limit_.load();
          events_.Add("pass");
          return limit;
        },
        300);
  }

  void TearDown() override { pool_->Drain(); }

  // A package that its state admits to queueing, named `name`.
  static Package* ReadyPackage(const std::string& name) {
    Package* package = Package::Create();
    package->set_uri("http://127.0.0.1/" + name);
    package->set_name(name);
    AutoLock hold(package->lock());
    package->set_state(GetPackageState(STATE_READY));
    return package;
  }

  // A callback that reports into the probe named `event` and logs `event`.
  AsyncCallback<Package*>* Callback(const std::string& event) {
    probes_[event] = std::make_shared<Probe>();
    return new ProbeCallback(probes_[event], event, &events_);
  }
  Probe& probe(const std::string& event) { return *probes_.at(event); }

  // Queues a new package `name` with the finish callback "done <name>".
  Package* Download(const std::string& name) {
    Package* package = ReadyPackage(name);
    EXPECT_EQ(manager_->Download(package, Callback("done " + name)), S_OK);
    return package;
  }
  HRESULT Cancel(Package* package) {
    return manager_->CancelAsync(package, Callback("canceled " + package->name()));
  }
  std::shared_ptr<testing::FakeTask> task(Package* package) { return factory_->TaskFor(package); }

  // Returns once a Cancel work item that holds the package's lock is done.
  static void WaitForPackageLock(Package* package) { AutoLock hold(package->lock()); }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_{env_.root()};
  testing::EventLog events_;
  std::map<std::string, std::shared_ptr<Probe>> probes_;
  std::unique_ptr<tobric::platform::WorkPool> work_pool_;
  std::unique_ptr<tobric::ThreadPool> pool_;
  std::unique_ptr<DownloadManager> manager_;
  testing::FakeFactory* factory_ = nullptr;
  std::atomic<int32_t> limit_{1};
  // Runs inside each task's Cancel; set before the first cancel.
  std::function<void(testing::FakeTask*)> on_cancel_;
};

TEST_F(DownloadManagerTest, LimitOfOneStartsTasksOneAfterAnotherInDownloadOrder) {
  Package* a = Download("a");
  Package* b = Download("b");
  Package* c = Download("c");
  ASSERT_TRUE(events_.WaitFor("start a"));
  EXPECT_EQ(a->state_number(), STATE_DOWNLOADING);
  for (const auto& [done, next] : {std::pair{a, "b"}, {b, "c"}}) {
    const std::string b_or_c = next;
    task(done)->Finish(S_OK);
    ASSERT_TRUE(events_.WaitFor("start " + b_or_c));
    EXPECT_LT(events_.IndexOf("finish " + done->name()), events_.IndexOf("initialize " + b_or_c));
  }
  task(c)->Finish(S_OK);
  ASSERT_TRUE(events_.WaitFor("done c"));
  for (Package* p : {a, b, c}) EXPECT_EQ(probe("done " + p->name()).invoked.load(), 1);
  EXPECT_EQ(c->state_number(), STATE_READY);  // nothing was downloaded: not complete
  EXPECT_EQ(manager_->WaitingCount() + manager_->RunningCount(), 0u);
}

TEST_F(DownloadManagerTest, FailedStartsLeaveRunningQueueAndNextTaskStarts) {
  Package* a = ReadyPackage("a");
  Package* b = ReadyPackage("b");
  factory_->SetResults(a, E_CREATE_FILE_FAILED, S_OK);
  factory_->SetResults(b, S_OK, E_DISK_FULL);
  ASSERT_EQ(manager_->Download(a, Callback("done a")), S_OK);
  ASSERT_EQ(manager_->Download(b, Callback("done b")), S_OK);
  Download("c");

  // Each failure frees the slot at once, so the pass goes on to the next one.
  ASSERT_TRUE(events_.WaitFor("start c"));
  for (const auto& [p, code] : {std::pair{a, E_CREATE_FILE_FAILED}, {b, E_DISK_FULL}}) {
    WaitForPackageLock(p);
    EXPECT_EQ(p->state_number(), STATE_ERROR);
    EXPECT_EQ(p->error_code(), code);
  }
  // Their finish callbacks go with their entries, not invoked.
  EXPECT_EQ(probe("done a").invoked + probe("done b").invoked, 0);
  EXPECT_EQ(manager_->RunningCount(), 1u);
}

TEST_F(DownloadManagerTest, CancelOfWaitingTaskInvokesCallbackBeforeCompleteAndQueuesPass) {
  limit_ = 0;
  Package* a = Download("a");
  Download("b");
  ASSERT_TRUE(events_.WaitFor("pass", 2));

  // From now on only the pass the cancel queues can start b.
  limit_ = 1;
  ASSERT_EQ(Cancel(a), S_OK);
  ASSERT_TRUE(events_.WaitFor("canceled a"));
  // Invoked inside the cancel, before the package's Complete.
  EXPECT_EQ(probe("canceled a").state_at_invoke.load(), STATE_PAUSEING);
  WaitForPackageLock(a);
  EXPECT_EQ(a->state_number(), STATE_READY);
  ASSERT_TRUE(events_.WaitFor("start b"));
  EXPECT_EQ(task(a)->initialize_calls + task(a)->start_calls + probe("done a").invoked, 0);
}

// A running task is completed first, then the cancel callback runs, then the
// finish callback; a failure reported instead of E_CANCELED is an error and
// skips the cancel callback.
TEST_F(DownloadManagerTest, CancelOfRunningTaskCompletesThenInvokesCancelThenFinish) {
  for (const HRESULT result : {E_CANCELED, E_CONNECT_FAILED}) {
    SCOPED_TRACE(result);
    const std::string name = result == E_CANCELED ? "a" : "b";
    Package* package = Download(name);
    ASSERT_TRUE(events_.WaitFor("start " + name));
    ASSERT_EQ(Cancel(package), S_OK);
    ASSERT_TRUE(events_.WaitFor("cancel " + name));
    WaitForPackageLock(package);
    EXPECT_EQ(package->state_number(), STATE_PAUSEING);
    Probe& canceled = probe("canceled " + name);
    Probe& done = probe("done " + name);
    EXPECT_EQ(canceled.invoked.load(), 0);

    task(package)->Finish(result);
    const bool canceled_ok = result == E_CANCELED;
    ASSERT_EQ(done.invoked.load(), 1);
    EXPECT_EQ(done.state_at_invoke.load(), canceled_ok ? STATE_READY : STATE_ERROR);
    EXPECT_EQ(package->error_code(), canceled_ok ? S_OK : E_CONNECT_FAILED);
    EXPECT_EQ(canceled.invoked.load(), canceled_ok ? 1 : 0);
    if (canceled_ok) {
      EXPECT_LT(events_.IndexOf("canceled a"), events_.IndexOf("done a"));
    }
  }
}

// A task's Cancel may wait for seconds (a P2P engine that answers busy): the
// package's lock stays free meanwhile for the calls on the package and the
// progress the P2P poll writes into it.
TEST_F(DownloadManagerTest, TaskCancelRunsWithoutThePackagesLock) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // The future by value: the cancel may still be leaving its wait when the
  // test's own copy goes.
  on_cancel_ = [this, released](testing::FakeTask*) {
    events_.Add("cancel held");
    released.wait();
  };
  Package* a = Download("a");
  ASSERT_TRUE(events_.WaitFor("start a"));
  ASSERT_EQ(Cancel(a), S_OK);
  ASSERT_TRUE(events_.WaitFor("cancel held"));
  const bool free = a->lock().TryLock(1000);
  if (free) a->lock().Unlock();
  release.set_value();
  EXPECT_TRUE(free);
  task(a)->Finish(E_CANCELED);
  EXPECT_EQ(probe("canceled a").invoked.load(), 1);
}

// A pause that lands after a pass picked the package but before its task was
// started: the start item finds the pause, the package ends ready and the
// cancel's callback runs; the task is never started.
TEST_F(DownloadManagerTest, PauseDuringStartEndsThePackageAndAnswersTheCancel) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  manager_->set_start_hook_for_testing([&](Package*) {
    events_.Add("start item");
    released.wait();
  });
  Package* a = Download("a");
  ASSERT_TRUE(events_.WaitFor("start item"));
  EXPECT_EQ(a->state_number(), STATE_DOWNLOADING);
  ASSERT_EQ(Cancel(a), S_OK);
  ASSERT_TRUE(events_.WaitFor("cancel a"));
  release.set_value();
  ASSERT_TRUE(events_.WaitFor("canceled a"));
  WaitForPackageLock(a);
  EXPECT_EQ(probe("canceled a").state_at_invoke.load(), STATE_PAUSEING);
  EXPECT_EQ(a->state_number(), STATE_READY);
  EXPECT_EQ(task(a)->start_calls.load() + manager_->RunningCount(), 0u);
}

// Two Starts at once queue the package once; a Start after the stop queues
// nothing.
TEST_F(DownloadManagerTest, SecondDownloadOfAQueuedPackageAndDownloadAfterStopQueueNothing) {
  limit_ = 0;
  Package* a = Download("a");
  EXPECT_EQ(manager_->Download(a, nullptr), S_FALSE);
  EXPECT_EQ(manager_->WaitingCount(), 1u);
  EXPECT_EQ(a->state_number(), STATE_WAITING_TO_DOWNLOAD);
  EXPECT_EQ(manager_->StopAll(), S_OK);
  EXPECT_EQ(manager_->Download(ReadyPackage("b"), nullptr), tobric::E_POOL_DRAINED);
  EXPECT_EQ(manager_->WaitingCount(), 0u);
}

TEST_F(DownloadManagerTest, RescheduleStartsWaitingTasksWhenTheLimitIsRaised) {
  limit_ = 0;
  Download("a");
  Download("b");
  // The passes of the two downloads, which started nothing.
  ASSERT_TRUE(events_.WaitFor("pass", 2));
  limit_ = 2;
  manager_->Reschedule();
  ASSERT_TRUE(events_.WaitFor("start a"));
  ASSERT_TRUE(events_.WaitFor("start b"));
}

TEST_F(DownloadManagerTest, StopAllGivesUpOnTaskThatNeverEndsAfterTheLimit) {
  Package* a = Download("a");
  Package* b = Download("b");
  ASSERT_TRUE(events_.WaitFor("start a"));

  const uint64_t start = tobric::platform::MonotonicMs();
  EXPECT_EQ(manager_->StopAll(), S_OK);
  EXPECT_GE(tobric::platform::MonotonicMs() - start, 300u);
  EXPECT_EQ(task(a)->cancel_calls.load(), 1);
  // The waiting task goes without being started or reported.
  EXPECT_EQ(manager_->WaitingCount(), 0u);
  EXPECT_EQ(task(b)->initialize_calls + probe("done b").invoked, 0);
}

}  // namespace
}  // namespace lorvane
