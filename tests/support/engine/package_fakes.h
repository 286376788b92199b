// For the tests of packages and of the offline center: a download manager that
// records its calls and plays the real one's part in the state machine on
// demand, a counting change observer, and a center wired to them; the logger
// that records every line comes with it.
// Header-only so that the test programs of package/ and center/ and the
// benchmarks can all use it.
#ifndef PACKAGE_PACKAGE_TESTUTIL_H_
#define PACKAGE_PACKAGE_TESTUTIL_H_

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/result_codes.h"
#include "base/threading/async_callback.h"
#include "base/threading/lock.h"
#include "center/offline_center.h"
#include "download/download_interface.h"
#include "download/log_capture_testutil.h"
#include "package/package.h"
#include "package/package_state.h"
#include "package/persister_interface.h"

namespace lorvane::testing {

// "0x%p" of a package, as the state machine's log lines print it (glibc's %p
// brings its own "0x", so the lines show two).
inline std::string PointerText(const void* pointer) {
  // "0x" and 16 upper-case hex digits, whatever the C library's "%p" does.
  char buffer[40];
  std::snprintf(buffer, sizeof(buffer), "0x%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
  return buffer;
}

// Counts Modified calls.
class CountingObserver : public PersisterInterface {
 public:
  void Modified() override { count_.fetch_add(1); }
  [[nodiscard]] int count() const { return count_.load(); }

 private:
  std::atomic<int> count_{0};
};

// A download manager that records its calls. Download and CancelAsync make the
// same state calls as the real manager at their start (Waiting, Pausing); what
// the real manager does later on a pool thread the test does by hand with
// FinishCancel. Thread-safe.
class RecordingDownloadManager : public DownloadInterface {
 public:
  struct CancelCall {
    Package* package;
    bool has_callback;
  };

  ~RecordingDownloadManager() override {
    for (auto& [package, callback] : pending_cancels_) delete callback;
  }

  HRESULT StopAll() override {
    stop_all_calls_.fetch_add(1);
    return S_OK;
  }

  HRESULT Download(Package* package, tobric::AsyncCallback<Package*>* finish) override {
    delete finish;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      downloads_.push_back(package);
    }
    if (Failed(download_result_)) return download_result_;
    package->state()->Waiting(package);
    return S_OK;
  }

  HRESULT CancelAsync(Package* package, tobric::AsyncCallback<Package*>* cancel) override {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      cancels_.push_back(CancelCall{package, cancel != nullptr});
    }
    package->state()->Pausing(package);
    if (Failed(cancel_result_)) {
      delete cancel;
      return cancel_result_;
    }
    std::lock_guard<std::mutex> hold(mutex_);
    pending_cancels_.emplace_back(package, cancel);
    return S_OK;
  }

  // Ends the oldest pending cancel as the real manager does: for a task that
  // never started the callback runs before Complete, for a running one after.
  // False when none is pending.
  bool FinishCancel(bool task_was_running) {
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

  void set_download_result(HRESULT hr) { download_result_ = hr; }
  void set_cancel_result(HRESULT hr) { cancel_result_ = hr; }

  [[nodiscard]] std::vector<Package*> downloads() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return downloads_;
  }
  [[nodiscard]] std::vector<CancelCall> cancels() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return cancels_;
  }
  [[nodiscard]] int stop_all_calls() const { return stop_all_calls_.load(); }

 private:
  std::atomic<HRESULT> download_result_{S_OK};
  std::atomic<HRESULT> cancel_result_{S_OK};
  std::atomic<int> stop_all_calls_{0};
  mutable std::mutex mutex_;
  std::vector<Package*> downloads_;  // guarded by mutex_, as are the two below
  std::vector<CancelCall> cancels_;
  std::vector<std::pair<Package*, tobric::AsyncCallback<Package*>*>> pending_cancels_;
};

// A center without persister whose download manager is a RecordingDownloadManager,
// new packages going to `download_folder`; installed as the instance while it
// lives (the states find their manager and folder through the instance).
class FakeManagerCenter {
 public:
  explicit FakeManagerCenter(std::string download_folder) {
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
    initialize_result_ = center_->Initialize();
  }
  ~FakeManagerCenter() {
    center_.reset();
    OfflineCenter::SetInstanceForTesting(previous_);
  }
  FakeManagerCenter(const FakeManagerCenter&) = delete;
  FakeManagerCenter& operator=(const FakeManagerCenter&) = delete;

  [[nodiscard]] OfflineCenter* center() const { return center_.get(); }
  [[nodiscard]] RecordingDownloadManager* manager() const { return manager_; }
  [[nodiscard]] HRESULT initialize_result() const { return initialize_result_; }

 private:
  std::unique_ptr<OfflineCenter> center_;
  RecordingDownloadManager* manager_ = nullptr;
  OfflineCenter* previous_ = nullptr;
  HRESULT initialize_result_ = E_UNEXPECTED;
};

// Puts a package straight into a state, as a test's starting point.
inline void ForceState(Package* package, int32_t number) {
  tobric::AutoLock hold(package->lock());
  package->set_state(GetPackageState(number));
}

inline void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

inline bool PathExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

}  // namespace lorvane::testing

#endif  // PACKAGE_PACKAGE_TESTUTIL_H_
