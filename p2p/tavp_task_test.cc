#include "p2p/tavp_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "base/utf.h"
#include "download/log_capture_testutil.h"
#include "p2p/tavp_pool.h"
#include "p2p/torrix_binding.h"
#include "package/package.h"

namespace lorvane {
namespace {

constexpr uint32_t kHandle = 7;

// The engine as the tests script it: every call is recorded; the first `busy`
// calls answer -4; GetTaskInfoBatch answers `read_result` and, when that is 0,
// `info` for the task's handle and kTorrixError for handle 0. A hook runs once
// inside its call, where a real engine would be busy, to open a race's window.
struct FakeEngine {
  std::mutex mutex;
  std::vector<std::string> calls;
  int busy = 0;
  int32_t read_result = kTorrixOk;
  TorrixTaskInfo info{};
  std::function<void()> during_create;
  std::function<void()> during_info;

  bool Busy(const std::string& call) {
    std::lock_guard<std::mutex> hold(mutex);
    calls.push_back(call);
    if (busy == 0) return false;
    --busy;
    return true;
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(mutex);
    return calls;
  }
  void Answer(int32_t state, const std::u16string& name, uint64_t downloaded = 0,
              int32_t code = 0, int32_t fail_code = 0) {
    std::lock_guard<std::mutex> hold(mutex);
    info = TorrixTaskInfo{};
    info.code = code;
    info.state = state;
    info.fail_code = fail_code;
    info.total_size = 100;
    info.downloaded_size = downloaded;
    info.speed = 5;
    name.copy(info.file_name, name.size());
  }
};

FakeEngine* g_engine = nullptr;

void RunOnce(std::function<void()>* hook) {
  std::function<void()> run;
  run.swap(*hook);
  if (run) run();
}

int32_t FakeCreate(uint32_t* handle, const TorrixCreateParams* params) {
  const std::string call = "create " + tobric::Utf16ToUtf8(params->uri) + " " +
                           tobric::Utf16ToUtf8(params->folder) + " " +
                           tobric::Utf16ToUtf8(params->file_name);
  if (g_engine->Busy(call)) return kTorrixBusy;
  RunOnce(&g_engine->during_create);
  *handle = kHandle;
  return kTorrixOk;
}

int32_t FakeStart(uint32_t handle) {
  return g_engine->Busy("start " + std::to_string(handle)) ? kTorrixBusy : kTorrixOk;
}
int32_t FakeStop(uint32_t handle) {
  return g_engine->Busy("stop " + std::to_string(handle)) ? kTorrixBusy : kTorrixOk;
}
int32_t FakeDelete(uint32_t handle) {
  return g_engine->Busy("delete " + std::to_string(handle)) ? kTorrixBusy : kTorrixOk;
}

int32_t FakeInfo(const uint32_t* handles, int32_t count, TorrixTaskInfo* infos) {
  if (count != 1 || g_engine->Busy("info " + std::to_string(handles[0]))) return kTorrixBusy;
  RunOnce(&g_engine->during_info);
  std::lock_guard<std::mutex> hold(g_engine->mutex);
  if (g_engine->read_result != kTorrixOk) return g_engine->read_result;
  if (handles[0] == 0) return kTorrixError;
  *infos = g_engine->info;
  return kTorrixOk;
}

class Completion : public tobric::AsyncCallback<std::shared_ptr<TaskInterface>> {
 public:
  void Invoke(std::shared_ptr<TaskInterface> task) override {
    result = task->GetErrorCode();
    invoked.fetch_add(1);
  }
  std::atomic<int> invoked{0};
  std::atomic<HRESULT> result{S_OK};
};

class TavpTaskTest : public ::testing::Test {
 protected:
  TavpTaskTest() {
    g_engine = &engine_;
    TorrixFunctions fake;
    fake.create_task = &FakeCreate;
    fake.start_task = &FakeStart;
    fake.stop_task = &FakeStop;
    fake.delete_task = &FakeDelete;
    fake.get_task_info_batch = &FakeInfo;
    InstallTorrixFunctions(fake);
  }
  ~TavpTaskTest() override { InstallTorrixFunctions(TorrixFunctions()); }

