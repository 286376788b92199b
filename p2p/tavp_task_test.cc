#include "p2p/tavp_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/utf.h"
#include "tests/support/log_capture.h"
#include "p2p/tavp_pool.h"
#include "p2p/torrix_binding.h"
#include "package/package.h"

namespace lorvane {
namespace {

using Calls = std::vector<std::string>;
const Calls kRemoved = {"stop 7", "delete 7"};
const Calls kPolledAndRemoved = {"info 7", "stop 7", "delete 7"};

// The engine as the tests script it: every call is recorded and the first
// `busy` ones answer -4. Its task's handle is 7; for handle 0 it answers
// kTorrixError. A hook runs once inside its call, where a real engine would be
// busy, to open a race's window.
struct FakeEngine {
  std::mutex mutex;
  Calls calls;
  int busy = 0;
  int32_t read_result = kTorrixOk;
  TorrixTaskInfo info{};
  std::function<void()> during_info;

  int32_t Record(const std::string& call) {
    std::lock_guard<std::mutex> hold(mutex);
    calls.push_back(call);
    if (busy == 0) return kTorrixOk;
    --busy;
    return kTorrixBusy;
  }
  Calls After(size_t skip) {
    std::lock_guard<std::mutex> hold(mutex);
    return Calls(calls.begin() + std::min(skip, calls.size()), calls.end());
  }
  // A record of 100 bytes in all, 5 bytes a second.
  void Answer(int32_t state, const std::u16string& name, uint64_t downloaded = 0, int32_t code = 0,
              int32_t fail_code = 0) {
    std::lock_guard<std::mutex> hold(mutex);
    info = TorrixTaskInfo{code, state, fail_code, 100, downloaded, 5, {}};
    name.copy(info.file_name, name.size());
  }
};

FakeEngine* g_engine = nullptr;

int32_t FakeCreate(uint32_t* handle, const TorrixCreateParams* params) {
  if (g_engine->Record("create " + tobric::Utf16ToUtf8(params->uri) + " " +
                       tobric::Utf16ToUtf8(params->folder) + " " +
                       tobric::Utf16ToUtf8(params->file_name)) != kTorrixOk) {
    return kTorrixBusy;
  }
  *handle = 7;
  return kTorrixOk;
}

int32_t FakeStart(uint32_t handle) { return g_engine->Record("start " + std::to_string(handle)); }
int32_t FakeStop(uint32_t handle) { return g_engine->Record("stop " + std::to_string(handle)); }
int32_t FakeDelete(uint32_t handle) { return g_engine->Record("delete " + std::to_string(handle)); }

int32_t FakeInfo(const uint32_t* handles, uint32_t count, TorrixTaskInfo* infos) {
  if (count != 1 || g_engine->Record("info " + std::to_string(handles[0])) != kTorrixOk) {
    return kTorrixBusy;
  }
  // The hook runs once, outside the engine's mutex, as a concurrent call would.
  if (std::function<void()> hook = std::exchange(g_engine->during_info, nullptr)) hook();
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
    InstallTorrixFunctions({.create_task = &FakeCreate,
                            .start_task = &FakeStart,
                            .stop_task = &FakeStop,
                            .delete_task = &FakeDelete,
                            .get_task_info_batch = &FakeInfo});
  }
  ~TavpTaskTest() override { InstallTorrixFunctions(TorrixFunctions()); }

  // A task of a new package in an existing folder, with its completion probe.
  std::shared_ptr<TavpTask> MakeTask(const std::string& uri = "tavp://100|src|film.mkv") {
    package_ = Package::Create();
    package_->set_uri(uri);
    package_->set_path(folder_);
    package_->set_caption("film.mkv");
    auto task = std::make_shared<TavpTask>(
        package_, TavpTaskOptions{&pool_, [this](uint32_t ms) { waits_.push_back(ms); }});
    completion_ = new Completion();
    task->SetCallback(completion_);
    return task;
  }
  std::shared_ptr<TavpTask> StartedTask() {
    std::shared_ptr<TavpTask> task = MakeTask();
    EXPECT_EQ(task->Initialize(), S_OK);
    EXPECT_EQ(task->Start(), S_OK);
    return task;
  }

