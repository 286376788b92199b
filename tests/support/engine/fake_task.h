// For engine tests: a download task whose end the test decides, the factory that
// makes one per package, and the record of what the tasks did, in order, across
// threads ("initialize a", "start a", "cancel a", "finish a" before the
// completion callback and "finished a" after it; the label is the package's
// caption, or its name when it has none).
#ifndef TESTS_SUPPORT_ENGINE_FAKE_TASK_H_
#define TESTS_SUPPORT_ENGINE_FAKE_TASK_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/result_codes.h"
#include "base/threading/async_callback.h"
#include "download/task_interface.h"
#include "package/package.h"

namespace lorvane::testing {

inline constexpr uint32_t kEventWaitMs = 10000;

// Thread-safe.
class EventLog {
 public:
  void Add(const std::string& event);
  // Waits until `count` such events have happened; false at the time limit.
  [[nodiscard]] bool WaitFor(const std::string& event, int count = 1,
                             uint32_t timeout_ms = kEventWaitMs);
  // Position of the first such event; -1 when it has not happened.
  [[nodiscard]] int IndexOf(const std::string& event);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;  // guarded by mutex_
};

// Initialize and Start answer what the test set; Cancel records itself and runs
// the factory's cancel hook (the stand-in for workers that stop). Finish reports
// the end through the completion callback, once: later calls do nothing, as a
// finish racing a cancel must not report twice.
class FakeTask : public TaskInterface, public std::enable_shared_from_this<FakeTask> {
 public:
  FakeTask(Package* package, EventLog* events, std::function<void(FakeTask*)> on_cancel)
      : package_(package),
        label_(package->caption().empty() ? package->name() : package->caption()),
        events_(events),
        on_cancel_(std::move(on_cancel)) {}

  HRESULT Initialize() override {
    return Record(&initialize_calls, "initialize ", initialize_result);
  }
  HRESULT Start() override { return Record(&start_calls, "start ", start_result); }
  HRESULT Cancel() override;
  void SetCallback(tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback) override;
  Package* GetPackage() override { return package_; }
  HRESULT GetErrorCode() override { return error_code_.load(); }

  void Finish(HRESULT code);

  std::atomic<HRESULT> initialize_result{S_OK};
  std::atomic<HRESULT> start_result{S_OK};
  std::atomic<int> initialize_calls{0};
  std::atomic<int> start_calls{0};
  std::atomic<int> cancel_calls{0};

 private:
  HRESULT Record(std::atomic<int>* calls, const char* method, HRESULT result) {
    ++*calls;
    events_->Add(method + label_);
    return result;
  }

  Package* const package_;
  const std::string label_;
  EventLog* const events_;
  const std::function<void(FakeTask*)> on_cancel_;
  std::atomic<HRESULT> error_code_{S_OK};
  std::mutex mutex_;
  std::unique_ptr<tobric::AsyncCallback<std::shared_ptr<TaskInterface>>> callback_;  // by mutex_
};

// Makes a FakeTask per package and keeps it for the test. Thread-safe.
class FakeFactory : public FactoryInterface {
 public:
  explicit FakeFactory(EventLog* events, std::function<void(FakeTask*)> on_cancel = nullptr)
      : events_(events), on_cancel_(std::move(on_cancel)) {}

  std::shared_ptr<TaskInterface> CreateTask(Package* package) override;
  // What the package's next task answers to Initialize and Start.
  void SetResults(Package* package, HRESULT initialize, HRESULT start) {
    std::lock_guard<std::mutex> hold(mutex_);
    results_[package] = {initialize, start};
  }
  [[nodiscard]] std::shared_ptr<FakeTask> TaskFor(Package* package) {
    std::lock_guard<std::mutex> hold(mutex_);
    return tasks_.count(package) != 0 ? tasks_[package] : nullptr;
  }

 private:
  EventLog* const events_;
  const std::function<void(FakeTask*)> on_cancel_;
  std::mutex mutex_;
  std::map<Package*, std::pair<HRESULT, HRESULT>> results_;  // guarded by mutex_
  std::map<Package*, std::shared_ptr<FakeTask>> tasks_;      // guarded by mutex_
};

}  // namespace lorvane::testing

#endif  // TESTS_SUPPORT_ENGINE_FAKE_TASK_H_