  // A task of a new package in an existing folder, with its completion probe.
  std::shared_ptr<TavpTask> MakeTask(const std::string& uri = "tavp://100|src|film.mkv",
                                     TavpPool* pool = nullptr) {
    package_ = Package::Create();
    package_->set_uri(uri);
    package_->set_path(folder_);
    package_->set_caption("film.mkv");
    TavpTaskOptions options;
    options.pool = pool != nullptr ? pool : &pool_;
    options.sleep_ms = [this](uint32_t ms) { waits_.push_back(ms); };
    auto task = std::make_shared<TavpTask>(package_, std::move(options));
    completion_ = new Completion();
    task->SetCallback(completion_);
    return task;
  }
  std::shared_ptr<TavpTask> StartedTask(TavpPool* pool = nullptr) {
    std::shared_ptr<TavpTask> task = MakeTask("tavp://100|src|film.mkv", pool);
    EXPECT_EQ(task->Initialize(), S_OK);
    EXPECT_EQ(task->Start(), S_OK);
    return task;
  }
  std::vector<std::string> EngineTaskRemoved() {
    return {"stop " + std::to_string(kHandle), "delete " + std::to_string(kHandle)};
  }
  std::vector<std::string> CallsAfter(size_t skip) {
    const std::vector<std::string> calls = engine_.Calls();
    return std::vector<std::string>(calls.begin() + std::min(skip, calls.size()), calls.end());
  }

