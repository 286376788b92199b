// Task: what the engine's table holds, whichever way a task downloads — an
// HTTP(S) source (DownloadTask) or peers and web seeds of a magnet link
// (SwarmTask) — and what the two share: the claims on data files, the tuning a
// start reads and the record a task reports.
#ifndef TORRIX_TASK_H_
#define TORRIX_TASK_H_

#include <cstdint>
#include <set>
#include <string>

#include "base/threading/lock.h"
#include "base/threading/thread_annotations.h"

namespace torrix {

// The data files being written, one task each: two tasks on one file would
// mix their bytes. Any thread; mutex_ guards the set.
class TargetClaims {
 public:
  [[nodiscard]] bool Claim(const std::string& path);
  void Release(const std::string& path);

 private:
  tobric::Mutex mutex_;
  std::set<std::string> paths_ GUARDED_BY(mutex_);
};

// The files of a task beside its final name, and the name when nothing else
// gives one.
inline constexpr char kDataExtension[] = ".kvtp";
inline constexpr char kResumeExtension[] = ".kvre";
inline constexpr char kFallbackName[] = "download";

// What a task reads from the engine's settings when it starts.
struct TaskTuning {
  uint64_t segment_size = 4 * 1024 * 1024;
  uint32_t workers = 4;
};

// A task as the engine reports it (TorrixTaskInfo without the strings' encoding).
struct TaskSnapshot {
  int32_t state = 0;
  int32_t fail_code = 0;
  uint64_t total = 0;
  uint64_t downloaded = 0;
  uint32_t speed = 0;
  std::string name;
};

// Owned by the engine's table (shared with the call that is using it). The
// engine calls Start, Stop and Join from its callers' threads, never two at
// once for one task; Snapshot, Active, Stopping and TargetPath come from any
// thread.
class Task {
 public:
  virtual ~Task() = default;

  // Starts a run, or a new one after a stop or a failure. TORRIX_OK as well
  // when the task runs or is complete; TORRIX_E_BUSY while stopping.
  [[nodiscard]] virtual int32_t Start(const TaskTuning& tuning) = 0;
  // Asks a run to end; returns at once. The task reports STOPPING until it
  // has, then IDLE.
  virtual void Stop() = 0;
  // Waits until the task has let go of everything it ran with. REQUIRES: not
  // Active(), or Stop().
  virtual void Join() = 0;
  // Removes the data and resume files. REQUIRES: not Active().
  virtual void DeleteFiles() = 0;

  // Running: connecting, downloading or stopping.
  [[nodiscard]] virtual bool Active() const = 0;
  [[nodiscard]] virtual bool Stopping() const = 0;
  [[nodiscard]] virtual TaskSnapshot Snapshot() const = 0;
  // "<folder>/<name>" once the final name is known, else empty.
  [[nodiscard]] virtual std::string TargetPath() const = 0;
};

}  // namespace torrix

#endif  // TORRIX_TASK_H_
