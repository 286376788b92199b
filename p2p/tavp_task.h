// The download of one tavp package by the P2P engine library.
#ifndef P2P_TAVP_TASK_H_
#define P2P_TAVP_TASK_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/result_codes.h"
#include "base/threading/async_callback.h"
#include "base/threading/lock.h"
#include "download/task_interface.h"
#include "p2p/torrix_api.h"

namespace lorvane {

class Package;
class TavpPool;

// The engine's answers as result codes: 0 → S_OK, -9 → E_P2P_MODULE_MISSING,
// -7 → E_CREATE_TASK_FAILED, -4, -2 and -1 → E_P2P_ENGINE_ERROR, anything else
// → E_P2P_FAILED.
[[nodiscard]] HRESULT MapEngineCode(int32_t code);
// The failure code of a failed task: 0 → S_OK, 1 → E_CONNECT_FAILED, 2 →
// E_DISK_FULL, 4 → E_UNSUPPORTED_URI, 6 → E_BAD_LINK, 7 → E_RENAME_FAILED,
// anything else → E_P2P_FAILED.
[[nodiscard]] HRESULT MapFailCode(int32_t fail_code);

// The engine's temporary names: the data of an unfinished download is
// "<name>.kvtp" and its resume information "<name>.kvre". The extension is the
// text from the last dot of the last path element on; case counts.
// Without ".kvtp" or ".kvre".
[[nodiscard]] std::string RemoveTempExtension(const std::string& name);
// "<name>.kvtp" (from a ".kvre" name too; a ".kvtp" name stays).
[[nodiscard]] std::string ToTempDataName(const std::string& name);
// "<name>.kvre" (from a ".kvtp" name too; a ".kvre" name stays).
[[nodiscard]] std::string ToResumeInfoName(const std::string& name);

struct TavpTaskOptions {
  // The poller the task joins when it starts. Null: TavpPool::GetInstance().
  TavpPool* pool = nullptr;
  // The wait between two calls that found the engine busy. Null: a real sleep.
  // Tests record the waits instead of spending 5.7 s per busy call.
  std::function<void(uint32_t ms)> sleep_ms;
};

// TavpTask: makes, starts, stops and deletes the engine's task for one tavp
// package, turns the engine's progress records into the package's fields and,
// at the end, reports once through its completion callback.
//
// Ownership: made by the task factory, held by shared_ptr by the download
// manager's entry and, from Start until it finishes, by the pool. The package
// is not owned; the callback is. The destructor touches the engine only to
// delete an engine task that was created but never started.
//
// Threads: Initialize runs on a start item's pool thread with no lock held;
// Start on a pool thread with the package's lock held by the caller, Cancel on
// one without it (with it only at the engine's stop, when a Start may still run);
// Update (and with it the finish and the callback) on the pool's timer thread.
// Every engine call is retried while the engine answers busy, blocking the
// calling thread for up to 5.7 s.
//
// Races: a cancel and the finish meet only at stopped_, changed once from 0 to
// 1: whoever changes it stops and deletes the engine task, the other does not,
// and a finish that finds it set reports E_CANCELED. A cancel during
// Initialize is met the same way (Initialize deletes what it created). The
// handle is taken out of handle_ by whoever deletes the engine task, so an
// engine task is never deleted twice. No lock is held across an engine call.
class TavpTask : public TaskInterface, public std::enable_shared_from_this<TavpTask> {
 public:
  TavpTask(Package* package, TavpTaskOptions options);
  ~TavpTask() override;
  TavpTask(const TavpTask&) = delete;
  TavpTask& operator=(const TavpTask&) = delete;

  // Checks the link when the package's folder does not exist yet (its size
  // becomes the package's total), then creates the engine's task with the
  // package's folder and name (without temporary extension).
  [[nodiscard]] HRESULT Initialize() override;
  // Starts the engine's task and joins the pool. A failed start leaves the
  // engine's task created.
  [[nodiscard]] HRESULT Start() override;
  // Stops and deletes the engine's task unless the task finished first; the
  // next poll then finishes it with E_CANCELED. Always S_OK.
  [[nodiscard]] HRESULT Cancel() override;
  void SetCallback(tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback) override;
  [[nodiscard]] Package* GetPackage() override { return package_; }
  [[nodiscard]] HRESULT GetErrorCode() override { return result_.load(); }

  // One poll, from the pool's cycle: reads the engine's record and applies it.
  void Update();

 private:
  // Applies one record: progress to the package, and at the end the result,
  // the engine task's removal and the callback.
  void DoUpdate(const TorrixTaskInfo& info);
  void ApplyProgress(const TorrixTaskInfo& info);
  void Finish(const TorrixTaskInfo& info, HRESULT mapped);
  void StopAndDeleteTask();
  [[nodiscard]] bool MarkStopped();

  // Calls `call` until the engine answers anything but busy, at most seven
  // times, waiting 100 ms and then 1.7 times longer after each busy answer.
  [[nodiscard]] int32_t RetryCall(const char* call_text, const std::function<int32_t()>& call);

  // Constant after construction.
  Package* const package_;
  TavpTaskOptions options_;
  TavpPool* const pool_;

  std::atomic<int32_t> stopped_{0};
  std::atomic<bool> start_called_{false};
  std::atomic<uint32_t> handle_{0};
  std::atomic<HRESULT> result_{S_OK};

  // Only the pool's timer thread, one cycle at a time, touches these.
  TorrixTaskInfo info_{};
  bool name_resolved_ = false;

  tobric::Mutex callback_mutex_;
  std::unique_ptr<tobric::AsyncCallback<std::shared_ptr<TaskInterface>>> callback_
      GUARDED_BY(callback_mutex_);
};

}  // namespace lorvane

#endif  // P2P_TAVP_TASK_H_
