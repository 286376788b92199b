// DownloadTask: one download of the engine, from its tavp link's HTTP(S)
// source into "<folder>/<name>.kvtp", segment by segment, resumable through
// "<folder>/<name>.kvre".
#ifndef TORRIX_DOWNLOAD_TASK_H_
#define TORRIX_DOWNLOAD_TASK_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/platform/native_thread.h"
#include "base/result_codes.h"
#include "base/threading/lock.h"
#include "base/threading/thread_annotations.h"
#include "torrix/resume_file.h"
#include "torrix/tavp_link.h"
#include "torrix/task.h"

namespace tobric {
class NetworkRequest;
class UserNetworkState;
}  // namespace tobric

namespace torrix {

class RateLimiter;

// Owned by the engine's table (shared with the call that is using it). The
// engine calls Start, Stop and Join from its callers' threads, never two at
// once for one task; Snapshot, Active and TargetPath come from any thread.
//
// A run has its own threads: a controller that probes the source, lays out or
// resumes the files, starts up to `workers` range workers and renames the data
// file at the end, and the workers, each fetching one missing segment at a
// time over the request layer (region mode: the bytes are checked against the
// segment and synced before a segment counts). A finished segment is recorded
// in the resume file before its worker takes the next one, so what the file
// says is on disk, and survives a stop, a crash or a power cut.
//
// Threads and locks: mutex_ guards the state, the record of segments and the
// list of live requests; it is never held across network I/O or a disk flush
// (a resume file is written by one worker at a time with the mutex let go, the
// others waiting on changed_). Stop cancels the live requests under the mutex;
// cancelling never waits.
class DownloadTask final : public Task {
 public:
  DownloadTask(uint32_t handle, TavpLink link, std::string folder, std::string name,
               RateLimiter* limiter, TargetClaims* claims);
  // Stops the task and waits for its threads.
  ~DownloadTask() override;
  DownloadTask(const DownloadTask&) = delete;
  DownloadTask& operator=(const DownloadTask&) = delete;

  // Starts a run, or a new one after a stop or a failure (resuming from the
  // resume file). TORRIX_OK as well when the task runs or is complete;
  // TORRIX_E_BUSY while stopping; TORRIX_E_FAILED when no thread can be made.
  [[nodiscard]] int32_t Start(const TaskTuning& tuning) override;
  // Asks a run to end; returns at once. The task reports STOPPING until its
  // threads have ended, then IDLE.
  void Stop() override;
  // Waits for the threads of the last run. REQUIRES: not Active(), or Stop().
  void Join() override;
  // Removes the data and resume files. REQUIRES: not Active().
  void DeleteFiles() override;

  // Its threads are running (connecting, downloading or stopping).
  [[nodiscard]] bool Active() const override;
  [[nodiscard]] bool Stopping() const override;
  [[nodiscard]] TaskSnapshot Snapshot() const override;
  // "<folder>/<name>" once the final name is known, else empty.
  [[nodiscard]] std::string TargetPath() const override;

 private:
  // How a run ends.
  struct Outcome {
    int32_t state;
    int32_t fail_code;
  };
  // What the source said about the content.
  struct Probe {
    uint64_t size = 0;
    bool ranges = false;
    std::string validator;
    std::string suggested_name;
  };
  class SegmentProgress;

  // The controller thread.
  void Run();
  [[nodiscard]] Outcome Download();
  [[nodiscard]] HRESULT ProbeSource(Probe* probe);
  // Loads or lays out the files; sets record_. An outcome only when the run
  // ends here (failure, or a download found complete).
  [[nodiscard]] bool PrepareFiles(const Probe& probe, Outcome* outcome);
  [[nodiscard]] Outcome RunWorkers();
  [[nodiscard]] Outcome Finish();
  // Speed over the last seconds, from samples taken by the controller.
  void SampleSpeed() REQUIRES(mutex_);

  // A worker thread.
  void Work(size_t worker);
  [[nodiscard]] HRESULT FetchSegment(size_t worker, uint64_t index);
  // Marks the segment done and returns once the resume file says so; false
  // when that file cannot be written (the run is failing then).
  [[nodiscard]] bool RecordDone(size_t worker, uint64_t index);

  // Requests that Stop must reach; Register refuses once the run halts.
  [[nodiscard]] bool Register(tobric::NetworkRequest* request);
  void Unregister(tobric::NetworkRequest* request);
  // Ends the run's requests and waits; `fail_code` 0 for a stop.
  void HaltLocked(int32_t fail_code) REQUIRES(mutex_);

  [[nodiscard]] std::string PathWith(const char* extension) const REQUIRES(mutex_);
  [[nodiscard]] uint64_t DownloadedLocked() const REQUIRES(mutex_);

  // Constant after construction.
  const uint32_t handle_;
  const TavpLink link_;
  const std::string folder_;
  RateLimiter* const limiter_;
  TargetClaims* const claims_;

  // The run's halt flag, read by the workers' rate-limit waits; set under mutex_.
  std::atomic<bool> halt_{false};

  mutable tobric::Mutex mutex_;
  std::condition_variable_any changed_;
  int32_t state_ GUARDED_BY(mutex_);
  int32_t fail_code_ GUARDED_BY(mutex_) = 0;
  bool stop_requested_ GUARDED_BY(mutex_) = false;
  // Empty until known: given at creation, or from the source's answer.
  std::string final_name_ GUARDED_BY(mutex_);
  uint64_t total_ GUARDED_BY(mutex_) = 0;
  uint32_t speed_ GUARDED_BY(mutex_) = 0;
  std::deque<std::pair<uint64_t, uint64_t>> speed_samples_ GUARDED_BY(mutex_);
  std::vector<tobric::NetworkRequest*> requests_ GUARDED_BY(mutex_);

  // Of the current run; set by the controller before the workers start.
  TaskTuning tuning_ GUARDED_BY(mutex_);
  tobric::UserNetworkState* network_ = nullptr;
  std::string claimed_path_;
  ResumeData record_ GUARDED_BY(mutex_);
  std::vector<bool> taken_ GUARDED_BY(mutex_);
  uint64_t done_bytes_ GUARDED_BY(mutex_) = 0;
  // Bytes of each worker's segment that arrived so far; stored by its worker.
  std::unique_ptr<std::atomic<uint64_t>[]> in_flight_ GUARDED_BY(mutex_);
  size_t in_flight_count_ GUARDED_BY(mutex_) = 0;
  // Record changes made and saved; one writer at a time (saving_).
  uint64_t record_generation_ GUARDED_BY(mutex_) = 0;
  uint64_t saved_generation_ GUARDED_BY(mutex_) = 0;
  bool saving_ GUARDED_BY(mutex_) = false;
  bool save_failed_ GUARDED_BY(mutex_) = false;

  // Started and joined by Start, Join and the destructor (the caller's
  // thread); the workers are started and joined by the controller.
  tobric::platform::NativeThread controller_;
};

}  // namespace torrix

#endif  // TORRIX_DOWNLOAD_TASK_H_