  testing::LogCapture log_;
  FakeEngine engine_;
  // Its timer never fires during a test: these tests poll by hand.
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
  EXPECT_EQ(engine_.After(0).size(), 7u);
  EXPECT_EQ(waits_, (std::vector<uint32_t>{100, 170, 289, 491, 834, 1417, 2408}));
  EXPECT_EQ(pool_.TaskCount(), 0u);
}

TEST_F(TavpTaskTest, InitializeCreatesTheEngineTaskOrSaysWhyNot) {
  std::shared_ptr<TavpTask> task = MakeTask();
  package_->set_name("film.mkv.kvtp");
  EXPECT_EQ(task->Initialize(), S_OK);
  EXPECT_EQ(engine_.After(0), Calls{"create tavp://100|src|film.mkv " + folder_ + " film.mkv"});

  // A download that never began (its folder is not there yet) has its link
  // checked first.
  task = MakeTask("tavp://0|src|film.mkv");
  package_->set_path(folder_ + "/not-made-yet");
  EXPECT_EQ(task->Initialize(), E_BAD_LINK);
}

// The engine's placeholder name (with "|") changes nothing; the first real
// name is applied once; completion drops the temporary extension.
TEST_F(TavpTaskTest, NameResolvesOnceAndCompletionDropsTheTemporaryExtension) {
  std::shared_ptr<TavpTask> task = StartedTask();
  engine_.Answer(kTorrixStateDownloading, u"abc|0", 10);
  task->Update();
  EXPECT_EQ(package_->caption() + package_->name() + package_->metafile(), "film.mkv");
  EXPECT_EQ(package_->download_speed(), 5);

  engine_.Answer(kTorrixStateDownloading, u"Film.mkv", 20);
  task->Update();
  EXPECT_EQ(package_->caption() + "|" + package_->name() + "|" + package_->metafile(),
            "Film.mkv|Film.mkv.kvtp|" + folder_ + "Film.mkv.kvre");

  engine_.Answer(kTorrixStateDownloading, u"Other.mkv", 30);
  task->Update();
  EXPECT_EQ(package_->name(), "Film.mkv.kvtp");

  const size_t before = engine_.After(0).size();
  engine_.Answer(kTorrixStateComplete, u"Film.mkv.kvtp", 100);
  task->Update();
  EXPECT_EQ(package_->name() + package_->metafile(), "Film.mkv");
  EXPECT_EQ(completion_->invoked.load(), 1);
  EXPECT_EQ(completion_->result.load(), S_OK);
  EXPECT_EQ(engine_.After(before), kPolledAndRemoved);
}

TEST_F(TavpTaskTest, EndsOfTheEngineTaskBecomeResults) {
  struct Case { int32_t read_result, code, state, fail_code; HRESULT expected; };
  for (const Case& c : {Case{kTorrixOk, 0, kTorrixStateFailed, 2, E_DISK_FULL},
                        Case{kTorrixOk, 0, kTorrixStateNoTask, 0, E_P2P_NO_TASK},
                        Case{kTorrixOk, 3, kTorrixStateDownloading, 0, E_P2P_FAILED},
                        Case{kTorrixInternalError, 0, 0, 0, E_P2P_ENGINE_ERROR}}) {
    SCOPED_TRACE(c.expected);
    engine_.read_result = kTorrixOk;
    std::shared_ptr<TavpTask> task = StartedTask();
    engine_.Answer(c.state, u"film.mkv", 0, c.code, c.fail_code);
    engine_.read_result = c.read_result;
    const size_t before = engine_.After(0).size();
    task->Update();
    EXPECT_EQ(completion_->invoked.load(), 1);
    EXPECT_EQ(task->GetErrorCode(), c.expected);
    EXPECT_EQ(engine_.After(before), kPolledAndRemoved);
  }
}

// After a cancel the engine task is gone and the next poll asks about handle
// 0; the engine's error for it ends the task as canceled. A cancel after the
// end changes nothing.
TEST_F(TavpTaskTest, CancelStopsTheEngineTaskAndTheNextPollEndsIt) {
  std::shared_ptr<TavpTask> task = StartedTask();
  const size_t before = engine_.After(0).size();
  EXPECT_EQ(task->Cancel(), S_OK);
  EXPECT_EQ(engine_.After(before), kRemoved);
  EXPECT_EQ(completion_->invoked.load(), 0);
  task->Update();
  EXPECT_EQ(engine_.After(before + 2), Calls{"info 0"});
  EXPECT_EQ(completion_->invoked.load(), 1);
  EXPECT_EQ(completion_->result.load(), E_CANCELED);
  EXPECT_EQ(package_->complete_time(), 0u);

  EXPECT_EQ(task->Cancel(), S_OK);
  EXPECT_EQ(engine_.After(before).size(), 3u);
}

// The cancel lands while the engine answers the poll that reports completion:
// the cancel came first, so the result is E_CANCELED, the finished file still
// gets its time, and the engine task is removed once.
TEST_F(TavpTaskTest, CancelDuringThePollThatReportsCompletion) {
  std::shared_ptr<TavpTask> task = StartedTask();
  engine_.Answer(kTorrixStateComplete, u"film.mkv", 100);
  engine_.during_info = [&] { EXPECT_EQ(task->Cancel(), S_OK); };
  const size_t before = engine_.After(0).size();
  task->Update();
  EXPECT_EQ(completion_->invoked.load(), 1);
  EXPECT_EQ(completion_->result.load(), E_CANCELED);
  EXPECT_NE(package_->complete_time(), 0u);
  EXPECT_EQ(engine_.After(before), kPolledAndRemoved);
}

// A pause between Initialize and Start drops the task unstarted; the engine
// task it created goes with it.
TEST_F(TavpTaskTest, UnstartedTaskDeletesItsEngineTask) {
  std::shared_ptr<TavpTask> task = MakeTask();
  ASSERT_EQ(task->Initialize(), S_OK);
  task.reset();
  EXPECT_EQ(engine_.After(1), kRemoved);
}

}  // namespace
}  // namespace lorvane
