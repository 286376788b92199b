// For the tests of packages, the center, the console and the service: a
// download manager that records its calls and plays the real one's part in
// the state machine on demand, a counting change observer, and a center wired
// to them.
#ifndef TESTS_SUPPORT_ENGINE_PACKAGE_FAKES_H_
#define TESTS_SUPPORT_ENGINE_PACKAGE_FAKES_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/result_codes.h"
#include "base/threading/async_callback.h"
#include "center/offline_center.h"
#include "download/download_interface.h"
#include "package/package.h"
#include "package/persister_interface.h"
#include "tests/support/log_capture.h"

namespace lorvane::testing {

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
  ~RecordingDownloadManager() override;
  HRESULT StopAll() override;
  HRESULT Download(Package* package, tobric::AsyncCallback<Package*>* finish) override;
  HRESULT CancelAsync(Package* package, tobric::AsyncCallback<Package*>* cancel) override;

  // Ends the oldest pending cancel as the real manager does: for a task that
  // never started the callback runs before Complete, for a running one after.
  // False when none is pending.
  bool FinishCancel(bool task_was_running);

  void set_download_result(HRESULT hr) { download_result_ = hr; }
  void set_cancel_result(HRESULT hr) { cancel_result_ = hr; }
  [[nodiscard]] std::vector<Package*> downloads() const;
  [[nodiscard]] std::vector<Package*> cancels() const;
  [[nodiscard]] int stop_all_calls() const { return stop_all_calls_.load(); }

 private:
  std::atomic<HRESULT> download_result_{S_OK};
  std::atomic<HRESULT> cancel_result_{S_OK};
  std::atomic<int> stop_all_calls_{0};
  mutable std::mutex mutex_;
  std::vector<Package*> downloads_;  // guarded by mutex_, as are the two below
  std::vector<Package*> cancels_;
  std::vector<std::pair<Package*, tobric::AsyncCallback<Package*>*>> pending_cancels_;
};

// A center without persister whose download manager is a RecordingDownloadManager,
// new packages going to `download_folder`; installed as the instance while it
// lives (the states find their manager and folder through the instance).
class FakeManagerCenter {
 public:
  explicit FakeManagerCenter(std::string download_folder);
  ~FakeManagerCenter();

  [[nodiscard]] OfflineCenter* center() const { return center_.get(); }
  [[nodiscard]] RecordingDownloadManager* manager() const { return manager_; }

 private:
  std::unique_ptr<OfflineCenter> center_;
  RecordingDownloadManager* manager_ = nullptr;
  OfflineCenter* previous_ = nullptr;
};

// Puts a package straight into a state, as a test's starting point.
void ForceState(Package* package, int32_t number);

}  // namespace lorvane::testing

#endif  // TESTS_SUPPORT_ENGINE_PACKAGE_FAKES_H_
