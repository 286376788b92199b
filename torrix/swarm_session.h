// SwarmSession: the engine's one BitTorrent session (peers, web seeds, DHT),
// made with the first magnet task and ended by Torrix_Quit, and the thread
// that works it. The session library stays behind this header: the engine
// sees settings and tasks only.
#ifndef TORRIX_SWARM_SESSION_H_
#define TORRIX_SWARM_SESSION_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <libtorrent/fwd.hpp>

#include "base/platform/native_thread.h"
#include "base/threading/lock.h"
#include "base/threading/thread_annotations.h"
#include "torrix/magnet_link.h"
#include "torrix/swarm.h"
#include "torrix/task.h"
#include "torrix/tavp_link.h"

namespace torrix {

class SwarmTask;

// Made and destroyed by the engine (destroyed only once every task is gone).
// Apply and NewTask from any thread.
//
// Two threads work for the tasks. Everything a task does in the session
// happens on the pump thread: commands posted by the tasks, the session's
// alerts handed to the task whose torrent they concern, and a tick every half
// second in which tasks read their torrent's status. What waits for the disk
// (a resume file written and flushed, the finished data flushed, the folder
// flushed after the rename) runs on the disk thread instead, in the order
// posted, and the task goes on when its result comes back to the pump: a slow
// disk under one download then holds neither the other downloads' commands,
// alerts and progress nor the session's alert queue. Neither thread holds a
// lock while it works in the session or on disk; mutex_ guards the pump's
// queue and disk_mutex_ the disk thread's.
class SwarmSession final : public Swarm {
 public:
  // Null when the session cannot be made.
  [[nodiscard]] static std::shared_ptr<SwarmSession> Create(const SwarmSettings& settings);
  ~SwarmSession() override;
  SwarmSession(const SwarmSession&) = delete;
  SwarmSession& operator=(const SwarmSession&) = delete;

  void Apply(const SwarmSettings& settings) override;
  // A new idle task of the magnet link `magnet` that `link` carries.
  [[nodiscard]] std::shared_ptr<Task> NewTask(uint32_t handle, TavpLink link, MagnetLink magnet,
                                              std::string folder, std::string name,
                                              TargetClaims* claims) override;

  // For the tasks. Runs `work` on the pump thread, in the order posted.
  void Post(std::function<void()> work);
  // For the tasks. Runs `work` on the disk thread, in the order posted (two
  // writes of one file land in the order they were made). Everything posted
  // runs, even when the session ends: what a stop wrote is on disk before the
  // session is gone.
  void PostDisk(std::function<void()> work);
  // Runs on the disk thread before each piece of disk work; a test holds the
  // disk with it.
  void SetDiskHookForTesting(std::function<void()> hook);
  // The pump thread only.
  [[nodiscard]] libtorrent::session& lt_session() { return *session_; }
  void Attach(std::shared_ptr<SwarmTask> task);
  void Detach(const SwarmTask* task);
  [[nodiscard]] uint64_t NoSourceMs() const { return no_source_ms_.load(); }

 private:
  explicit SwarmSession(std::unique_ptr<libtorrent::session> session);
  void Pump();
  void Dispatch(libtorrent::alert* alert);
  void RunDisk();

  std::unique_ptr<libtorrent::session> session_;
  std::atomic<uint64_t> no_source_ms_{0};

  tobric::Mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<std::function<void()>> work_ GUARDED_BY(mutex_);
  bool alerts_waiting_ GUARDED_BY(mutex_) = false;
  bool quit_ GUARDED_BY(mutex_) = false;

  tobric::Mutex disk_mutex_;
  std::condition_variable_any disk_wake_;
  std::deque<std::function<void()>> disk_work_ GUARDED_BY(disk_mutex_);
  std::function<void()> disk_hook_ GUARDED_BY(disk_mutex_);
  bool disk_quit_ GUARDED_BY(disk_mutex_) = false;

  // The tasks with a torrent in the session; the pump thread only.
  std::vector<std::shared_ptr<SwarmTask>> tasks_;
  tobric::platform::NativeThread pump_;
  tobric::platform::NativeThread disk_;
};

}  // namespace torrix

#endif  // TORRIX_SWARM_SESSION_H_
