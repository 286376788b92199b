#include "tests/support/engine/fake_task.h"

#include <algorithm>
#include <chrono>

namespace lorvane::testing {

void EventLog::Add(const std::string& event) {
  std::lock_guard<std::mutex> hold(mutex_);
  events_.push_back(event);
  changed_.notify_all();
}

bool EventLog::WaitFor(const std::string& event, int count, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] {
    return std::count(events_.begin(), events_.end(), event) >= count;
  });
}

int EventLog::IndexOf(const std::string& event) {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto it = std::find(events_.begin(), events_.end(), event);
  return it == events_.end() ? -1 : static_cast<int>(it - events_.begin());
}

HRESULT FakeTask::Cancel() {
  Record(&cancel_calls, "cancel ", S_OK);
  if (on_cancel_) on_cancel_(this);
  return S_OK;
}

void FakeTask::SetCallback(tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (callback != callback_.get()) callback_.reset(callback);
}

void FakeTask::Finish(HRESULT code) {
  std::unique_ptr<tobric::AsyncCallback<std::shared_ptr<TaskInterface>>> callback;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    callback = std::move(callback_);
  }
  if (callback == nullptr) return;
  error_code_.store(code);
  events_->Add("finish " + label_);
  callback->Invoke(shared_from_this());
  events_->Add("finished " + label_);
}

std::shared_ptr<TaskInterface> FakeFactory::CreateTask(Package* package) {
  auto task = std::make_shared<FakeTask>(package, events_, on_cancel_);
  std::lock_guard<std::mutex> hold(mutex_);
  if (const auto it = results_.find(package); it != results_.end()) {
    task->initialize_result = it->second.first;
    task->start_result = it->second.second;
  }
  return tasks_[package] = task;
}

}  // namespace lorvane::testing
