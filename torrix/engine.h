// Engine: the process's one P2P engine behind the exported Torrix_* functions.
#ifndef TORRIX_ENGINE_H_
#define TORRIX_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "base/threading/lock.h"
#include "base/threading/thread_annotations.h"
#include "torrix/rate_limiter.h"
#include "torrix/swarm.h"
#include "torrix/task.h"

namespace torrix {

// Made on first use and never destroyed: a task's threads may outlive every
// static destructor of a process that exits without Torrix_Quit. Any thread.
//
// mutex_ guards the task table and the life cycle; the calls on one task
// (start, stop, delete) happen under it, so a task never sees two at once.
// Joining a task's threads happens without it. The settings are atomics and
// need no Init.
class Engine {
 public:
  static Engine* Get();

  Engine() = default;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  [[nodiscard]] int32_t Init();
  // Stops every task, waits for their threads and forgets them.
  [[nodiscard]] int32_t Quit();
  [[nodiscard]] int32_t SetSetting(int32_t id, int32_t value);

  // `uri` a tavp link; `folder` and `name` may be empty.
  [[nodiscard]] int32_t Create(const std::string& uri, const std::string& folder,
                               const std::string& name, uint32_t* handle);
  [[nodiscard]] int32_t Start(uint32_t handle);
  [[nodiscard]] int32_t Stop(uint32_t handle);
  [[nodiscard]] int32_t Delete(uint32_t handle, bool with_files);
  // TORRIX_E_FAILED before Init; an unknown handle gives state 0.
  [[nodiscard]] int32_t Info(uint32_t handle, TaskSnapshot* snapshot);

 private:
  // TORRIX_OK when calls may use the table. REQUIRES: mutex_ held.
  [[nodiscard]] int32_t UsableLocked() const REQUIRES(mutex_);
  [[nodiscard]] std::string FreeNameLocked(const std::string& folder, const std::string& name,
                                           const std::string& source) const REQUIRES(mutex_);
  [[nodiscard]] std::shared_ptr<Task> FindLocked(uint32_t handle) const REQUIRES(mutex_);

  // Settings the process is given as TORRIX_SETTINGS="<id>=<value>,...":
  // applied at every Init, before any task, so a closed network (the
  // end-to-end tests') or a diagnosis can keep the session's peers to the
  // loopback without the program knowing the ids. Bad items are logged and
  // skipped.
  void ApplyEnvironmentSettings();
  [[nodiscard]] SwarmSettings CurrentSwarmSettings() const;
  // The session of magnet tasks, made on first use (outside mutex_: making it
  // waits for its threads). Null when it cannot be made or the engine is not
  // usable.
  [[nodiscard]] std::shared_ptr<Swarm> GetSwarm();

  RateLimiter download_limiter_;
  TargetClaims claims_;
  std::atomic<int32_t> download_limit_{-1};
  std::atomic<int32_t> upload_limit_{-1};
  std::atomic<int32_t> segment_kib_{4096};
  std::atomic<int32_t> workers_{4};
  // The peer side (ids 102 to 107), read when the session is made or changed.
  std::atomic<int32_t> listen_port_{6881};
  std::atomic<bool> dht_{true};
  std::atomic<bool> lsd_{true};
  std::atomic<bool> port_mapping_{true};
  std::atomic<bool> loopback_only_{false};
  std::atomic<int32_t> no_source_seconds_{300};
  // Settings kept without effect (ids 3, 4 and 16).
  std::atomic<int32_t> reserved_settings_[3] = {0, 0, 0};

  mutable tobric::Mutex mutex_;
  bool initialized_ GUARDED_BY(mutex_) = false;
  bool quitting_ GUARDED_BY(mutex_) = false;
  uint32_t next_handle_ GUARDED_BY(mutex_) = 1;
  std::map<uint32_t, std::shared_ptr<Task>> tasks_ GUARDED_BY(mutex_);
  // Ended by Quit once every task is gone.
  std::shared_ptr<Swarm> swarm_ GUARDED_BY(mutex_);
};

}  // namespace torrix

#endif  // TORRIX_ENGINE_H_