  testing::LogCapture log_;
  FakeEngine engine_;
  // Its timer never fires during a test: the tests poll by hand.
  TavpPool pool_{TavpPoolOptions{3600 * 1000, nullptr}};
  const std::string folder_ = ::testing::TempDir();
  std::vector<uint32_t> waits_;
  Package* package_ = nullptr;
  Completion* completion_ = nullptr;  // owned by the task
};

TEST_F(TavpTaskTest, BusyEngineIsAskedSevenTimesWithGrowingWaits) {
  std::shared_ptr<TavpTask> task = MakeTask();
  engine_.busy = 10;
  EXPECT_EQ(task->Start(), E_P2P_ENGINE_ERROR);
  EXPECT_EQ(engine_.Calls().size(), 7u);
  EXPECT_EQ(waits_, (std::vector<uint32_t>{100, 170, 289, 491, 834, 1417, 2408}));
  EXPECT_TRUE(log_.Contains("[(*f)(arg0) failed:-4][retry 1 after 170]"));
  EXPECT_TRUE(log_.Contains("[(*f)(arg0) failed:-4][retry 7 after 4093]"));
  EXPECT_TRUE(log_.Contains("[retry still get failed:-4]"));
  EXPECT_TRUE(log_.Contains("[TavpTask::Start][StartTavpTask failed:-4]"));
  EXPECT_EQ(pool_.TaskCount(), 0u);

  // A busy answer that clears up is only a delay.
  engine_.busy = 2;
  EXPECT_EQ(task->Start(), S_OK);
  EXPECT_EQ(pool_.TaskCount(), 1u);
  EXPECT_TRUE(pool_.timer_running());
}

TEST_F(TavpTaskTest, InitializeCreatesTheEngineTaskOrSaysWhyNot) {
  std::shared_ptr<TavpTask> task = MakeTask();
  package_->set_name("film.mkv.kvtp");
  EXPECT_EQ(task->Initialize(), S_OK);
  EXPECT_EQ(engine_.Calls(),
            std::vector<std::string>{"create tavp://100|src|film.mkv " + folder_ + " film.mkv"});

  // A download that never began (its folder is not there yet) has its link
  // checked first, and takes its size from it.
  task = MakeTask("tavp://0|src|film.mkv");
  package_->set_path(folder_ + "/not-made-yet");
  EXPECT_EQ(task->Initialize(), E_BAD_LINK);
  task = MakeTask();
  package_->set_path(folder_ + "/not-made-yet");
  EXPECT_EQ(task->Initialize(), S_OK);
  EXPECT_EQ(package_->total_size(), 100u);
  EXPECT_EQ(engine_.Calls().size(), 2u);

  InstallTorrixFunctions(TorrixFunctions());
  task = MakeTask();
  EXPECT_EQ(task->Initialize(), E_P2P_MODULE_MISSING);
  EXPECT_EQ(log_.Count("[CreateTavpTask failed:-9][uri:tavp://100|src|film.mkv][file_path:" +
                       folder_ + "][file_name:]"),
            1u);
}

// The engine's placeholder name (with "|") changes nothing; the first real
// name is applied once; completion drops the temporary extension.
TEST_F(TavpTaskTest, NameResolvesOnceAndCompletionDropsTheTemporaryExtension) {
  std::shared_ptr<TavpTask> task = StartedTask();
  engine_.Answer(kTorrixStateDownloading, u"abc|0", 10);
  task->Update();
  EXPECT_EQ(package_->caption(), "film.mkv");
  EXPECT_EQ(package_->name(), "");
  EXPECT_EQ(package_->metafile(), "");
  EXPECT_EQ(package_->download_size(), 10u);
  EXPECT_EQ(package_->download_speed(), 5);

  engine_.Answer(kTorrixStateDownloading, u"Film.mkv", 20);
  task->Update();
  EXPECT_EQ(package_->caption(), "Film.mkv");
  EXPECT_EQ(package_->name(), "Film.mkv.kvtp");
  EXPECT_EQ(package_->metafile(), folder_ + "Film.mkv.kvre");
  EXPECT_EQ(package_->total_size(), 100u);
  EXPECT_EQ(log_.Count("[tavp://100|src|film.mkv final file name is Film.mkv.kvtp]"), 1u);

  engine_.Answer(kTorrixStateDownloading, u"Other.mkv", 30);
  task->Update();
  EXPECT_EQ(package_->name(), "Film.mkv.kvtp");
  EXPECT_EQ(completion_->invoked.load(), 0);

  const size_t before = engine_.Calls().size();
  engine_.Answer(kTorrixStateComplete, u"Film.mkv.kvtp", 100);
  task->Update();
  EXPECT_EQ(package_->name(), "Film.mkv");
  EXPECT_EQ(package_->metafile(), "");
  EXPECT_EQ(package_->download_size(), 100u);
  EXPECT_NE(package_->complete_time(), 0u);
  EXPECT_EQ(completion_->invoked.load(), 1);
  EXPECT_EQ(completion_->result.load(), S_OK);
  EXPECT_EQ(pool_.TaskCount(), 0u);
  const std::vector<std::string> expected = {"info 7", "stop 7", "delete 7"};
  EXPECT_EQ(CallsAfter(before), expected);
}

TEST_F(TavpTaskTest, EndsOfTheEngineTaskBecomeResults) {
  struct Case {
    int32_t read_result;
    int32_t code;
    int32_t state;
    int32_t fail_code;
    HRESULT expected;
  };
  for (const Case& c : {Case{kTorrixOk, 0, kTorrixStateFailed, 2, E_DISK_FULL},
                        Case{kTorrixOk, 0, kTorrixStateFailed, 9, E_P2P_FAILED},
                        Case{kTorrixOk, 0, kTorrixStateNoTask, 0, E_P2P_NO_TASK},
                        Case{kTorrixOk, 3, kTorrixStateDownloading, 0, E_P2P_FAILED},
                        Case{kTorrixInternalError, 0, 0, 0, E_P2P_ENGINE_ERROR}}) {
    SCOPED_TRACE(c.expected);
    engine_.read_result = kTorrixOk;
    std::shared_ptr<TavpTask> task = StartedTask();
    engine_.Answer(c.state, u"film.mkv", 0, c.code, c.fail_code);
    engine_.read_result = c.read_result;
    const size_t before = engine_.Calls().size();
    task->Update();
    EXPECT_EQ(completion_->invoked.load(), 1);
    EXPECT_EQ(task->GetErrorCode(), c.expected);
    const std::vector<std::string> expected = {"info 7", "stop 7", "delete 7"};
    EXPECT_EQ(CallsAfter(before), expected);
    EXPECT_EQ(pool_.TaskCount(), 0u);
  }
}

// After a cancel the engine task is gone and the next poll asks about handle
// 0; the engine's error for it ends the task as canceled. A cancel after the
// end changes nothing.
TEST_F(TavpTaskTest, CancelStopsTheEngineTaskAndTheNextPollEndsIt) {
  std::shared_ptr<TavpTask> task = StartedTask();
  const size_t before = engine_.Calls().size();
  EXPECT_EQ(task->Cancel(), S_OK);
  EXPECT_EQ(CallsAfter(before), EngineTaskRemoved());
  EXPECT_EQ(completion_->invoked.load(), 0);
  task->Update();
  EXPECT_EQ(CallsAfter(before + 2), std::vector<std::string>{"info 0"});
  EXPECT_EQ(completion_->invoked.load(), 1);
  EXPECT_EQ(completion_->result.load(), E_CANCELED);
  EXPECT_EQ(package_->complete_time(), 0u);

  EXPECT_EQ(task->Cancel(), S_OK);
  EXPECT_EQ(log_.Count("[It's too late to cancel 0x"), 1u);
  EXPECT_EQ(engine_.Calls().size(), before + 3);
}

// The cancel lands while the engine answers the poll that reports completion:
// the cancel came first, so the result is E_CANCELED, the finished file still
// gets its time, and the engine task is removed once.
TEST_F(TavpTaskTest, CancelDuringThePollThatReportsCompletion) {
  std::shared_ptr<TavpTask> task = StartedTask();
  engine_.Answer(kTorrixStateComplete, u"film.mkv", 100);
  engine_.during_info = [&] {
    engine_.during_info = nullptr;
    EXPECT_EQ(task->Cancel(), S_OK);
  };
  const size_t before = engine_.Calls().size();
  task->Update();
  EXPECT_EQ(completion_->invoked.load(), 1);
  EXPECT_EQ(completion_->result.load(), E_CANCELED);
  EXPECT_NE(package_->complete_time(), 0u);
  const std::vector<std::string> expected = {"info 7", "stop 7", "delete 7"};
  EXPECT_EQ(CallsAfter(before), expected);
}

// A cancel while the engine creates the task finds no handle yet; Initialize
// then removes the task it made instead of leaving it in the engine.
TEST_F(TavpTaskTest, CancelDuringInitializeRemovesTheCreatedTask) {
  std::shared_ptr<TavpTask> task = MakeTask();
  engine_.during_create = [&] { EXPECT_EQ(task->Cancel(), S_OK); };
  EXPECT_EQ(task->Initialize(), E_CANCELED);
  EXPECT_EQ(CallsAfter(1), EngineTaskRemoved());
}

// Polling stops with the last task and starts again with the next Start; a
// cycle holds neither the package's lock nor the pool's while it calls the
// engine.
TEST_F(TavpTaskTest, PoolPollsUntilNoTaskIsLeftWithoutLocksAcrossEngineCalls) {
  std::mutex mutex;
  std::condition_variable changed;
  int cycles = 0;
  int cycles_after_finish = 0;
  Completion* completion = nullptr;
  TavpPoolOptions options;
  options.poll_interval_ms = 1;
  options.after_cycle = [&] {
    std::lock_guard<std::mutex> hold(mutex);
    ++cycles;
    if (completion != nullptr && completion->invoked.load() > 0) ++cycles_after_finish;
    changed.notify_all();
  };
  TavpPool pool(options);
  const auto wait_until = [&](const std::function<bool()>& done) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::seconds(10), done);
  };

