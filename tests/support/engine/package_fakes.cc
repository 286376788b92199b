#include "tests/support/engine/package_fakes.h"

#include <gtest/gtest.h>

#include "base/threading/lock.h"
#include "package/package_state.h"

namespace lorvane::testing {

RecordingDownloadManager::~RecordingDownloadManager() {
  for (auto& [package, callback] : pending_cancels_) delete callback;
}

HRESULT RecordingDownloadManager::StopAll() {
  stop_all_calls_.fetch_add(1);
  return S_OK;
}

HRESULT RecordingDownloadManager::Download(Package* package,
                                           tobric::AsyncCallback<Package*>* finish) {
  delete finish;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    downloads_.push_back(package);
  }
  if (Failed(download_result_)) return download_result_;
  package->state()->Waiting(package);
  return S_OK;
}

HRESULT RecordingDownloadManager::CancelAsync(Package* package,
                                              tobric::AsyncCallback<Package*>* cancel) {
  package->state()->Pausing(package);
  std::lock_guard<std::mutex> hold(mutex_);
  cancels_.push_back(package);
  if (Failed(cancel_result_)) {
    delete cancel;
    return cancel_result_;
  }
  pending_cancels_.emplace_back(package, cancel);
  return S_OK;
}

bool RecordingDownloadManager::FinishCancel(bool task_was_running) {
  std::pair<Package*, tobric::AsyncCallback<Package*>*> cancel;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (pending_cancels_.empty()) return false;
    cancel = pending_cancels_.front();
    pending_cancels_.erase(pending_cancels_.begin());
  }
  auto [package, callback] = cancel;
  if (!task_was_running && callback != nullptr) callback->Invoke(package);
  {
    tobric::AutoLock hold(package->lock());
    package->state()->Complete(package);
  }
  if (task_was_running && callback != nullptr) callback->Invoke(package);
  delete callback;
  return true;
}

std::vector<Package*> RecordingDownloadManager::downloads() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return downloads_;
}

std::vector<Package*> RecordingDownloadManager::cancels() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return cancels_;
}

FakeManagerCenter::FakeManagerCenter(std::string download_folder) {
  OfflineCenterOptions options;
  options.use_persister = false;
  options.download_folder = [download_folder] { return download_folder; };
  options.concurrent_task_num = [] { return 5; };
  options.make_download_manager = [this](OfflineCenter*) {
    auto manager = std::make_unique<RecordingDownloadManager>();
    manager_ = manager.get();
    return std::unique_ptr<DownloadInterface>(std::move(manager));
  };
  center_ = std::make_unique<OfflineCenter>(std::move(options));
  previous_ = OfflineCenter::SetInstanceForTesting(center_.get());
  EXPECT_EQ(center_->Initialize(), S_OK);
}

FakeManagerCenter::~FakeManagerCenter() {
  center_.reset();
  OfflineCenter::SetInstanceForTesting(previous_);
}

void ForceState(Package* package, int32_t number) {
  tobric::AutoLock hold(package->lock());
  package->set_state(GetPackageState(number));
}

}  // namespace lorvane::testing