  const std::shared_ptr<TavpTask> bystander = MakeTask();
  std::shared_ptr<TavpTask> task = MakeTask("tavp://100|src|film.mkv", &pool);
  {
    std::lock_guard<std::mutex> hold(mutex);
    completion = completion_;
  }
  Package* const package = package_;
  ASSERT_EQ(task->Initialize(), S_OK);
  engine_.Answer(kTorrixStateDownloading, u"film.mkv", 1);
  // Another thread, as a Start or a pause would, while the engine is asked:
  // neither lock may be waited for. The future is kept out here so that a
  // blocked probe would not block the cycle for ever.
  std::future<bool> probe;
  engine_.during_info = [&] {
    probe = std::async(std::launch::async, [&] {
      const bool package_free = package->lock().TryLock(0);
      if (package_free) package->lock().Unlock();
      static_cast<void>(pool.Add(bystander));
      pool.Remove(bystander.get());
      return package_free;
    });
    static_cast<void>(probe.wait_for(std::chrono::seconds(10)));
  };
  ASSERT_EQ(task->Start(), S_OK);
  ASSERT_TRUE(wait_until([&] { return cycles >= 2; }));
  EXPECT_EQ(probe.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_TRUE(probe.get());
  EXPECT_EQ(package->download_size(), 1u);

  engine_.Answer(kTorrixStateComplete, u"film.mkv", 100);
  ASSERT_TRUE(wait_until([&] { return cycles_after_finish >= 1; }));
  EXPECT_EQ(completion->result.load(), S_OK);
  EXPECT_EQ(pool.TaskCount(), 0u);
  EXPECT_FALSE(pool.timer_running());

  int seen = 0;
  {
    std::lock_guard<std::mutex> hold(mutex);
    seen = cycles;
  }
  const std::shared_ptr<TavpTask> next = StartedTask(&pool);
  EXPECT_TRUE(pool.timer_running());
  ASSERT_TRUE(wait_until([&] { return cycles > seen; }));
}

}  // namespace
}  // namespace lorvane
